// The simulated tuner card: five kernel-streaming-like filters per card (tuner, crossbar, TV
// audio, capture, encoder) in simcard.dll, found through the system device enumerator by
// friendly name in their device categories. Each filter learns its device path from the
// enumerator's property bag and binds to the state of its card: the routing, the tuner input
// type and the picture controls live in this module (shared by every instance of one card in a
// process); the tuned frequency and the broadcast audio mode come from the driver stand-in
// (simdriver.dll), so that tuning through the driver changes the picture.
//
// The SimCard_* functions are the tests' controls, exported by simcard.dll.
#pragma once

#include <windows.h>

#include <cstdint>

// --- Classes of the five filters ------------------------------------------------------------------
// {5C1A0001-7E2B-4D3A-9F10-3B6C0D5E7A01} ... 05
inline constexpr CLSID kClsidSimTuner = {0x5c1a0001, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};
inline constexpr CLSID kClsidSimCrossbar = {0x5c1a0002, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};
inline constexpr CLSID kClsidSimTvAudio = {0x5c1a0003, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};
inline constexpr CLSID kClsidSimCapture = {0x5c1a0004, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};
inline constexpr CLSID kClsidSimEncoder = {0x5c1a0005, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};

// The second family's capture and encoder ("DORU Capture n", "DORU Encode n"): pins of their own.
// {5C1A2004-7E2B-4D3A-9F10-3B6C0D5E7A01}, {5C1A2005-...}
inline constexpr CLSID kClsidSimRulCapture = {0x5c1a2004, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};
inline constexpr CLSID kClsidSimRulEncoder = {0x5c1a2005, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};

// --- Device categories ------------------------------------------------------------------------------
inline constexpr GUID kCategoryTvTuner = {0xa799a800, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};
inline constexpr GUID kCategoryCrossbar = {0xa799a801, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};
inline constexpr GUID kCategoryTvAudio = {0xa799a802, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};
inline constexpr GUID kCategoryVideoInput = {0x860bb310, 0x5d01, 0x11d0, {0xbd, 0x3b, 0x00, 0xa0, 0xc9, 0x11, 0xce, 0x86}};
inline constexpr GUID kCategoryEncoder = {0x19689bf6, 0xc384, 0x48fd, {0xad, 0x51, 0x90, 0xe5, 0x8c, 0x79, 0xf7, 0x0b}};

// --- Friendly names ---------------------------------------------------------------------------------
#define SIM_CARD_TUNER_NAME L"VEKA TV Tuner"
#define SIM_CARD_CROSSBAR_NAME L"VEKA Crossbar"
#define SIM_CARD_TVAUDIO_NAME L"VEKA TV Audio"
#define SIM_CARD_CAPTURE_NAME L"VEKA Capture Device"
#define SIM_CARD_ENCODER_NAME L"VEKA Encoder/Multiplexer"

// The other families' names for a card's filters: the second family numbers one set per tuner
// (n = tuner index + 1), the third has one set.
#define SIM_CARD_RUL_TUNER_NAME L"DORU TvTuner %u"
#define SIM_CARD_RUL_CROSSBAR_NAME L"DORU Crossbar %u"
#define SIM_CARD_RUL_TVAUDIO_NAME L"DORU TvAudio %u"
#define SIM_CARD_RUL_CAPTURE_NAME L"DORU Capture %u"
#define SIM_CARD_RUL_ENCODER_NAME L"DORU Encode %u"
#define SIM_CARD_PEX_TUNER_NAME L"TAVO TvTuner"
#define SIM_CARD_PEX_CROSSBAR_NAME L"TAVO Crossbar"
#define SIM_CARD_PEX_TVAUDIO_NAME L"TAVO TvAudio"
#define SIM_CARD_PEX_CAPTURE_NAME L"TAVO Capture"
#define SIM_CARD_PEX_ENCODER_NAME L"TAVO Encode"
#define SIM_CARD_PEX_PREVIEW_NAME L"TAVO Preview"

// The third family's own filter classes: the preview source ("TAVO Preview": outputs "Preview"
// and "Audio PCM") and the stand-alone encoder ("TAVO Encode": output "MPEG Stream").
// {5C1A0006-7E2B-4D3A-9F10-3B6C0D5E7A01}, {5C1A0007-...}
inline constexpr CLSID kClsidSimPexPreview = {0x5c1a0006, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};
inline constexpr CLSID kClsidSimPexEncoder = {0x5c1a0007, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};

enum SimCardFamily : std::uint32_t {
  kSimFamilyTam = 1,  // the "VEKA" names of SimCard_RegisterCard
  kSimFamilyRul = 2,
  kSimFamilyPex = 3,
};
constexpr std::uint32_t kSimCardMaxTuners = 4;

// The private media types between the capture filter's virtual pins and the encoder.
// {5C1A0010-7E2B-4D3A-9F10-3B6C0D5E7A01}
inline constexpr GUID kMediaTypeSimVirtual = {0x5c1a0010, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};
inline constexpr GUID kSubtypeSimVirtualVideo = {0x5c1a0011, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};
inline constexpr GUID kSubtypeSimVirtualAudio = {0x5c1a0012, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};

// Roles of a card's filters (registration order).
enum SimCardRole : std::uint32_t {
  kSimRoleTuner = 0,
  kSimRoleCrossbar = 1,
  kSimRoleTvAudio = 2,
  kSimRoleCapture = 3,
  kSimRoleEncoder = 4,
  kSimRoleCount = 5,
  // The third family's preview source (registered by SimCard_RegisterFamilyCard only).
  kSimRolePexPreview = 5,
};

// Crossbar layouts. Default: inputs tuner video, composite, composite, tuner audio, line, line
// (related 3, 4, 5, 0, 1, 2); outputs video decoder (related 1), audio decoder (related 0).
enum SimCrossbarVariant : std::uint32_t {
  kSimCrossbarDefault = 0,
  kSimCrossbarSVideo = 1,        // input 2 is S-Video
  kSimCrossbarNoRelated = 2,     // input 2 has no related pin (0xFFFFFFFF)
  kSimCrossbarNoDecoderOut = 3,  // output 0 is no video decoder
  kSimCrossbarAux = 4,           // inputs 1 and 2 are AUX inputs (the other families' external inputs)
  kSimCrossbarAuxNoRelated = 5,  // as kSimCrossbarAux, and input 1 has no related pin
};

// The capture pin's picture.
enum SimCaptureFormat : std::uint32_t {
  kSimCaptureDefault = 0,     // YUY2 720x480 VIDEOINFOHEADER, then RGB32 720x480
  kSimCaptureNarrow = 1,      // YUY2 352x480 VIDEOINFOHEADER
  kSimCaptureInterlaced = 2,  // YUY2 720x480 VIDEOINFOHEADER2, AMINTERLACE_IsInterlaced
};

// When the encoder tells the driver "encoder stopped" after a run-to-pause.
enum SimEncoderStopMode : std::uint32_t {
  kSimEncoderStopAtOnce = 0,
  kSimEncoderStopDelayed = 1,  // after the given delay
  kSimEncoderStopNever = 2,
};

constexpr std::uint32_t kSimCardMaxRoutes = 64;
constexpr std::uint32_t kSimProcAmpProperties = 10;

// The third family's driver property sets on the tuner ({C7A58D4E-...}: 0 scan mode, 1 frequency
// and tuning mode, 2 signal level code; {D8A919C5-...}: 2 switching flag) and on the capture
// filter ({DD58719E-...}: 3 capture switch B, 4 capture switch A), answered through
// IKsPropertySet by every card's tuner and capture filter.
inline constexpr GUID kSimKsTunerSet = {0xc7a58d4e, 0x9eaf, 0x4701, {0xa4, 0x16, 0xc3, 0xe2, 0xed, 0x27, 0x40, 0xf9}};
inline constexpr GUID kSimKsSwitchingSet = {0xd8a919c5, 0x6e3f, 0x403e, {0xb7, 0xae, 0xeb, 0xf3, 0x50, 0x92, 0xea, 0x12}};
inline constexpr GUID kSimKsCaptureSet = {0xdd58719e, 0x435e, 0x4611, {0x84, 0x11, 0x42, 0x92, 0xa1, 0x7f, 0x93, 0x53}};

// The third family's event registrations ({DDE4CFD5-...}: 1 preview audio mode on the preview
// source, 3 capture audio mode on the capture filter) and encoder properties ({F875D956-...} on
// the encoder: 1 a pair of values, 2 the 80-byte parameter block, 3 the error event, 4 the end
// event). A registration record carries the event's handle as 32 bits, 0 to unregister.
inline constexpr GUID kSimKsEventSet = {0xdde4cfd5, 0x4569, 0x4a93, {0xb5, 0xb5, 0x9d, 0xe6, 0x8e, 0xff, 0x02, 0x7f}};
inline constexpr GUID kSimKsEncoderSet = {0xf875d956, 0xa93e, 0x4d3c, {0x9b, 0xe3, 0x5f, 0x5a, 0xdf, 0xaa, 0xbb, 0x9a}};
constexpr std::uint32_t kSimKsMaxValues = 20;  // the encoder's parameter block
constexpr DWORD kSimKsReturnedWhole = 0xFFFFFFFF;  // SimCard_SetKsReturned: the record's size

// What the preview source's "Preview" pin reports through IAMStreamConfig::GetFormat.
enum SimPreviewFormat : std::uint32_t {
  kSimPreviewVideoInfo = 0,   // YUY2 720x480 VIDEOINFOHEADER
  kSimPreviewVideoInfo2 = 1,  // YUY2 720x480 VIDEOINFOHEADER2
  kSimPreviewOther = 2,       // a format block of another type
  kSimPreviewShortBlock = 3,  // VIDEOINFOHEADER named, a block size shorter than one
  kSimPreviewNoBlock = 4,     // VIDEOINFOHEADER named and its size given, but no block
};

// One accepted IKsPropertySet::Set: the property, the record size and its values (0 when absent).
struct SimCardKsWrite {
  GUID set;
  std::uint32_t id;
  std::uint32_t size;
  std::int32_t values[2];
};

// One crossbar Route call as the card saw it.
struct SimCardRoute {
  std::int32_t output;
  std::int32_t input;
  HRESULT result;
};

// Counters of a card's streams since the card's state was created.
struct SimCardCounters {
  std::uint32_t videoFrames;   // delivered by "Capture"
  std::uint32_t audioBuffers;  // delivered by "AUDIO Out"
  std::uint32_t packs;         // delivered by "MPEG Out"
  std::uint32_t encoderStopsSignalled;
  std::uint32_t eventsPosted;  // graph events posted on request
};

// The picture of a channel: the colour of the upper part (from the tuned frequency when the
// tuner input is routed, else from the input) and of the band at the bottom (from the input).
struct SimCardPicture {
  std::uint8_t top[3];     // R, G, B
  std::uint8_t bottom[3];  // R, G, B
};

extern "C" {

// Registers (`add`) or removes card `index` (0..15) in the device categories: one instance key
// per role, "SimCard<index>_<role>", with its friendly name, class and device path. The device
// paths of card n differ from card 0 only in the instance segment ("...&0&48" + 2n).
HRESULT SimCard_RegisterCard(UINT index, BOOL add);
// Registers (`add`) or removes card `index` under the names of family 2 (one set of five per
// tuner, `tuners` from 1 to kSimCardMaxTuners) or family 3 (one set; `tuners` ignored): the same
// classes and device paths as SimCard_RegisterCard, instance keys "SimCard<index>_F<family>_..".
// Removal takes every tuner's set.
HRESULT SimCard_RegisterFamilyCard(UINT index, UINT family, UINT tuners, BOOL add);
// The device path of a card's role (buffer of `chars` characters).
HRESULT SimCard_GetDevicePath(UINT index, UINT role, wchar_t* path, UINT chars);

// Per-card controls, by any device path of the card. A card's state is made on first use.
HRESULT SimCard_SetCrossbarVariant(const wchar_t* devicePath, UINT variant);
HRESULT SimCard_GetRouteLog(const wchar_t* devicePath, SimCardRoute* routes, UINT capacity, UINT* count);
// The tuner's input type of connection 0 (TunerInputCable 0, TunerInputAntenna 1, other values
// as given).
HRESULT SimCard_SetTunerInputType(const wchar_t* devicePath, LONG type);
// The broadcast audio mode: forwarded to the driver stand-in (which signals the registered
// audio-mode events); read back by IAMTVAudio::get_TVAudioMode.
HRESULT SimCard_SetTvAudioMode(const wchar_t* devicePath, DWORD mode);
// The picture controls: range of a property and the capability flags GetRange reports.
HRESULT SimCard_SetProcAmpRange(const wchar_t* devicePath, LONG property, LONG minimum, LONG maximum,
                                LONG step, LONG defaultValue, LONG flags);
HRESULT SimCard_SetCaptureFormat(const wchar_t* devicePath, UINT format);
HRESULT SimCard_SetEncoderStopMode(const wchar_t* devicePath, UINT mode, DWORD delayMs);
// The next call of `method` (an interface method name such as "Route" or "get_InputType") on
// any filter of the card fails with `error`, `times` times.
HRESULT SimCard_InjectFailure(const wchar_t* devicePath, const char* method, HRESULT error, UINT times);
// The capture filter of the card posts this event to its graph (IMediaEventSink::Notify).
HRESULT SimCard_PostCaptureEvent(const wchar_t* devicePath, LONG code, LONG_PTR param1, LONG_PTR param2);
HRESULT SimCard_GetCounters(const wchar_t* devicePath, SimCardCounters* counters);
// The picture the capture pin shows now.
HRESULT SimCard_GetPicture(const wchar_t* devicePath, SimCardPicture* picture);
// The support flags QuerySupported reports for a property (KSPROPERTY_SUPPORT_GET 1, _SET 2; a
// Set or Get without its flag fails), and the values a Get reads.
HRESULT SimCard_SetKsSupport(const wchar_t* devicePath, const GUID* set, DWORD id, DWORD support);
HRESULT SimCard_SetKsValues(const wchar_t* devicePath, const GUID* set, DWORD id, LONG value1, LONG value2);
// The byte count a Get of the property reports (kSimKsReturnedWhole, the default: the record's
// size). Below the record's size only the value bytes under that count are written (the header
// stays as the caller sent it); a larger count still writes no byte past the record.
HRESULT SimCard_SetKsReturned(const wchar_t* devicePath, const GUID* set, DWORD id, DWORD returned);
// The accepted property writes of the card, oldest first.
HRESULT SimCard_GetKsLog(const wchar_t* devicePath, SimCardKsWrite* writes, UINT capacity, UINT* count);
// All values a property holds (up to kSimKsMaxValues; the rest of `values` is zeroed).
HRESULT SimCard_GetKsData(const wchar_t* devicePath, const GUID* set, DWORD id, LONG* values, UINT count);
// Signals the event registered last through (set, id): S_OK, S_FALSE when the handle is 0.
HRESULT SimCard_SignalKsEvent(const wchar_t* devicePath, const GUID* set, DWORD id);
HRESULT SimCard_SetPreviewFormat(const wchar_t* devicePath, UINT format);
// Forgets every card's state (the next use starts from the defaults).
HRESULT SimCard_ResetAll();
// How long a live pin's stop waits for the pin's thread before it terminates it (10 s unless
// set), for the pins made after the call. INFINITE never terminates: a stop that does not end
// stays stuck where a stall watch reports it, rather than leave a lock the thread held taken.
HRESULT SimCard_SetPumpStopTimeout(DWORD ms);

}  // extern "C"
