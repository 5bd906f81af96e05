// Recording as a host does it: IOutputData set up on the tuned device, MPEG, PCM and index
// records chosen with a callback of the host's that writes each type into a file of the run
// directory, a few seconds recorded, stopped and let go.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <string>

#include <wrl/client.h>

#include "common/format.h"
#include "common/handles.h"
#include "common/locks.h"
#include "common/path.h"
#include "devices/core/output_session.h"
#include "devices/idl/device_manager.h"
#include "sim/demo/demo_support.h"

namespace demo {
namespace {

using Microsoft::WRL::ComPtr;

// The host's callback: each chosen type's bytes go to a file of its own (a type not chosen
// gets no file). Called on the callback filter's streaming threads.
class RecordingFiles final : public IOutputDataCB {
 public:
  struct File {
    ULONG type;
    const wchar_t* kind;
    std::wstring name;
    UniqueFileHandle handle;
    bool chosen = false;
    std::atomic<ULONG> bytes{0};
    std::atomic<ULONG> subtype{0};
  };

  RecordingFiles(const std::wstring& folder, const wchar_t* prefix, unsigned types) {
    for (File& file : files_) {
      file.chosen = (types & (1u << file.type)) != 0;
      if (!file.chosen) continue;
      file.name = FormatW(L"%ls-%ls", prefix, file.kind);
      const std::wstring path = PathString::Combine(WideString(folder), WideString(file.name)).str();
      file.handle.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    }
  }
  bool open() const {
    for (const File& file : files_)
      if (file.chosen && !file.handle) return false;
    return true;
  }
  const File& file(ULONG type) const { return files_[type - 1]; }
  bool failed() const { return failed_; }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    return output_data::QueryOutputDataCallback(this, iid, out);
  }
  // Lives on the step's stack: the count only shows whether the device manager let it go.
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }
  ULONG references() const { return refs_; }

  STDMETHODIMP OnData(ULONG type, ULONG subtype, ULONG, ULONG, ULONG size, BYTE* data) override {
    if (type < 1 || type > 3 || !files_[type - 1].chosen || (size && !data)) {
      failed_ = true;
      return S_OK;
    }
    File& file = files_[type - 1];
    LockGuard guard(lock_, INFINITE);
    DWORD written = 0;
    if (!WriteFile(file.handle.get(), data, size, &written, nullptr) || written != size) failed_ = true;
    file.bytes += size;
    file.subtype = subtype;
    return S_OK;
  }

 private:
  File files_[3] = {{1, L"mpeg.mpg", {}, {}}, {2, L"pcm.raw", {}, {}}, {3, L"index.dat", {}, {}}};
  CriticalSection lock_;
  std::atomic<ULONG> refs_{0};
  std::atomic<bool> failed_{false};
};

}  // namespace

ULONG RecordOutputData(Verdict& verdict, IDevice* device, const RecordingPlan& plan) {
  Say(FormatW(L"  recording %ls through IOutputDataCB", plan.types == 0xE ? L"MPEG, PCM and index records" : L"MPEG"));
  RecordingFiles files(RunFolder(), plan.prefix, plan.types);
  if (!files.open()) {
    verdict.Fail(L"the recording files cannot be created in the run directory");
    return 0;
  }
  {
    ComPtr<IOutputData> output;
    if (!verdict.Check(L"IDevice::GetInterface(IOutputData)",
                       device->GetInterface(IID_IOutputData, reinterpret_cast<void**>(output.GetAddressOf()))))
      return 0;
    if (!verdict.Check(L"IOutputData::Initialize(0)", output->Initialize(0))) return 0;
    const struct {
      ULONG type, subtype;
      std::wstring what;
    } choices[] = {{1, plan.mpegSubtype, FormatW(L"MPEG, subtype %lu%ls", plan.mpegSubtype, plan.mpegSubtype == 1 ? L" (4 Mbit/s, 720 wide)" : L"")},
                   {2, 0, L"PCM"},
                   {3, 0, L"index records"}};
    bool chosen = true;
    for (const auto& choice : choices) {
      if (!(plan.types & (1u << choice.type))) continue;
      _SHAL_OUTPUTDTATA_TYPE type{choice.type, choice.subtype};
      chosen = verdict.Check(FormatW(L"IOutputData::SetOutputDataType(%ls)", choice.what.c_str()),
                             output->SetOutputDataType(&type, &files)) && chosen;
    }
    _SHAL_OUTPUTDTATA_TYPE wrong{1, 7};
    verdict.Check(L"IOutputData::SetOutputDataType(MPEG subtype 7)", output->SetOutputDataType(&wrong, &files),
                  plan.unlistedSubtype);
    if (chosen && verdict.Check(L"IOutputData::Start(0)", output->Start(0))) {
      Say(FormatW(L"    recording for %lu ms", plan.recordMs));
      if (plan.whileRecording) plan.whileRecording();
      Sleep(plan.recordMs);
      HRESULT last = E_FAIL;
      ULONG reserve = 0;
      verdict.Check(L"IOutputData::GetLastError", output->GetLastError(&last, &reserve));
      verdict.Check(L"    the last error while recording", last);
      verdict.Check(L"IOutputData::Stop(1) (end of data first)", output->Stop(1));
    }
    verdict.Check(L"IOutputData::Uninitialize(0)", output->Uninitialize(0));
  }
  ULONG total = 0;
  for (ULONG type = 1; type <= 3; ++type) {
    if (!(plan.types & (1u << type))) continue;
    const auto& file = files.file(type);
    Say(FormatW(L"    %ls: %lu bytes (subtype %lu)", file.name.c_str(), file.bytes.load(), file.subtype.load()));
    if (file.bytes.load() == 0) verdict.Fail(FormatW(L"nothing was recorded into %ls", file.name.c_str()));
    total += file.bytes.load();
  }
  if (files.failed()) verdict.Fail(L"a recording file could not be written, or OnData was called with bad data");
  if (files.references() != 0) verdict.Fail(L"the device manager still holds the host's callback after Uninitialize");
  return total;
}

}  // namespace demo
