// The first family's device manager as a host meets it: tamDevice.dll and the host's item class
// registered as regsvr32 would, a simulated card known to the driver stand-in (attached to
// tamDevice.dll's imports), tamDeviceManager created by its class identifier and given the
// card's device item, then asked for its interfaces.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <string>

#include "common/format.h"
#include "common/hresult.h"
#include "common/module.h"
#include "devices/idl/device_manager.h"
#include "sim/demo/demo_support.h"
#include "sim/driver/sim_driver.h"
#include "sim/host/device_item.h"
#include "sim/host/sim_environment.h"

namespace demo {
namespace {

using Microsoft::WRL::ComPtr;

constexpr wchar_t kTamDeviceManagerClsid[] = L"{DFD021C0-14CE-47DD-9792-ACE51354850D}";
// The capture device path of the simulated card (hardware and instance segments identify it).
constexpr wchar_t kCardPath[] =
    L"\\\\?\\sim#ven_5a52&dev_7130&subsys_00011a2b&rev_01#3&2411e6fe&0&48"
    L"#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\capture";

void ShowInterface(Verdict& verdict, IDevice* device, REFIID iid, const wchar_t* name, HRESULT expected,
                   const wchar_t* note = nullptr) {
  ComPtr<IUnknown> itf;
  const HRESULT hr = device->GetInterface(iid, reinterpret_cast<void**>(itf.GetAddressOf()));
  verdict.Check(FormatW(L"IDevice::GetInterface(%ls)%ls%ls", name, note ? L" " : L"", note ? note : L""), hr, expected);
}

// What a host shows of the tuner: its base channels with their tuner functions and channel
// ranges, and the tuning range.
void ShowTunerInformation(Verdict& verdict, IDevice* device) {
  ComPtr<IDeviceInfoDetail> info;
  if (!verdict.Check(L"QueryInterface(IDeviceInfoDetail)", device->QueryInterface(IID_PPV_ARGS(info.GetAddressOf()))))
    return;
  ULONG count = 0;
  _SHAL_BASECH* channels = nullptr;
  if (!verdict.Check(L"IDeviceInfoDetail::GetAvailableBaseChannel(81, 2)",
                     info->GetAvailableBaseChannel(81, 2, &count, &channels)))
    return;
  Say(FormatW(L"    %lu base channels:", count));
  for (ULONG i = 0; i < count; ++i) {
    ULONG functions = 0, minCh = 0, maxCh = 0;
    const HRESULT f = info->GetAvailableTunerFunction(&channels[i], &functions);
    const HRESULT c = info->GetAvailableChannelInfo(&channels[i], &minCh, &maxCh);
    if (!verdict.Check(FormatW(L"tuner function and channels of band 0x%08lX", channels[i].band),
                       FAILED(f) ? f : c))
      continue;
    if (channels[i].band & 3) {
      Say(FormatW(L"      band 0x%08lX (tuner): functions 0x%lX, channels %lu to %lu", channels[i].band, functions,
                  minCh, maxCh));
    } else {
      Say(FormatW(L"      band 0x%08lX (external input): functions 0x%lX", channels[i].band, functions));
    }
  }
  CoTaskMemFree(channels);
  ULONG minFreq = 0, maxFreq = 0, step = 0;
  if (verdict.Check(L"IDeviceInfoDetail::GetAvailableFrequencyInfo", info->GetAvailableFrequencyInfo(&minFreq, &maxFreq, &step)))
    Say(FormatW(L"    tuning range %lu to %lu Hz in steps of %lu Hz", minFreq, maxFreq, step));
}

// A channel item of the host's class: region 81, TV format 2, band and frequency.
ComPtr<IHalItem> ChannelItem(Verdict& verdict, ULONG band, ULONG frequency) {
  ComPtr<IHalItem> item;
  if (!verdict.Check(L"channel item of the host's item class", sim_host::MakeChannelItem(band, frequency, &item)))
    return nullptr;
  return item;
}

// The stations the simulated card receives, and the channels a scan visits: the 6 MHz raster
// of band 1 from 91.25 MHz.
constexpr struct {
  DWORD frequency;
  DWORD level;  // the driver's level, 0 to 4
} kStations[] = {{91250000, 4}, {103250000, 3}, {127250000, 2}};
constexpr ULONG kScanFirst = 91250000, kScanStep = 6000000, kScanChannels = 8;

// Switches to the tuner, tunes a station, goes to an external input and back, then scans band 1.
void SwitchAndScan(Verdict& verdict, IDevice* device, UINT card) {
  for (const auto& station : kStations) SimDriver_SetStation(card, station.frequency, station.level);
  ComPtr<IInputSwitch> inputs;
  if (!verdict.Check(L"IDevice::GetInterface(IInputSwitch)",
                     device->GetInterface(IID_IInputSwitch, reinterpret_cast<void**>(inputs.GetAddressOf()))))
    return;
  if (!verdict.Check(L"IInputSwitch::Initialize(0)", inputs->Initialize(0))) return;
  const struct {
    ULONG band;
    ULONG frequency;
    const wchar_t* what;
  } steps[] = {{1, kStations[0].frequency, L"tuner band 1, first station"},
               {0x20000020, 0, L"first external input"},
               {1, kStations[1].frequency, L"back to the tuner, second station"}};
  for (const auto& step : steps) {
    ComPtr<IHalItem> channel = ChannelItem(verdict, step.band, step.frequency);
    if (!channel) break;
    verdict.Check(FormatW(L"IInputSwitch::SetChannel(band 0x%08lX, %lu Hz): %ls", step.band, step.frequency, step.what),
                  inputs->SetChannel(channel.Get()));
    SimDriverCardState state{};
    SimDriver_GetCardState(card, &state);
    Say(FormatW(L"    the card is tuned to %u Hz", state.frequency));
  }

  ComPtr<IAutoScan2> scan;
  if (verdict.Check(L"IDevice::GetInterface(IAutoScan2)",
                    device->GetInterface(IID_IAutoScan2, reinterpret_cast<void**>(scan.GetAddressOf()))) &&
      verdict.Check(L"IAutoScan::Initialize(0)", scan->Initialize(0))) {
    Say(FormatW(L"    scanning %lu channels of band 1:", kScanChannels));
    _SHAL_BASECH band1{81, 2, 1};
    for (ULONG i = 0; i < kScanChannels; ++i) {
      const ULONG frequency = kScanFirst + i * kScanStep;
      long level = 0;
      ULONG tvfmt = 0;
      const HRESULT hr = scan->GetChannelFreqLevel(&band1, frequency, &level, &tvfmt);
      if (!verdict.Check(FormatW(L"IAutoScan::GetChannelFreqLevel(%lu Hz)", frequency), hr)) break;
      Say(FormatW(L"      %lu Hz: level %ld%ls", frequency, level, level > -64 ? L"  <- station" : L""));
    }
    verdict.Check(L"IAutoScan::Uninitialize(0)", scan->Uninitialize(0));
  }
  verdict.Check(L"IInputSwitch::Uninitialize(0)", inputs->Uninitialize(0));
}

std::wstring InterfaceName(REFIID iid) {
  const struct {
    const IID* iid;
    const wchar_t* name;
  } known[] = {{&IID_IDeviceInfoDetail, L"IDeviceInfoDetail"}, {&IID_IInputSwitch, L"IInputSwitch"},
               {&IID_IOutputData, L"IOutputData"},             {&IID_IPreview, L"IPreview"},
               {&IID_IPreview2, L"IPreview2"},                 {&IID_IAutoScan, L"IAutoScan"},
               {&IID_IAutoScan2, L"IAutoScan2"}};
  for (const auto& k : known)
    if (*k.iid == iid) return k.name;
  wchar_t text[40] = {};
  StringFromGUID2(iid, text, 40);
  return text;
}

}  // namespace

std::wstring InterfaceNames(IDevice* device, Verdict& verdict) {
  long count = 0;
  GUID* iids = nullptr;
  std::wstring names;
  if (verdict.Check(L"IDevice::GetAvailableInterface", device->GetAvailableInterface(&count, &iids)))
    for (long i = 0; i < count; ++i) names += (i ? L", " : L"") + InterfaceName(iids[i]);
  CoTaskMemFree(iids);
  return names;
}

void DeviceManagerStep(Session& session) {
  Verdict& verdict = session.verdict;
  Step(L"Device manager: tamDevice.dll with a simulated card");
  HMODULE itemModule = nullptr, tamModule = nullptr;
  if (!RegisterInproc(session, L"vorn_halitem.dll", &itemModule)) return;
  // tamDevice.dll from its folder as it ships, where it finds the system's QfaTesk.ax.
  if (!RegisterInproc(session, L"tamDevice.dll", &tamModule, DeviceManagerFolder())) return;
  Say(FormatW(L"    from %ls", DeviceManagerFolder().c_str()));
  // The card's filters in the device categories, where the device manager looks for them.
  HMODULE cardModule = nullptr;
  if (!RegisterInproc(session, L"simcard.dll", &cardModule)) return;
  using RegisterCardFn = decltype(&SimCard_RegisterCard);
  const auto registerCard = GetProcAs<RegisterCardFn>(cardModule, "SimCard_RegisterCard");
  if (!verdict.Check(L"simcard.dll: card 0 in the device categories",
                     registerCard ? registerCard(0, TRUE) : HResultFromWin32(ERROR_PROC_NOT_FOUND)))
    return;
  session.undo.Add(L"simcard.dll: card 0 out of the device categories", [registerCard] { return registerCard(0, FALSE); });

  // The simulated hardware: the card registered with the driver stand-in, which answers
  // tamDevice.dll's driver requests in place of the real driver.
  UINT card = 0, patched = 0;
  if (!verdict.Check(L"driver stand-in: connect", SimDriver_Connect(nullptr))) return;
  const HRESULT added = SimDriver_AddCard(kCardPath, &card);
  if (!verdict.Check(L"driver stand-in: add the simulated card", SUCCEEDED(added) ? S_OK : added)) return;
  Say(FormatW(L"    card %u: %ls", card, kCardPath));
  if (!verdict.Check(L"driver stand-in: attach to tamDevice.dll", SimDriver_Attach(tamModule, &patched))) return;
  Say(FormatW(L"    %u import entries of tamDevice.dll now reach the stand-in", patched));
  session.undo.Add(L"driver stand-in: detach from tamDevice.dll", [tamModule] {
    const HRESULT hr = SimDriver_Detach(tamModule);
    return hr == S_FALSE ? S_OK : hr;
  });
  SimDriverCardState before{};
  SimDriver_GetCardState(card, &before);

  {
    CLSID clsid{};
    if (!verdict.Check(FormatW(L"CLSIDFromString(%ls)", kTamDeviceManagerClsid),
                       CLSIDFromString(kTamDeviceManagerClsid, &clsid)))
      return;
    ComPtr<IDeviceSetup> setup;
    if (!verdict.Check(L"CoCreateInstance(tamDeviceManager, in-process)",
                       CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDeviceSetup,
                                        reinterpret_cast<void**>(setup.GetAddressOf()))))
      return;

    ComPtr<IHalItem> item;
    sim_host::DeviceItemValues values;
    values.devicePath = kCardPath;
    if (!verdict.Check(L"device item of the host's item class (values 7, 0, 2, 4, 5, 8)",
                       sim_host::MakeDeviceItem(values, &item)))
      return;
    if (!verdict.Check(L"IDeviceSetup::SetDeviceInfo(item)", setup->SetDeviceInfo(item.Get()))) return;

    ComPtr<IDevice> device;
    if (!verdict.Check(L"QueryInterface(IDevice)", setup.As(&device))) return;
    Say(L"    interfaces available: " + InterfaceNames(device.Get(), verdict));
    ShowTunerInformation(verdict, device.Get());

    VARIANT got;
    VariantInit(&got);
    if (verdict.Check(FormatW(L"IDevice::GetInfo(%ld)", static_cast<long>(sim_host::kItemDevicePath)),
                      device->GetInfo(sim_host::kItemDevicePath, &got))) {
      if (got.vt == VT_BSTR && got.bstrVal && std::wstring(got.bstrVal) == kCardPath) {
        Say(L"    the device item keeps the card's device path");
      } else {
        verdict.Fail(L"GetInfo gave back another value than the device path");
      }
    }
    VariantClear(&got);

    ShowInterface(verdict, device.Get(), IID_IInputSwitch, L"IInputSwitch", S_OK);
    ShowInterface(verdict, device.Get(), IID_IPreview2, L"IPreview2", S_OK);
    ShowInterface(verdict, device.Get(), IID_IHalItem, L"IHalItem", E_NOTIMPL, L"(not a device interface)");

    SwitchAndScan(verdict, device.Get(), card);
    RecordOutputData(verdict, device.Get());
  }
  Say(L"  released tamDeviceManager and the item");
  SimDriverCardState after{};
  if (verdict.Check(L"driver stand-in: read the card's state", SimDriver_GetCardState(card, &after)))
    Say(FormatW(L"    driver requests answered for the card during the step: %u", after.requests - before.requests));
}

}  // namespace demo
