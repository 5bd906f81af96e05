// A soak of whole host sessions: each device manager (tamDevice.dll, rulDevice.dll, pexDevice.dll)
// on a simulated card of its family is set up, tuned, previewed with window and sound, recorded,
// stopped and released, round after round in one process. After round 5 and the last round it
// prints the process's handles, threads and private bytes and the growth per round between the
// two; a family of its own ("wine") runs only the platform's part of a session (the device
// categories read, graphs built, run and released) with none of the system's modules, to tell
// Wine's own growth from ours. The figures are printed, never judged: the exit code says whether
// a session step failed.
//   session_soak.exe [--rounds N] [--family wine|tam|rul|pex]... [--details]
// (default: 50 rounds of every family; --details: the kinds and names of the handles added between
// round 5 and the last, and the modules that still have live objects after the last round).
// Run it inside a Wine session: scripts/wine-session.sh tools/winerun <bin>/session_soak.exe
//
// Under Wine 8 GetProcessHandleCount answers 0 and PrivateUsage is 0: the handles are then counted
// by probing handle values and the private bytes are the committed private regions of the address
// space (the program prints which source each figure comes from). Threads come from the system's
// process list, with the Toolhelp snapshot's count printed beside them.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "common/dshow.h"
#include "common/format.h"
#include "common/module.h"
#include "common/path.h"
#include "common/testing/process_counters.h"
#include "common/testing/stall_watch.h"
#include "devices/core/testing/output_data_sink.h"
#include "devices/core/testing/process_counts.h"
#include "devices/idl/device_manager.h"
#include "sim/card/picture_testing.h"
#include "sim/card/sim_card.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/driver/sim_driver.h"
#include "sim/host/device_item.h"
#include "sim/host/sim_environment.h"

namespace {

using Microsoft::WRL::ComPtr;

constexpr ULONG kStation = 91250000;
constexpr long kCapsSystemRenderer = 0x200;
constexpr ULONG kModeSystemRenderer = 0x40;  // the system renderer (its stand-in here)
constexpr DWORD kWaitMs = 10000;             // for pictures and data
constexpr int kEarlyRound = 5;               // the first figures: after the start-up's one-time costs
// No step of a session waits this long (the longest bounded waits are 30 s): past it the soak
// prints the last step that ended and where every thread is, and ends with a failure. The card's
// pins never terminate their threads here: a stop that does not end is such a stall (a thread
// terminated inside a lock would leave it taken, and every later stop would end at its bound).
constexpr DWORD kStallMs = 120000;

// The third family's driver records: tuner and both external inputs, both switches; scanning,
// the tuning range and the channel ranges.
constexpr std::uint32_t kPexRecordA[3] = {0, 7, 0xC0};
constexpr std::uint32_t kPexRecordB[8] = {1, 55250000, 801250000, 62500, 1, 12, 13, 63};

// {DFD021C0-14CE-47DD-9792-ACE51354850D}
constexpr CLSID kClsidTam = {0xdfd021c0, 0x14ce, 0x47dd, {0x97, 0x92, 0xac, 0xe5, 0x13, 0x54, 0x85, 0x0d}};
// {95405826-AFA1-439B-942A-039C7C3909B2}
constexpr CLSID kClsidRul = {0x95405826, 0xafa1, 0x439b, {0x94, 0x2a, 0x03, 0x9c, 0x7c, 0x39, 0x09, 0xb2}};
// {ABB1B82E-1C49-4213-A0EF-60A37AADF05C}
constexpr CLSID kClsidPex = {0xabb1b82e, 0x1c49, 0x4213, {0xa0, 0xef, 0x60, 0xa3, 0x7a, 0xad, 0xf0, 0x5c}};

using RegisterFamilyCardFn = decltype(&SimCard_RegisterFamilyCard);
using SetPumpStopTimeoutFn = decltype(&SimCard_SetPumpStopTimeout);
using GetKsDataFn = decltype(&SimCard_GetKsData);

// Where each family's tuning lands: the card's driver, the driver's tuner 0, the tuner filter's
// frequency property.
ULONG DriverFrequency(UINT card, const std::wstring&) {
  SimDriverCardState state{};
  return SUCCEEDED(SimDriver_GetCardState(card, &state)) ? state.frequency : 0;
}
ULONG TunerZeroFrequency(UINT card, const std::wstring&) {
  SimDriverTunerState state{};
  return SUCCEEDED(SimDriver_GetTunerState(card, 0, &state)) ? state.frequency : 0;
}
ULONG TunerFilterFrequency(UINT, const std::wstring& path) {
  const auto get = GetProcAs<GetKsDataFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_GetKsData");
  LONG values[kSimKsMaxValues] = {};
  return get && SUCCEEDED(get(path.c_str(), &kSimKsTunerSet, 1, values, kSimKsMaxValues)) ? values[0] : 0;
}

struct Family {
  const char* name;
  CLSID clsid;
  const wchar_t* module;  // null: the platform's part only
  UINT card;              // the simulated card (index), registered under the family's names
  UINT simFamily;
  long boardType;
  const wchar_t* entryPrefix;  // the device-state entry (value 0): prefix + device path
  long tunerCount;             // value 9 when not 0
  bool firmware;               // the driver answers the third family's records and takes firmware
  ULONG (*tuned)(UINT driverCard, const std::wstring& path);
};

const Family kFamilies[] = {
    {"wine", GUID_NULL, nullptr, 0, 0, 0, L"", 0, false, nullptr},
    {"tam", kClsidTam, L"tamDevice.dll", 0, kSimFamilyTam, 0, L"", 0, false, DriverFrequency},
    {"rul", kClsidRul, L"rulDevice.dll", 1, kSimFamilyRul, 0, L"0", 1, false, TunerZeroFrequency},
    {"pex", kClsidPex, L"pexDevice.dll", 2, kSimFamilyPex, 18, L"", 0, true, TunerFilterFrequency},
};

// --- What the process holds -------------------------------------------------------------------

// Threads by a Toolhelp snapshot.
unsigned SnapshotThreads() {
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  unsigned count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  return count;
}

unsigned long long PrivateUsage() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  return GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters))
             ? counters.PrivateUsage
             : 0;
}

// Wine hands out the lowest free handle value: the probe ends a long way past the last one in use.
template <class F>
void ForEachHandle(F&& visit) {
  constexpr std::uintptr_t kPastLast = 4 * 4096;
  DWORD flags = 0;
  std::uintptr_t last = 0;
  for (std::uintptr_t value = 4; value < last + kPastLast; value += 4) {
    const HANDLE handle = reinterpret_cast<HANDLE>(value);
    if (!GetHandleInformation(handle, &flags)) continue;
    last = value;
    visit(handle);
  }
}

unsigned ProbedHandles() {
  unsigned count = 0;
  ForEachHandle([&](HANDLE) { ++count; });
  return count;
}

DWORD HandleCountApi() {
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? count : 0;
}

// Counts the platform's filter graphs made in this process (Wine keeps one event handle of every
// graph it made): a class object for the filter graph's class, registered in this process, that
// makes each graph through the platform's own class object.
class GraphCounter final : public IClassFactory {
 public:
  ~GraphCounter() { Revoke(); }
  bool Register() {
    return SUCCEEDED(CoGetClassObject(CLSID_FilterGraph, CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&platform_))) &&
           SUCCEEDED(CoRegisterClassObject(CLSID_FilterGraph, this, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_));
  }
  void Revoke() {
    if (cookie_) CoRevokeClassObject(cookie_);
    cookie_ = 0;
  }
  long made() const { return made_.load(); }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = iid == IID_IUnknown || iid == IID_IClassFactory ? static_cast<IClassFactory*>(this) : nullptr;
    return *out ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives as long as the soak
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    ++made_;
    return platform_->CreateInstance(outer, iid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override { return platform_->LockServer(lock); }

 private:
  ComPtr<IClassFactory> platform_;
  DWORD cookie_ = 0;
  std::atomic<long> made_{0};
};
GraphCounter g_graphs;

// The figures, each from the source that answers here: the system's own calls where they give a
// count, else what Wine answers truthfully (handle values probed, committed private regions);
// threads from the system's process list.
struct Figures {
  unsigned handles = 0;
  unsigned threads = 0;          // from the system's process list
  unsigned snapshotThreads = 0;  // from a Toolhelp snapshot, printed beside them
  unsigned long long privateBytes = 0;
  long graphs = 0;  // filter graphs made so far
};

struct Sources {
  bool handleApi = false, privateUsage = false;
};
Sources g_sources;

Figures Measure() {
  Figures figures;
  figures.handles = g_sources.handleApi ? HandleCountApi() : ProbedHandles();
  figures.threads = testing_support::ThreadCount();
  figures.snapshotThreads = SnapshotThreads();
  figures.privateBytes = g_sources.privateUsage ? PrivateUsage() : testing_support::CommittedPrivateBytes();
  figures.graphs = g_graphs.made();
  return figures;
}

// Picks the sources of handles and private bytes: a call that answers 0 does not count here.
void ChooseSources() {
  const DWORD handleApi = HandleCountApi();
  const unsigned probed = ProbedHandles();
  const unsigned long long usage = PrivateUsage(), committed = testing_support::CommittedPrivateBytes();
  g_sources.handleApi = handleApi > 0;
  g_sources.privateUsage = usage > 0;
  std::printf("sources: GetProcessHandleCount %lu, handle values probed %u -> %s\n", static_cast<unsigned long>(handleApi),
              probed, g_sources.handleApi ? "GetProcessHandleCount" : "handle values probed");
  std::printf("sources: GetProcessMemoryInfo PrivateUsage %llu, committed private regions %llu -> %s\n", usage, committed,
              g_sources.privateUsage ? "PrivateUsage" : "committed private regions");
}

// The process's handles by kind and name ("Event Global\\...", "File \\Device\\..."): what the
// handles added between two figures are.
std::map<std::wstring, int> HandleKinds() {
  using QueryObjectFn = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<QueryObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  std::map<std::wstring, int> kinds;
  if (!query) return kinds;
  std::vector<std::uint64_t> buffer(512);  // aligned for the records
  ForEachHandle([&](HANDLE handle) {
    const auto text = [&](OBJECT_INFORMATION_CLASS what) {
      const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
      ULONG size = 0;
      if (query(handle, what, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(buffer[0])), &size) < 0 ||
          !name->Buffer)
        return std::wstring(L"?");
      return std::wstring(name->Buffer, name->Length / sizeof(wchar_t));
    };
    const std::wstring type = text(ObjectTypeInformation);  // begins with the type's name
    ++kinds[type + L" " + text(ObjectNameInformation)];
  });
  return kinds;
}

// The modules of this process that answer DllCanUnloadNow with S_FALSE: objects still alive.
std::wstring ModulesInUse() {
  HMODULE modules[512];
  DWORD bytes = 0;
  std::wstring names;
  if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof(modules), &bytes)) return L"?";
  for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 512; ++i) {
    const auto canUnload = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(modules[i], "DllCanUnloadNow");
    if (!canUnload || canUnload() == S_OK) continue;
    wchar_t name[MAX_PATH] = {};
    GetModuleBaseNameW(GetCurrentProcess(), modules[i], name, MAX_PATH);
    names += std::wstring(names.empty() ? L"" : L" ") + name;
  }
  return names;
}

void PrintAddedHandles(const char* family, const std::map<std::wstring, int>& before,
                       const std::map<std::wstring, int>& after) {
  for (const auto& [kind, count] : after) {
    const auto was = before.find(kind);
    const int added = count - (was == before.end() ? 0 : was->second);
    if (added > 0) std::printf("%-4s   +%d %ls\n", family, added, kind.c_str());
  }
  std::fflush(stdout);
}

// Threads that end after a release end on their own time: the figures are taken once the thread
// count has held still for a quarter of a second (at most two seconds).
Figures Settled() {
  Figures last = Measure();
  int still = 0;
  for (int poll = 0; poll < 40 && still < 5; ++poll) {
    Sleep(50);
    const Figures now = Measure();
    still = now.threads == last.threads && now.handles == last.handles ? still + 1 : 0;
    last = now;
  }
  return last;
}

void Print(const char* family, int round, const Figures& f) {
  std::printf("%-4s round %3d: %5u handles, %3u threads, %10llu private bytes (%ld filter graphs made; Toolhelp "
              "snapshot: %u threads)\n",
              family, round, f.handles, f.threads, f.privateBytes, f.graphs, f.snapshotThreads);
  std::fflush(stdout);
}

void PrintGrowth(const char* family, int from, const Figures& a, int to, const Figures& b) {
  const double rounds = to - from;
  std::printf("%-4s growth per round, rounds %d to %d: %+.2f handles, %+.2f threads, %+.0f private bytes (%.1f filter "
              "graphs made)\n",
              family, from, to, (static_cast<double>(b.handles) - a.handles) / rounds,
              (static_cast<double>(b.threads) - a.threads) / rounds,
              (static_cast<double>(b.privateBytes) - static_cast<double>(a.privateBytes)) / rounds,
              (b.graphs - a.graphs) / rounds);
  std::fflush(stdout);
}

// --- One host session -------------------------------------------------------------------------

// Counts and prints the steps that failed; a session stops at its first. Every step that ends is
// progress for the stall watch.
class Steps {
 public:
  explicit Steps(testing_support::StallWatch& watch) : watch_(watch) {}
  bool Check(const char* family, int round, const char* step, HRESULT hr) {
    watch_.Mark(FormatA("%hs round %d: %hs", family, round, step));
    if (SUCCEEDED(hr)) return true;
    std::printf("%s round %d: %s failed: 0x%08lX\n", family, round, step, static_cast<unsigned long>(hr));
    std::fflush(stdout);
    ++failures_;
    return false;
  }
  bool Check(const char* family, int round, const char* step, bool done) {
    return Check(family, round, step, done ? S_OK : E_FAIL);
  }
  int failures() const { return failures_; }
  void Mark(std::string where) { watch_.Mark(std::move(where)); }

 private:
  testing_support::StallWatch& watch_;
  int failures_ = 0;
};

// The host's whole session on the family's card: set-up, tuning, a preview with window and
// sound until frames reach the renderer, a recording until every type's data reached its
// callback, both stopped, everything released with the interfaces still initialised.
bool DeviceSession(const Family& family, int round, const std::wstring& path, UINT card, Steps& steps) {
  const auto check = [&](const char* step, auto result) { return steps.Check(family.name, round, step, result); };
  auto& journal = doubles::Journal::Instance();
  // The host's callbacks outlive the object.
  output_testing::Sink mpeg(output_testing::kMpeg), pcm(output_testing::kPcm), index(output_testing::kIndex);
  output_testing::Sink* const sinks[] = {&mpeg, &pcm, &index};
  {
    ComPtr<IDeviceSetup> setup;
    if (!check("CoCreateInstance", CoCreateInstance(family.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDeviceSetup,
                                                    reinterpret_cast<void**>(setup.GetAddressOf()))))
      return false;
    ComPtr<IHalItem> item;
    sim_host::DeviceItemValues values;
    values.devicePath = path;
    values.name = family.entryPrefix + path;
    values.boardType = family.boardType;
    values.capabilities = kCapsSystemRenderer;
    values.tunerCount = family.tunerCount;
    if (!check("device item", sim_host::MakeDeviceItem(values, &item)) ||
        !check("IDeviceSetup::SetDeviceInfo", setup->SetDeviceInfo(item.Get())))
      return false;
    item.Reset();
    if (family.firmware) {
      SimDriverFirmwareBlock blocks[kSimDriverMaxFirmwareBlocks];
      UINT count = 0;
      if (!check("firmware at the driver", SimDriver_ReadFirmwareBlocks(card, blocks, kSimDriverMaxFirmwareBlocks, &count)) ||
          !check("firmware blocks at the driver", count > 0))
        return false;
    }

    ComPtr<IInputSwitch> inputs;
    ComPtr<IHalItem> channel;
    if (!check("IInputSwitch", setup.As(&inputs)) || !check("IInputSwitch::Initialize", inputs->Initialize(0)) ||
        !check("channel item", sim_host::MakeChannelItem(1, kStation, &channel)) ||
        !check("IInputSwitch::SetChannel", inputs->SetChannel(channel.Get())) ||
        !check("tuned to the station", family.tuned(card, path) == kStation))
      return false;

    ComPtr<IPreview> preview;
    ComPtr<IPreviewWindow> window;
    ComPtr<ISound> sound;
    const std::int64_t frames = journal.Value(doubles::kValueVideoFrames);
    if (!check("IPreview", setup.As(&preview)) || !check("IPreview::Initialize", preview->Initialize(0)) ||
        !check("IPreview::GetVideoModeInterface",
               preview->GetVideoModeInterface(IID_IPreviewWindow, reinterpret_cast<void**>(window.GetAddressOf()))) ||
        !check("IPreviewWindow::Initialize", window->Initialize(kModeSystemRenderer)) ||
        !check("IPreviewWindow::SetVideoClippingWindow", window->SetVideoClippingWindow(GetDesktopWindow())) ||
        !check("IPreview::GetSoundModeInterface",
               preview->GetSoundModeInterface(IID_ISound, reinterpret_cast<void**>(sound.GetAddressOf()))) ||
        !check("ISound::Initialize", sound->Initialize(0)) || !check("IPreview::Run", preview->Run(0)) ||
        !check("frames at the renderer",
               simcard_testing::WaitUntil([&] { return journal.Value(doubles::kValueVideoFrames) >= frames + 3; }, kWaitMs)))
      return false;

    ComPtr<IOutputData> output;
    if (!check("IOutputData", setup.As(&output)) || !check("IOutputData::Initialize", output->Initialize(0)))
      return false;
    for (ULONG type = 1; type <= 3; ++type) {
      _SHAL_OUTPUTDTATA_TYPE choice{type, type == 1 ? 1u : 0u};
      if (!check("IOutputData::SetOutputDataType", output->SetOutputDataType(&choice, sinks[type - 1]))) return false;
    }
    if (!check("IOutputData::Start", output->Start(0))) return false;
    for (output_testing::Sink* sink : sinks)
      if (!check("data at OnData", sink->WaitAll(kWaitMs))) return false;
    if (!check("IOutputData::Stop", output->Stop(0)) || !check("IPreview::Stop", preview->Stop(0))) return false;
  }
  for (output_testing::Sink* sink : sinks)
    if (!check("the callbacks let go", sink->refs_.load() == 0)) return false;
  return true;
}

// The platform's part of a session alone: the device categories read as the device managers read
// them, and two graphs (a preview's and a capture's) built with the platform's null renderer,
// run, stopped and released.
bool WineSession(const Family& family, int round, Steps& steps) {
  const auto check = [&](const char* step, auto result) { return steps.Check(family.name, round, step, result); };
  ComPtr<ICreateDevEnum> devices;
  if (!check("CoCreateInstance(SystemDeviceEnum)",
             CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&devices))))
    return false;
  for (const GUID& category : {CLSID_VideoInputDeviceCategory, CLSID_AudioRendererCategory}) {
    ComPtr<IEnumMoniker> monikers;
    if (devices->CreateClassEnumerator(category, &monikers, 0) != S_OK) continue;
    ComPtr<IMoniker> moniker;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
      ComPtr<IPropertyBag> bag;
      if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_PPV_ARGS(&bag)))) {
        VARIANT name;
        VariantInit(&name);
        bag->Read(L"FriendlyName", &name, nullptr);
        VariantClear(&name);
      }
      moniker.Reset();
    }
  }
  for (int graphIndex = 0; graphIndex < 2; ++graphIndex) {
    ComPtr<IGraphBuilder> graph;
    ComPtr<IBaseFilter> renderer;
    ComPtr<IMediaControl> control;
    OAFilterState state = State_Stopped;
    if (!check("CoCreateInstance(FilterGraph)",
               CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph))) ||
        !check("CoCreateInstance(NullRenderer)",
               CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&renderer))) ||
        !check("IGraphBuilder::AddFilter", graph->AddFilter(renderer.Get(), L"renderer")) ||
        !check("IMediaControl", graph.As(&control)) || !check("IMediaControl::Run", control->Run()) ||
        !check("IMediaControl::GetState", control->GetState(kWaitMs, &state)) ||
        !check("IMediaControl::Stop", control->Stop()))
      return false;
  }
  return true;
}

// --- The rounds -------------------------------------------------------------------------------

// Every family's card registered, known to the driver stand-in, its module attached to it.
class Host {
 public:
  explicit Host(std::wstring bin) : env_(bin), bin_(std::move(bin)) {}
  ~Host() {
    for (const Attached& module : modules_) {
      SimDriver_Detach(module.module.get());
      if (const auto unregister = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(module.module.get(), "DllUnregisterServer"))
        unregister();
    }
    for (const UINT card : familyCards_) registerFamilyCard_(card, 0, 0, FALSE);
  }

  bool Install() {
    if (FAILED(env_.Install({0})) || FAILED(env_.BypassSound()) ||
        FAILED(env_.AttachDriver(FormatW(L"Local\\VornSessionSoak_%lu", GetCurrentProcessId()).c_str()))) {
      std::printf("environment: %ls\n", env_.error().c_str());
      return false;
    }
    // The second family resets this value at every setup: kept as it was.
    env_.registry().SetDword(sim_host::BoardInfoKey(), L"Qfa Frame Drop", 0);
    registerFamilyCard_ = GetProcAs<RegisterFamilyCardFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_RegisterFamilyCard");
    if (!registerFamilyCard_) return Fail("simcard.dll: SimCard_RegisterFamilyCard", E_NOINTERFACE);
    const auto setPumpStop = GetProcAs<SetPumpStopTimeoutFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_SetPumpStopTimeout");
    if (!setPumpStop || FAILED(setPumpStop(INFINITE))) return Fail("simcard.dll: SimCard_SetPumpStopTimeout", E_NOINTERFACE);
    for (const Family& family : kFamilies) {
      if (!family.module) continue;
      if (family.simFamily != kSimFamilyTam) {
        HMODULE module = nullptr;
        const HRESULT hr = sim_host::CallServerEntry(bin_ + L"\\" + family.module, "DllRegisterServer", &module);
        if (module) modules_.push_back({UniqueModule(module)});
        UINT patched = 0;
        if (FAILED(hr)) return Fail("DllRegisterServer", hr);
        if (FAILED(SimDriver_Attach(module, &patched))) return Fail("SimDriver_Attach", E_FAIL);
        if (FAILED(registerFamilyCard_(family.card, family.simFamily, 1, TRUE))) return Fail("family card", E_FAIL);
        familyCards_.push_back(family.card);
      }
      Card card;
      card.path = env_.DevicePath(family.card);
      if (FAILED(SimDriver_AddCard(card.path.c_str(), &card.driverCard))) return Fail("SimDriver_AddCard", E_FAIL);
      if (family.firmware && FAILED(SimDriver_SetDeviceInfo(card.driverCard, kPexRecordA, kPexRecordB)))
        return Fail("SimDriver_SetDeviceInfo", E_FAIL);
      cards_[&family - kFamilies] = card;
    }
    return true;
  }

  struct Card {
    std::wstring path;
    UINT driverCard = 0;
  };
  const Card& card(const Family& family) const { return cards_[&family - kFamilies]; }

 private:
  bool Fail(const char* what, HRESULT hr) {
    std::printf("environment: %s: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return false;
  }
  struct Attached {
    UniqueModule module;
  };
  sim_host::SimEnvironment env_;
  std::wstring bin_;
  std::vector<Attached> modules_;
  std::vector<UINT> familyCards_;
  RegisterFamilyCardFn registerFamilyCard_ = nullptr;
  Card cards_[sizeof(kFamilies) / sizeof(kFamilies[0])];
};

int Soak(int rounds, const std::vector<const Family*>& families, bool details) {
  testing_support::StallWatch watch(kStallMs);
  Steps steps(watch);
  Host host(ModulePath::OfProcess().GetDirectory().str());
  if (!host.Install()) return 1;
  if (!g_graphs.Register()) std::printf("filter graphs not counted: the class object was not registered\n");
  ChooseSources();
  for (const Family* family : families) {
    const ULONGLONG start = GetTickCount64();
    Print(family->name, 0, Settled());
    steps.Mark(FormatA("%hs round 0: figures", family->name));
    Figures early{};
    std::map<std::wstring, int> kinds;
    int done = 0;
    for (int round = 1; round <= rounds; ++round) {
      const bool ok = family->module
                          ? DeviceSession(*family, round, host.card(*family).path, host.card(*family).driverCard, steps)
                          : WineSession(*family, round, steps);
      if (!ok) break;
      done = round;
      if (round == kEarlyRound || round == rounds) {
        const Figures figures = Settled();
        Print(family->name, round, figures);
        if (round == kEarlyRound) {
          early = figures;
          if (details) kinds = HandleKinds();
        }
        if (round == rounds && rounds > kEarlyRound) {
          PrintGrowth(family->name, kEarlyRound, early, rounds, figures);
          if (details) PrintAddedHandles(family->name, kinds, HandleKinds());
        }
        if (round == rounds && details)
          std::printf("%-4s   modules with live objects: %ls\n", family->name, ModulesInUse().c_str());
      }
    }
    std::printf("%-4s %d of %d rounds in %lu ms\n", family->name, done, rounds,
                static_cast<unsigned long>(GetTickCount64() - start));
    std::fflush(stdout);
  }
  g_graphs.Revoke();
  return steps.failures();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int rounds = 50;
  bool details = false;
  std::vector<const Family*> families;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--rounds" && i + 1 < argc) {
      rounds = _wtoi(argv[++i]);
    } else if (arg == L"--details") {
      details = true;
    } else if (arg == L"--family" && i + 1 < argc) {
      const std::wstring name = argv[++i];
      for (const Family& family : kFamilies)
        if (name == std::wstring(family.name, family.name + std::strlen(family.name))) families.push_back(&family);
    } else {
      std::printf("usage: session_soak.exe [--rounds N] [--family wine|tam|rul|pex]... [--details]\n");
      return 2;
    }
  }
  if (rounds < 1) {
    std::printf("--rounds needs a count of at least 1\n");
    return 2;
  }
  if (families.empty())
    for (const Family& family : kFamilies) families.push_back(&family);
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  const int failures = Soak(rounds, families, details);
  CoUninitialize();
  std::printf("%d session steps failed\n", failures);
  return failures ? 1 : 0;
}
