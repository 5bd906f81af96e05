// The simulated tuner card's driver, provided at the Win32 boundary. A host (a test program or
// the demo) attaches it to a loaded module: the module's imports of CreateFileW,
// DeviceIoControl and CloseHandle are rewritten to the stand-in's functions, which answer the
// requests for the simulated cards' device objects and pass every other path and handle to the
// system. The modules themselves are built and shipped unchanged.
//
// Card state lives in a named shared section, so every process connected to the same state
// sees the same cards. The functions below are the host's and the tests' controls.
#pragma once

#include <windows.h>

#include <cstdint>

extern "C" {

// The device objects of the families' driver links, appended to a card's device path: the first
// family's encoder link, the second family's streaming device and the third family's control
// channel. Every registered card offers all three.
#define SIM_DRIVER_ENCODER_SUFFIX L"\\Zarn Orvane encoder device"
#define SIM_DRIVER_STREAMING_SUFFIX L"\\Zarn Quessa Device"
#define SIM_DRIVER_CONTROL_SUFFIX L"\\ZarnExtendedDual-functionDevice"

constexpr std::uint32_t kSimDriverEncoderValues = 13;
constexpr std::uint32_t kSimDriverMaxPacket = 108;  // the largest request packet logged whole
constexpr std::uint32_t kSimDriverMaxTuners = 4;    // tuners of a second-family card
constexpr std::uint32_t kSimDriverEncoderRecordSize = 78;
constexpr std::uint32_t kSimDriverMaxFirmwareBlocks = 8;  // the last blocks kept per card

// Registered event lists of a card. The second family's tuner events join the audio-mode list,
// its record events 0 and 1 the encoder-failure and encoder-stopped lists (whatever the tuner).
enum SimDriverEventList : std::uint32_t {
  kSimEventAudioMode = 0,
  kSimEventEncoderError = 1,
  kSimEventEncoderStopped = 2,
  kSimEventListCount = 3,
};

// A request that fails with `error` (any value, 0 included), once or a given number of times. Fields that say "any":
// code 0, set all zero, id 0xFFFFFFFF, kind 0.
struct SimDriverFault {
  std::uint32_t code;
  GUID set;
  std::uint32_t id;
  std::uint32_t kind;
  std::uint32_t error;
};

// What a test can read of a card.
struct SimDriverCardState {
  std::uint32_t frequency;
  std::uint32_t frequencyMode;
  std::uint32_t scanSwitch;
  std::uint32_t captureSwitch;
  std::uint32_t encoderValues[kSimDriverEncoderValues];
  std::int32_t encoderPreset;  // which recording-quality column the values match, -1 none or unset
  std::uint32_t tvAudioMode;
  std::uint32_t requests;      // requests answered (failed ones included)
  std::uint32_t overlaps;      // requests that started while another was in the driver
  std::uint32_t openHandles;   // driver handles open in all processes
  std::uint32_t events[kSimEventListCount];  // registered events per list
  std::uint32_t delayMs;
  std::uint32_t hardwareVersion;  // third family: the version the version query reports
  std::uint32_t firmwareBlocks;   // third family: firmware blocks accepted so far
};

// One tuner of a second-family card as its streaming device holds it.
struct SimDriverTunerState {
  std::uint32_t scanMode;
  std::uint32_t frequency;
  std::uint32_t tuneMode;
  std::uint32_t switch0;
  std::uint32_t switch1;
  std::uint8_t encoderRecord[kSimDriverEncoderRecordSize];  // packed, word 0 the tuner index
  std::uint8_t reserved[2];
};

// A firmware block the third family's control channel accepted: its header words, the FNV-1a
// hash of its image (SimDriver_HashBytes), and the four bytes behind the image as sent.
struct SimDriverFirmwareBlock {
  std::uint32_t parameter;
  std::uint32_t length;
  std::uint32_t hash;
  std::uint32_t trailing;
};

// One logged request. `packet` holds the first bytes of the input as the caller sent them.
struct SimDriverLogEntry {
  std::uint32_t sequence;
  std::uint32_t card;
  std::uint32_t code;
  std::uint32_t inSize;
  std::uint32_t outSize;
  std::uint32_t error;  // the Win32 error answered, 0 for success
  std::uint32_t processId;
  std::uint32_t threadId;
  std::uint32_t timeMs;  // GetTickCount at the answer
  std::uint8_t packet[kSimDriverMaxPacket];
};

// Connects this process to the named state (created when new). Null: the name in the
// environment variable VORN_SIMDRIVER_STATE, else "Global\VornSimDriver_State". Connecting
// again to the same name is S_OK; to another name while connected fails with
// ERROR_ALREADY_INITIALIZED. Every other function connects to the default on first use.
HRESULT SimDriver_Connect(const wchar_t* stateName);

// The version of the stand-in's file, "6.1.2.3", as the device managers pack it.
inline constexpr DWORD kSimDriverFileVersion = 6 * 100000000u + 1 * 10000000u + 2 * 100000u + 3;

// Rewrites `target`'s import entries for the three functions (matched by name in every import
// descriptor). `patched` (may be null) receives how many entries were rewritten. The stand-in
// stays loaded for the rest of the process once attached. When the system's "drivers" folder
// holds no "veka.sys", a copy of the stand-in's own file (version kSimDriverFileVersion) is put
// there: the card's driver file, whose version the device managers read.
HRESULT SimDriver_Attach(HMODULE target, UINT* patched);
// Puts back the entries that SimDriver_Attach rewrote in `target` (S_FALSE when none). A host
// that unloads an attached module detaches it first.
HRESULT SimDriver_Detach(HMODULE target);

// Registers a card by any of its device paths (the hardware and instance segments identify
// it); an existing card gives its index and S_FALSE. Block A/B start at the defaults below.
HRESULT SimDriver_AddCard(const wchar_t* devicePath, UINT* card);
// The card of a device path; ERROR_FILE_NOT_FOUND when none.
HRESULT SimDriver_FindCard(const wchar_t* devicePath, UINT* card);

// Opens of the card's device objects fail with `error` (when `fail`), or succeed again.
HRESULT SimDriver_FailOpen(UINT card, BOOL fail, DWORD error);
// The driver's information blocks (requests 0x220190 and 0x220194).
HRESULT SimDriver_SetDeviceInfo(UINT card, const std::uint32_t blockA[3], const std::uint32_t blockB[8]);
// Station table: the signal level (any value, for tests of the callers' mapping) reported at an
// exact frequency; every other frequency reads 1 (off station). Level 0xFFFFFFFF removes it.
HRESULT SimDriver_SetStation(UINT card, DWORD frequency, DWORD level);
// Each request waits this long inside the driver (0 none).
HRESULT SimDriver_SetDelay(UINT card, DWORD delayMs);
// The next request that matches fails once with the fault's error.
HRESULT SimDriver_InjectFault(UINT card, const SimDriverFault* fault);
// The next `times` requests that match fail with the fault's error (0 disarms).
HRESULT SimDriver_InjectFaults(UINT card, const SimDriverFault* fault, UINT times);
// Clears the request and overlap counters of a card.
HRESULT SimDriver_ResetCounters(UINT card);

// Changes the broadcast audio mode and signals every registered audio-mode event.
HRESULT SimDriver_SetTvAudioMode(UINT card, DWORD mode);
// Signals the registered encoder-failure events.
HRESULT SimDriver_SignalEncoderError(UINT card);
// Signals the registered encoder-stopped events.
HRESULT SimDriver_SignalEncoderStopped(UINT card);

HRESULT SimDriver_GetCardState(UINT card, SimDriverCardState* state);
// A tuner of a second-family card (0 to kSimDriverMaxTuners - 1).
HRESULT SimDriver_GetTunerState(UINT card, UINT tuner, SimDriverTunerState* state);

// Third family: the version (0 to 255) that the version query puts in the third byte of word 1;
// the other bytes of the reply carry noise that changes with every query.
HRESULT SimDriver_SetHardwareVersion(UINT card, DWORD version);
// Copies the firmware blocks still held (oldest first, at most kSimDriverMaxFirmwareBlocks).
HRESULT SimDriver_ReadFirmwareBlocks(UINT card, SimDriverFirmwareBlock* blocks, UINT capacity, UINT* count);
// The hash recorded for a firmware image (32-bit FNV-1a).
std::uint32_t SimDriver_HashBytes(const void* bytes, UINT size);

// Copies logged requests with a sequence number of at least `from` (oldest first) that are still
// held; `count` receives how many were copied. `next` (may be null) receives the sequence number
// the next request will get.
HRESULT SimDriver_ReadLog(UINT from, SimDriverLogEntry* entries, UINT capacity, UINT* count, UINT* next);

}  // extern "C"
