#include "sim/driver/driver_state.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>

#include "common/hresult.h"

namespace simdriver {
namespace {

constexpr wchar_t kDefaultStateName[] = L"Global\\VornSimDriver_State";
constexpr wchar_t kStateNameVariable[] = L"VORN_SIMDRIVER_STATE";

const std::uint32_t kDefaultBlockA[3] = {0, 0x7, 0x80};
const std::uint32_t kDefaultBlockB[8] = {1, 55250000, 801250000, 62500, 1, 62, 1, 125};
constexpr std::uint32_t kDefaultHardwareVersion = 2;

}  // namespace

StateConnection& StateConnection::Instance() {
  // Never destroyed: patched modules may call the hooks while the process shuts down.
  static StateConnection* connection = new StateConnection;
  return *connection;
}

HRESULT StateConnection::Connect(const wchar_t* name) {
  LockGuard guard(connectLock_, INFINITE);
  std::wstring chosen;
  if (name && *name) {
    chosen = name;
  } else {
    wchar_t variable[NamedMutex::kNameCapacity] = {};
    const DWORD length = GetEnvironmentVariableW(kStateNameVariable, variable, NamedMutex::kNameCapacity);
    chosen = length > 0 && length < NamedMutex::kNameCapacity ? variable : kDefaultStateName;
  }
  if (chosen.size() + 6 >= NamedMutex::kNameCapacity) return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
  if (state_) {
    return chosen == name_ ? S_OK : HResultFromWin32(ERROR_ALREADY_INITIALIZED);
  }
  const std::wstring lockName = chosen + L"_Lock";
  if (!lock_.Open(lockName.c_str())) return HResultFromLastError();
  BOOL created = FALSE;
  HRESULT hr = memory_.Create(chosen.c_str(), 0, sizeof(SharedState), &created);
  if (FAILED(hr)) {
    lock_.Close();
    return hr;
  }
  {
    LockGuard init(lock_, kStateLockTimeout);
    auto* state = memory_.As<SharedState>();
    if (state->magic != kMagic) {  // a new section is zero-filled
      std::memset(state, 0, sizeof(SharedState));
      state->magic = kMagic;
    }
  }
  std::wcscpy(name_, chosen.c_str());
  state_ = memory_.As<SharedState>();
  return S_OK;
}

HRESULT StateConnection::EnsureConnected() {
  if (state_) return S_OK;
  const HRESULT hr = Connect(nullptr);
  return hr == HResultFromWin32(ERROR_ALREADY_INITIALIZED) ? S_OK : hr;
}

bool CardKeyFromPath(const wchar_t* path, size_t length, wchar_t (&key)[kCardKeyChars]) {
  if (!path || length < 2) return false;
  size_t marks[3] = {};
  size_t found = 0;
  for (size_t i = 1; i < length && found < 3; ++i) {
    if (path[i] == L'#') marks[found++] = i;
  }
  if (found < 3) return false;
  const size_t keyLength = marks[2] - marks[0] - 1;
  if (keyLength == 0 || keyLength >= kCardKeyChars) return false;
  for (size_t i = 0; i < keyLength; ++i) {
    const wchar_t c = path[marks[0] + 1 + i];
    if (c == L'\\') return false;
    key[i] = static_cast<wchar_t>(std::towlower(c));
  }
  key[keyLength] = L'\0';
  return true;
}

int FindCardLocked(const SharedState& state, const wchar_t* key) {
  const std::uint32_t count = state.cardCount < kMaxCards ? state.cardCount : kMaxCards;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (std::wcsncmp(state.cards[i].key, key, kCardKeyChars) == 0) return static_cast<int>(i);
  }
  return -1;
}

void InitialiseCard(CardRecord& card, const wchar_t* key) {
  std::memset(&card, 0, sizeof(card));
  std::wcsncpy(card.key, key, kCardKeyChars - 1);
  std::memcpy(card.blockA, kDefaultBlockA, sizeof(card.blockA));
  std::memcpy(card.blockB, kDefaultBlockB, sizeof(card.blockB));
  card.encoderPreset = -1;
  card.hardwareVersion = kDefaultHardwareVersion;
  for (std::uint32_t tuner = 0; tuner < kSimDriverMaxTuners; ++tuner) {
    card.tuners[tuner].encoderRecord[0] = static_cast<std::uint8_t>(tuner);  // word 0 the index
  }
}

LockedState::LockedState() {
  StateConnection& connection = StateConnection::Instance();
  error_ = connection.EnsureConnected();
  if (FAILED(error_)) return;
  guard_.emplace(connection.lock(), kStateLockTimeout);
  if (!guard_->owns()) {
    error_ = HResultFromWin32(guard_->result() == LockResult::TimedOut ? ERROR_TIMEOUT : ERROR_INVALID_HANDLE);
    return;
  }
  state_ = connection.state();
}

CardRecord* LockedState::card(UINT index) const noexcept {
  SharedState* s = state();
  if (!s || index >= s->cardCount || index >= kMaxCards) return nullptr;
  return &s->cards[index];
}

namespace {

// Sets one registered event; false when its process has gone (the entry is then stale).
bool SignalOne(const RegisteredEvent& entry) {
  const HANDLE value = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(entry.handle));
  if (entry.processId == GetCurrentProcessId()) {
    SetEvent(value);
    return true;
  }
  HANDLE process = OpenProcess(PROCESS_DUP_HANDLE, FALSE, entry.processId);
  if (!process) return false;
  DWORD exitCode = 0;
  if (GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE) {
    CloseHandle(process);
    return false;
  }
  HANDLE local = nullptr;
  if (DuplicateHandle(process, value, GetCurrentProcess(), &local, EVENT_MODIFY_STATE, FALSE, 0)) {
    SetEvent(local);
    CloseHandle(local);
  }
  CloseHandle(process);
  return true;
}

void RemoveEvent(CardRecord& card, std::uint32_t list, std::uint32_t index) {
  std::uint32_t& count = card.eventCount[list];
  for (std::uint32_t i = index; i + 1 < count; ++i) card.events[list][i] = card.events[list][i + 1];
  --count;
}

}  // namespace

void SignalEventsLocked(CardRecord& card, SimDriverEventList list) {
  std::uint32_t i = 0;
  while (i < card.eventCount[list] && i < kMaxEvents) {
    if (SignalOne(card.events[list][i])) {
      ++i;
    } else {
      RemoveEvent(card, list, i);
    }
  }
}

void ReleaseEventsLocked(CardRecord& card, HANDLE driverHandle) {
  const auto driverValue = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(driverHandle));
  for (std::uint32_t list = 0; list < kSimEventListCount; ++list) {
    std::uint32_t i = 0;
    while (i < card.eventCount[list] && i < kMaxEvents) {
      const RegisteredEvent& entry = card.events[list][i];
      if (entry.processId == GetCurrentProcessId() && entry.driverHandle == driverValue) {
        CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(entry.handle)));
        RemoveEvent(card, list, i);
      } else {
        ++i;
      }
    }
  }
}

}  // namespace simdriver
