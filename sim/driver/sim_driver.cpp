// The stand-in's Win32 functions and the host's controls.
//
// Lock order: the shared state lock before this process's handle table; the table lock is never
// held while waiting for the state lock.
#include "sim/driver/sim_driver.h"

#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "common/locks.h"
#include "common/module.h"
#include "sim/driver/driver_requests.h"
#include "sim/driver/driver_state.h"
#include "sim/driver/import_patch.h"

using namespace simdriver;

namespace {

struct ChannelSuffix {
  const wchar_t* suffix;
  Channel channel;
};
constexpr ChannelSuffix kChannels[] = {
    {SIM_DRIVER_ENCODER_SUFFIX, Channel::Encoder},
    {SIM_DRIVER_STREAMING_SUFFIX, Channel::Streaming},
    {SIM_DRIVER_CONTROL_SUFFIX, Channel::Control},
};

// The largest input a request may carry (a firmware block with its header).
constexpr DWORD kMaxInput = 1u << 20;

struct OpenDevice {
  UINT card;
  Channel channel;
};

// This process's driver handles and patched modules. Never destroyed: patched modules may call
// the hooks while the process shuts down.
struct ProcessTables {
  CriticalSection lock;
  std::map<HANDLE, OpenDevice> handles;
  std::map<HMODULE, std::vector<PatchedImport>> modules;
};
ProcessTables& Tables() {
  static ProcessTables* tables = new ProcessTables;
  return *tables;
}

bool FindOpenDevice(HANDLE handle, OpenDevice* device) {
  if (!handle || handle == INVALID_HANDLE_VALUE) return false;
  ProcessTables& tables = Tables();
  LockGuard guard(tables.lock, INFINITE);
  auto it = tables.handles.find(handle);
  if (it == tables.handles.end()) return false;
  *device = it->second;
  return true;
}

// The channel whose suffix ends `path` (case-insensitive) and the length of the rest.
const ChannelSuffix* MatchChannel(const wchar_t* path, size_t* prefixLength) {
  const size_t length = std::wcslen(path);
  for (const ChannelSuffix& channel : kChannels) {
    const size_t suffixLength = std::wcslen(channel.suffix);
    if (length <= suffixLength) continue;
    if (CompareStringOrdinal(path + length - suffixLength, static_cast<int>(suffixLength), channel.suffix,
                             static_cast<int>(suffixLength), TRUE) == CSTR_EQUAL) {
      *prefixLength = length - suffixLength;
      return &channel;
    }
  }
  return nullptr;
}

HANDLE WINAPI HookCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile) {
  size_t prefixLength = 0;
  wchar_t key[kCardKeyChars];
  const ChannelSuffix* channel = path ? MatchChannel(path, &prefixLength) : nullptr;
  if (!channel || !CardKeyFromPath(path, prefixLength, key)) {
    return ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
  }
  LockedState locked;
  SharedState* state = locked.state();
  if (!state) {
    SetLastError(ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  const int card = FindCardLocked(*state, key);
  if (card < 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  CardRecord& record = state->cards[card];
  if (record.openFails) {
    SetLastError(record.openError);
    return INVALID_HANDLE_VALUE;
  }
  // A real kernel object stands for the device handle, so values are unique and CloseHandle of
  // anything else never hits it.
  HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!handle) return INVALID_HANDLE_VALUE;
  {
    ProcessTables& tables = Tables();
    LockGuard guard(tables.lock, INFINITE);
    tables.handles[handle] = OpenDevice{static_cast<UINT>(card), channel->channel};
  }
  ++record.openHandles;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

void LogRequestLocked(SharedState& state, UINT card, const Request& request, DWORD error) {
  SimDriverLogEntry& entry = state.log[state.logNext % kLogCapacity];
  std::memset(&entry, 0, sizeof(entry));
  entry.sequence = state.logNext++;
  entry.card = card;
  entry.code = request.code;
  entry.inSize = request.inSize;
  entry.outSize = request.outSize;
  entry.error = error;
  entry.processId = GetCurrentProcessId();
  entry.threadId = GetCurrentThreadId();
  entry.timeMs = GetTickCount();
  std::memcpy(entry.packet, request.input, request.inSize < kSimDriverMaxPacket ? request.inSize : kSimDriverMaxPacket);
}

BOOL WINAPI HookDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped) {
  OpenDevice device{};
  if (!FindOpenDevice(handle, &device)) {
    return ::DeviceIoControl(handle, code, in, inSize, out, outSize, returned, overlapped);
  }
  SharedState* shared = StateConnection::Instance().state();  // connected: the handle exists
  CardRecord& record = shared->cards[device.card];

  // Requests inside the driver at the same time are what the callers' I/O mutex must prevent.
  if (InterlockedIncrement(&record.inFlight) > 1) InterlockedIncrement(&record.overlaps);
  const DWORD delay = record.delayMs;
  if (delay) Sleep(delay);

  // The caller's buffer serves as input and output: work on a copy.
  const DWORD copied = in && inSize <= kMaxInput ? inSize : 0;
  std::vector<std::uint8_t> input(copied > kSimDriverMaxPacket ? copied : kSimDriverMaxPacket);
  if (copied) std::memcpy(input.data(), in, copied);
  const Request request{device.channel, code, input.data(), in ? inSize : 0, out ? outSize : 0, handle};
  std::uint8_t answer[kSimDriverMaxPacket] = {};
  DWORD answered = 0;
  DWORD error = ERROR_SUCCESS;
  bool failed = false;  // an injected fault fails even with error 0
  {
    LockedState locked;
    SharedState* state = locked.state();
    if (!state) {
      error = ERROR_GEN_FAILURE;
    } else {
      if (overlapped || !returned || (in && inSize > kMaxInput)) {
        error = ERROR_INVALID_PARAMETER;  // the device is synchronous; a count must be returned
      } else if (FaultMatches(record, request)) {
        --record.faultArmed;
        error = record.fault.error;
        failed = true;
      } else {
        error = AnswerRequestLocked(record, request, answer, &answered);
      }
      LogRequestLocked(*state, device.card, request, error);
    }
  }
  InterlockedIncrement(&record.requests);
  InterlockedDecrement(&record.inFlight);

  failed = failed || error != ERROR_SUCCESS;
  if (returned) *returned = failed ? 0 : answered;
  if (!failed && answered) std::memcpy(out, answer, answered);
  SetLastError(error);
  return failed ? FALSE : TRUE;
}

BOOL WINAPI HookCloseHandle(HANDLE handle) {
  OpenDevice device{};
  bool ours = false;
  if (handle && handle != INVALID_HANDLE_VALUE) {
    ProcessTables& tables = Tables();
    LockGuard guard(tables.lock, INFINITE);
    auto it = tables.handles.find(handle);
    if (it != tables.handles.end()) {
      device = it->second;
      tables.handles.erase(it);  // before the value can be reused
      ours = true;
    }
  }
  if (ours) {
    LockedState locked;
    if (CardRecord* record = locked.card(device.card)) {
      // Like a driver's clean-up: the events registered through this handle go with it.
      ReleaseEventsLocked(*record, handle);
      if (record->openHandles) --record->openHandles;
    }
  }
  return ::CloseHandle(handle);
}

const ImportHook kHooks[] = {
    {"CreateFileW", reinterpret_cast<void*>(&HookCreateFileW)},
    {"DeviceIoControl", reinterpret_cast<void*>(&HookDeviceIoControl)},
    {"CloseHandle", reinterpret_cast<void*>(&HookCloseHandle)},
};

template <class F>
HRESULT WithCard(UINT card, F&& f) {
  LockedState locked;
  if (!locked.state()) return locked.error();
  CardRecord* record = locked.card(card);
  if (!record) return E_INVALIDARG;
  return f(*record);
}

}  // namespace

extern "C" {

HRESULT SimDriver_Connect(const wchar_t* stateName) { return StateConnection::Instance().Connect(stateName); }

namespace {

// The stand-in's file as the card's driver file, unless the system has one.
void InstallDriverFile() {
  wchar_t system[MAX_PATH] = {};
  wchar_t self[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  const DWORD selfLength = GetModuleFileNameW(ThisModule(), self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || selfLength == 0 || selfLength >= MAX_PATH) return;
  const std::wstring folder = std::wstring(system) + L"\\drivers";
  CreateDirectoryW(folder.c_str(), nullptr);
  CopyFileW(self, (folder + L"\\veka.sys").c_str(), TRUE);  // never over an existing file
}

}  // namespace

HRESULT SimDriver_Attach(HMODULE target, UINT* patched) {
  if (patched) *patched = 0;
  // The stand-in's own calls must reach the system.
  if (!target || target == ThisModule()) return E_INVALIDARG;
  RETURN_IF_FAILED(StateConnection::Instance().EnsureConnected());
  InstallDriverFile();
  // Patched entries point into this module: it must never be unloaded after this.
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                          reinterpret_cast<LPCWSTR>(&HookCloseHandle), &self)) {
    return HResultFromLastError();
  }
  ProcessTables& tables = Tables();
  LockGuard guard(tables.lock, INFINITE);
  std::vector<PatchedImport>& list = tables.modules[target];
  const size_t before = list.size();
  const HRESULT hr = PatchImports(target, kHooks, sizeof(kHooks) / sizeof(kHooks[0]), &list);
  if (patched) *patched = static_cast<UINT>(list.size() - before);
  return hr;
}

HRESULT SimDriver_Detach(HMODULE target) {
  ProcessTables& tables = Tables();
  LockGuard guard(tables.lock, INFINITE);
  auto it = tables.modules.find(target);
  if (it == tables.modules.end()) return S_FALSE;
  const HRESULT hr = RestoreImports(it->second);
  tables.modules.erase(it);
  return hr;
}

HRESULT SimDriver_AddCard(const wchar_t* devicePath, UINT* card) {
  wchar_t key[kCardKeyChars];
  if (!devicePath || !card || !CardKeyFromPath(devicePath, std::wcslen(devicePath), key)) return E_INVALIDARG;
  LockedState locked;
  SharedState* state = locked.state();
  if (!state) return locked.error();
  const int existing = FindCardLocked(*state, key);
  if (existing >= 0) {
    *card = static_cast<UINT>(existing);
    return S_FALSE;
  }
  if (state->cardCount >= kMaxCards) return HResultFromWin32(ERROR_NO_SYSTEM_RESOURCES);
  InitialiseCard(state->cards[state->cardCount], key);
  *card = state->cardCount++;
  return S_OK;
}

HRESULT SimDriver_FindCard(const wchar_t* devicePath, UINT* card) {
  wchar_t key[kCardKeyChars];
  if (!devicePath || !card || !CardKeyFromPath(devicePath, std::wcslen(devicePath), key)) return E_INVALIDARG;
  LockedState locked;
  SharedState* state = locked.state();
  if (!state) return locked.error();
  const int found = FindCardLocked(*state, key);
  if (found < 0) return HResultFromWin32(ERROR_FILE_NOT_FOUND);
  *card = static_cast<UINT>(found);
  return S_OK;
}

HRESULT SimDriver_FailOpen(UINT card, BOOL fail, DWORD error) {
  return WithCard(card, [&](CardRecord& record) {
    record.openFails = fail ? 1 : 0;
    record.openError = error;
    return S_OK;
  });
}

HRESULT SimDriver_SetDeviceInfo(UINT card, const std::uint32_t blockA[3], const std::uint32_t blockB[8]) {
  if (!blockA || !blockB) return E_POINTER;
  return WithCard(card, [&](CardRecord& record) {
    std::memcpy(record.blockA, blockA, sizeof(record.blockA));
    std::memcpy(record.blockB, blockB, sizeof(record.blockB));
    return S_OK;
  });
}

HRESULT SimDriver_SetStation(UINT card, DWORD frequency, DWORD level) {
  return WithCard(card, [&](CardRecord& record) -> HRESULT {
    for (std::uint32_t i = 0; i < record.stationCount; ++i) {
      if (record.stations[i].frequency != frequency) continue;
      if (level == 0xFFFFFFFFu) {
        record.stations[i] = record.stations[--record.stationCount];
      } else {
        record.stations[i].level = level;
      }
      return S_OK;
    }
    if (level == 0xFFFFFFFFu) return S_FALSE;
    if (record.stationCount >= kMaxStations) return HResultFromWin32(ERROR_NO_SYSTEM_RESOURCES);
    record.stations[record.stationCount++] = Station{frequency, level};
    return S_OK;
  });
}

HRESULT SimDriver_SetDelay(UINT card, DWORD delayMs) {
  return WithCard(card, [&](CardRecord& record) {
    record.delayMs = delayMs;
    return S_OK;
  });
}

HRESULT SimDriver_InjectFault(UINT card, const SimDriverFault* fault) { return SimDriver_InjectFaults(card, fault, 1); }

HRESULT SimDriver_InjectFaults(UINT card, const SimDriverFault* fault, UINT times) {
  if (!fault) return E_POINTER;
  return WithCard(card, [&](CardRecord& record) {
    record.fault = *fault;
    record.faultArmed = times;
    return S_OK;
  });
}

HRESULT SimDriver_ResetCounters(UINT card) {
  return WithCard(card, [&](CardRecord& record) {
    InterlockedExchange(&record.requests, 0);
    InterlockedExchange(&record.overlaps, 0);
    return S_OK;
  });
}

HRESULT SimDriver_SetTvAudioMode(UINT card, DWORD mode) {
  return WithCard(card, [&](CardRecord& record) {
    record.tvAudioMode = mode;
    SignalEventsLocked(record, kSimEventAudioMode);
    return S_OK;
  });
}

HRESULT SimDriver_SignalEncoderError(UINT card) {
  return WithCard(card, [&](CardRecord& record) {
    SignalEventsLocked(record, kSimEventEncoderError);
    return S_OK;
  });
}

HRESULT SimDriver_SignalEncoderStopped(UINT card) {
  return WithCard(card, [&](CardRecord& record) {
    SignalEventsLocked(record, kSimEventEncoderStopped);
    return S_OK;
  });
}

HRESULT SimDriver_GetCardState(UINT card, SimDriverCardState* out) {
  if (!out) return E_POINTER;
  return WithCard(card, [&](CardRecord& record) {
    SimDriverCardState s{};
    s.frequency = record.frequency;
    s.frequencyMode = record.frequencyMode;
    s.scanSwitch = record.scanSwitch;
    s.captureSwitch = record.captureSwitch;
    std::memcpy(s.encoderValues, record.encoderValues, sizeof(s.encoderValues));
    s.encoderPreset = record.encoderPreset;
    s.tvAudioMode = record.tvAudioMode;
    s.requests = static_cast<std::uint32_t>(record.requests);
    s.overlaps = static_cast<std::uint32_t>(record.overlaps);
    s.openHandles = record.openHandles;
    for (std::uint32_t i = 0; i < kSimEventListCount; ++i) s.events[i] = record.eventCount[i];
    s.delayMs = record.delayMs;
    s.hardwareVersion = record.hardwareVersion;
    s.firmwareBlocks = record.firmwareCount;
    *out = s;
    return S_OK;
  });
}

HRESULT SimDriver_GetTunerState(UINT card, UINT tuner, SimDriverTunerState* out) {
  if (!out) return E_POINTER;
  if (tuner >= kSimDriverMaxTuners) return E_INVALIDARG;
  return WithCard(card, [&](CardRecord& record) {
    *out = record.tuners[tuner];
    return S_OK;
  });
}

HRESULT SimDriver_SetHardwareVersion(UINT card, DWORD version) {
  if (version > 0xFF) return E_INVALIDARG;
  return WithCard(card, [&](CardRecord& record) {
    record.hardwareVersion = version;
    return S_OK;
  });
}

HRESULT SimDriver_ReadFirmwareBlocks(UINT card, SimDriverFirmwareBlock* blocks, UINT capacity, UINT* count) {
  if (!count || (capacity && !blocks)) return E_POINTER;
  *count = 0;
  return WithCard(card, [&](CardRecord& record) {
    const std::uint32_t end = record.firmwareCount;
    const std::uint32_t first = end > kSimDriverMaxFirmwareBlocks ? end - kSimDriverMaxFirmwareBlocks : 0;
    for (std::uint32_t i = first; i < end && *count < capacity; ++i) {
      blocks[(*count)++] = record.firmware[i % kSimDriverMaxFirmwareBlocks];
    }
    return S_OK;
  });
}

HRESULT SimDriver_ReadLog(UINT from, SimDriverLogEntry* entries, UINT capacity, UINT* count, UINT* next) {
  if (!count || (capacity && !entries)) return E_POINTER;
  *count = 0;
  LockedState locked;
  SharedState* state = locked.state();
  if (!state) return locked.error();
  const std::uint32_t end = state->logNext;
  std::uint32_t first = end > kLogCapacity ? end - kLogCapacity : 0;
  if (from > first) first = from;
  for (std::uint32_t sequence = first; sequence < end && *count < capacity; ++sequence) {
    entries[(*count)++] = state->log[sequence % kLogCapacity];
  }
  if (next) *next = end;
  return S_OK;
}

}  // extern "C"
