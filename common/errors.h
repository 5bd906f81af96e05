// Every system error code of the system's own modules, in one place.
#pragma once

#include <windows.h>

#include <cstdint>

#include "common/hresult.h"

namespace errors {

constexpr HRESULT Code(std::uint32_t value) noexcept { return static_cast<HRESULT>(value); }

// --- Device managers: 0x8007F0KC, K the kind, C the reporting component ----------------------
enum class DmKind : std::uint32_t {
  Failure = 3,      // a failure with no code of its own
  NullPointer = 4,  // a missing pointer
  InvalidArg = 5,   // an invalid argument
  OutOfMemory = 6,
};
enum class DmComponent : std::uint32_t {
  DriverLink = 0,
  TunerControl = 1,
  PreviewGraph = 2,
  OutputGraph = 3,
  DeviceManager = 4,
  VideoChain = 6,
  RendererWrappers = 7,
};
constexpr HRESULT DmCode(DmKind kind, DmComponent component) noexcept {
  return Code(0x8007F000u | (static_cast<std::uint32_t>(kind) << 4) |
              static_cast<std::uint32_t>(component));
}
// The device manager's own codes (component 4), the ones the facades report.
constexpr HRESULT kDmFailure = DmCode(DmKind::Failure, DmComponent::DeviceManager);          // 0x8007F034
constexpr HRESULT kDmNullPointer = DmCode(DmKind::NullPointer, DmComponent::DeviceManager);  // 0x8007F044
constexpr HRESULT kDmInvalidArg = DmCode(DmKind::InvalidArg, DmComponent::DeviceManager);    // 0x8007F054
constexpr HRESULT kDmOutOfMemory = DmCode(DmKind::OutOfMemory, DmComponent::DeviceManager);  // 0x8007F064
static_assert(kDmFailure == Code(0x8007F034) && kDmOutOfMemory == Code(0x8007F064));

// Order of use and exclusive use of the device interfaces.
constexpr HRESULT kDeviceAlreadySet = Code(0x80072301);         // SetDeviceInfo with a device set
constexpr HRESULT kInputSwitchNotInit = Code(0x80072302);       // channel call before IInputSwitch::Initialize
constexpr HRESULT kNoBaseChannel = Code(0x80072303);            // the device offers no base channel
constexpr HRESULT kDeviceNotSet = Code(0x80072304);             // IDevice::GetInfo before SetDeviceInfo
constexpr HRESULT kPreviewNotInit = Code(0x80072305);           // IPreview call before Initialize
constexpr HRESULT kWindowNotInit = Code(0x80072306);            // window call before Initialize
constexpr HRESULT kOutputDataNotInit = Code(0x80072307);        // IOutputData call before Initialize
constexpr HRESULT kAutoScanNotInit = Code(0x80072308);          // IAutoScan call before Initialize
constexpr HRESULT kInputSwitchInUse = Code(0x80072309);
constexpr HRESULT kPreviewInUse = Code(0x8007230A);
constexpr HRESULT kWindowInUse = Code(0x8007230B);
constexpr HRESULT kOutputDataInUse = Code(0x8007230C);
constexpr HRESULT kNoScanCapability = Code(0x8007230D);
constexpr HRESULT kNoCapability08 = Code(0x8007231C);           // optional interface, capability bit 0x8
constexpr HRESULT kAutoScanInUse = Code(0x8007231D);
constexpr HRESULT kSoundNotInit = Code(0x8007231F);
constexpr HRESULT kNoCapability20 = Code(0x80072322);           // optional interface, capability bit 0x20

// Codes of the device managers' components (the 0x8007F0KC scheme and the older 0x8007F00C).
constexpr HRESULT kTunerNoGraph = Code(0x8007F004);   // tuner control without its graph
constexpr HRESULT kNoEncoderLink = Code(0x8007F006);  // no encoder device control
// The driver link (component 0).
constexpr HRESULT kLinkFailure = DmCode(DmKind::Failure, DmComponent::DriverLink);  // also: a failure without a code
constexpr HRESULT kLinkNullPointer = DmCode(DmKind::NullPointer, DmComponent::DriverLink);
constexpr HRESULT kLinkOutOfMemory = DmCode(DmKind::OutOfMemory, DmComponent::DriverLink);
static_assert(kLinkFailure == Code(0x8007F030) && kLinkNullPointer == Code(0x8007F040) &&
              kLinkOutOfMemory == Code(0x8007F060));
constexpr HRESULT kTunerNullPointer = DmCode(DmKind::NullPointer, DmComponent::TunerControl);  // also: not built
constexpr HRESULT kTunerInvalidInput = DmCode(DmKind::InvalidArg, DmComponent::TunerControl);
constexpr HRESULT kOutputNotBuilt = DmCode(DmKind::Failure, DmComponent::OutputGraph);  // also: a pin is missing
constexpr HRESULT kOutputNullPointer = DmCode(DmKind::NullPointer, DmComponent::OutputGraph);
constexpr HRESULT kOutputUnknownValue = DmCode(DmKind::InvalidArg, DmComponent::OutputGraph);  // type, subtype or mode
static_assert(kTunerNullPointer == Code(0x8007F041) && kTunerInvalidInput == Code(0x8007F051));
static_assert(kOutputNotBuilt == Code(0x8007F033) && kOutputNullPointer == Code(0x8007F043) &&
              kOutputUnknownValue == Code(0x8007F053));
// The preview graph (component 2).
constexpr HRESULT kPreviewFailure = DmCode(DmKind::Failure, DmComponent::PreviewGraph);
constexpr HRESULT kPreviewNullPointer = DmCode(DmKind::NullPointer, DmComponent::PreviewGraph);  // also: no device item
constexpr HRESULT kPreviewInvalidArg = DmCode(DmKind::InvalidArg, DmComponent::PreviewGraph);    // e.g. a notify-event kind
static_assert(kPreviewFailure == Code(0x8007F032) && kPreviewNullPointer == Code(0x8007F042) &&
              kPreviewInvalidArg == Code(0x8007F052));
// The video-chain elements (component 6) and the renderer wrappers (component 7).
constexpr HRESULT kChainFailure = DmCode(DmKind::Failure, DmComponent::VideoChain);
constexpr HRESULT kChainNullPointer = DmCode(DmKind::NullPointer, DmComponent::VideoChain);
constexpr HRESULT kChainInvalidArg = DmCode(DmKind::InvalidArg, DmComponent::VideoChain);
constexpr HRESULT kChainOutOfMemory = DmCode(DmKind::OutOfMemory, DmComponent::VideoChain);
constexpr HRESULT kRendererFailure = DmCode(DmKind::Failure, DmComponent::RendererWrappers);
constexpr HRESULT kRendererNullPointer = DmCode(DmKind::NullPointer, DmComponent::RendererWrappers);  // also: no renderer
constexpr HRESULT kRendererInvalidArg = DmCode(DmKind::InvalidArg, DmComponent::RendererWrappers);
constexpr HRESULT kRendererOutOfMemory = DmCode(DmKind::OutOfMemory, DmComponent::RendererWrappers);
static_assert(kChainFailure == Code(0x8007F036) && kChainNullPointer == Code(0x8007F046) &&
              kChainInvalidArg == Code(0x8007F056) && kChainOutOfMemory == Code(0x8007F066));
static_assert(kRendererFailure == Code(0x8007F037) && kRendererNullPointer == Code(0x8007F047) &&
              kRendererInvalidArg == Code(0x8007F057) && kRendererOutOfMemory == Code(0x8007F067));
// The graphs of every family.
constexpr HRESULT kEncoderFailure = Code(0x80072502);   // the last error after an encoder error
constexpr HRESULT kPreviewNotBuilt = Code(0x80072601);  // a preview operation before its build
constexpr HRESULT kPreviewNoChain = Code(0x80072602);   // a run without an audio link or a video chain
constexpr HRESULT kChainNoRenderer = Code(0x80072604);
// A window, sound or chain change while the preview runs (the output graphs answer the
// platform's VFW_E_NOT_STOPPED instead).
constexpr HRESULT kGraphNotStopped = Code(0x80072605);
// Family 3: a graph event that the driver's filter cannot register.
constexpr HRESULT kPreviewEventUnsupported = Code(0x8007A112);
constexpr HRESULT kCaptureEventUnsupported = Code(0x8007A114);
constexpr HRESULT kEncoderErrorEventUnsupported = Code(0x8007A072);
constexpr HRESULT kEncoderEndEventUnsupported = Code(0x8007A075);
// The sound path's mixer.
constexpr HRESULT kMixerNotOpen = Code(0x80070620);
constexpr HRESULT kMixerNoDevice = Code(0x80070622);
constexpr HRESULT kMixerLineNotFound = Code(0x80070624);
constexpr HRESULT kMixerOpenFailed = Code(0x80070625);
constexpr HRESULT kMixerDeviceCapsFailed = Code(0x80070626);
constexpr HRESULT kMixerIdFailed = Code(0x80070627);
constexpr HRESULT kMixerLineInfoFailed = Code(0x80070628);
constexpr HRESULT kMixerLineControlsFailed = Code(0x80070629);
constexpr HRESULT kMixerSetValuesFailed = Code(0x8007062A);

// --- Device managers of families 2 and 3 -----------------------------------------------------
constexpr HRESULT kNoDeviceItem = Code(0x8007E100);             // family 2: no device item
constexpr HRESULT kTunerIndexOutOfRange = Code(0x8007E101);     // family 2: type 8 not below type 9
constexpr HRESULT kNoStreamingControl = Code(0x8007E102);       // family 2: no driver link
constexpr HRESULT kFirmwareDownloadFailed = Code(0x8007E000);   // family 3: both attempts failed
// Input routing through the card's crossbar (all families).
constexpr HRESULT kRoutedInputUnsupported = Code(0x80072402);  // routed input neither tuner nor external
constexpr HRESULT kNoRoutedInput = Code(0x80072403);
constexpr HRESULT kTunerInputTypeUnknown = Code(0x80072404);    // neither antenna nor cable
constexpr HRESULT kNoSuchInput = Code(0x80072405);              // no crossbar pin for the input
// Family 3: a driver property the tuner or capture filter does not support.
constexpr HRESULT kKsScanModeUnsupported = Code(0x8007A091);
constexpr HRESULT kKsFrequencyUnsupported = Code(0x8007A092);
constexpr HRESULT kKsSignalLevelUnsupported = Code(0x8007A093);
constexpr HRESULT kKsSwitchingFlagUnsupported = Code(0x8007A025);
constexpr HRESULT kKsCaptureSwitchAUnsupported = Code(0x8007A004);
constexpr HRESULT kKsCaptureSwitchBUnsupported = Code(0x8007A002);
// ERROR_INVALID_DATA as an HRESULT: an answer from outside that cannot be taken. Family 3's
// driver property Get that succeeded with fewer bytes than the values read (the values it did
// not return would be taken as the request's own), a crossbar's pin count past reason, a short
// answer on a family 2 instance pipe.
constexpr HRESULT kInvalidData = HResultFromWin32(ERROR_INVALID_DATA);
static_assert(kInvalidData == Code(0x8007000D));
// Family 3's control channel is not open (a code of another facility, kept as the drivers know it).
constexpr HRESULT kControlChannelClosed = Code(0x80041002);

// --- Serial port server ---------------------------------------------------------------------
constexpr HRESULT kPortNotOpen = Code(0x8007D100);
constexpr HRESULT kPortLocked = Code(0x8007D101);
constexpr HRESULT kPortOpenWithoutLock = Code(0x8007D102);
constexpr HRESULT kPortWrongKey = Code(0x8007D103);
constexpr HRESULT kPortNoLock = Code(0x8007D104);

// --- Preview control ------------------------------------------------------------------------
constexpr HRESULT kPreviewAlreadyInit = Code(0x8007D000);
constexpr HRESULT kPreviewHeldElsewhere = Code(0x8007D001);
constexpr HRESULT kPreviewMutexNotOpened = Code(0x8007D002);
constexpr HRESULT kPreviewControlNotInit = Code(0x8007D003);

// --- Board control --------------------------------------------------------------------------
constexpr HRESULT kBoardPortNotOpened = Code(0x8007C000);
constexpr HRESULT kBoardNotAnswering = Code(0x8007C001);  // settings file or board not answering
constexpr HRESULT kBoardViewHeld = Code(0x8007C002);
constexpr HRESULT kBoardNotInit = Code(0x8007C003);
constexpr HRESULT kBoardPanelUnreadable = Code(0x8007C010);
constexpr HRESULT kBoardNotEnabled = Code(0x8007C011);

// --- Renderer -------------------------------------------------------------------------------
constexpr HRESULT kRendererSecondInstance = Code(0x8007D200);

}  // namespace errors
