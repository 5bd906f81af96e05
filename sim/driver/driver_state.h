// The stand-in's shared state: every simulated card with its driver state, the fault injector,
// the station table and the request log, in one named section that all connected processes map.
// The layout is fixed-width so that every process of one architecture agrees on it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "common/locks.h"
#include "common/shared_memory.h"
#include "sim/driver/sim_driver.h"

namespace simdriver {

constexpr std::uint32_t kMagic = 0x52445356;  // "VSDR"
constexpr std::uint32_t kMaxCards = 16;
constexpr std::uint32_t kCardKeyChars = 256;
constexpr std::uint32_t kMaxStations = 64;
constexpr std::uint32_t kMaxEvents = 16;
constexpr std::uint32_t kLogCapacity = 2048;
constexpr DWORD kStateLockTimeout = 10000;

// An event registered through a driver handle: the duplicate lives in process `processId`
// under the value `handle`; `driverHandle` is the (process-local) device handle it came through.
struct RegisteredEvent {
  std::uint32_t processId;
  std::uint32_t handle;
  std::uint64_t driverHandle;
};
static_assert(sizeof(RegisteredEvent) == 16);

struct Station {
  std::uint32_t frequency;
  std::uint32_t level;
};

struct CardRecord {
  wchar_t key[kCardKeyChars];  // "<hardware segment>#<instance segment>", lower case
  std::uint32_t openFails;
  std::uint32_t openError;
  std::uint32_t blockA[3];
  std::uint32_t blockB[8];
  std::uint32_t frequency;
  std::uint32_t frequencyMode;
  std::uint32_t scanSwitch;
  std::uint32_t captureSwitch;
  std::uint32_t encoderValues[kSimDriverEncoderValues];
  std::int32_t encoderPreset;
  std::uint32_t tvAudioMode;
  std::uint32_t delayMs;
  volatile LONG inFlight;  // requests inside the driver now (interlocked, outside the lock)
  volatile LONG overlaps;
  volatile LONG requests;
  std::uint32_t openHandles;
  std::uint32_t faultArmed;  // how many more matching requests fail
  SimDriverFault fault;
  std::uint32_t stationCount;
  Station stations[kMaxStations];
  std::uint32_t eventCount[kSimEventListCount];
  RegisteredEvent events[kSimEventListCount][kMaxEvents];
  // The second family's streaming device.
  SimDriverTunerState tuners[kSimDriverMaxTuners];
  // The third family's control channel.
  std::uint32_t hardwareVersion;
  std::uint32_t versionNoise;  // advances with every version query
  std::uint32_t firmwareCount;  // blocks accepted; the last kSimDriverMaxFirmwareBlocks are kept
  SimDriverFirmwareBlock firmware[kSimDriverMaxFirmwareBlocks];
};

struct SharedState {
  std::uint32_t magic;
  std::uint32_t cardCount;
  std::uint32_t logNext;  // sequence number of the next log entry
  std::uint32_t reserved;
  CardRecord cards[kMaxCards];
  SimDriverLogEntry log[kLogCapacity];
};
static_assert(sizeof(SimDriverLogEntry) == 144);
static_assert(sizeof(SimDriverTunerState) == 100);
static_assert(sizeof(SimDriverFirmwareBlock) == 16);
static_assert(sizeof(SimDriverFault) == 32);

// This process's connection to the shared state.
class StateConnection {
 public:
  static StateConnection& Instance();

  HRESULT Connect(const wchar_t* name);
  // Connects to the default state when not yet connected.
  HRESULT EnsureConnected();
  SharedState* state() const noexcept { return state_; }
  NamedMutex& lock() noexcept { return lock_; }

 private:
  StateConnection() = default;
  CriticalSection connectLock_;
  SharedMemory memory_;
  NamedMutex lock_;
  SharedState* state_ = nullptr;
  wchar_t name_[NamedMutex::kNameCapacity] = {};
};

// The card key of a device path (hardware and instance segments, lower case); false when the
// path lacks them or the key does not fit.
bool CardKeyFromPath(const wchar_t* path, size_t length, wchar_t (&key)[kCardKeyChars]);
// The card with this key, or -1.
int FindCardLocked(const SharedState& state, const wchar_t* key);
// A new card with the default driver state.
void InitialiseCard(CardRecord& card, const wchar_t* key);

// Holds the state lock for a scope; state() is null when the state is not reachable.
class LockedState {
 public:
  LockedState();
  LockedState(const LockedState&) = delete;
  LockedState& operator=(const LockedState&) = delete;
  SharedState* state() const noexcept { return guard_ && guard_->owns() ? state_ : nullptr; }
  // The card record, or null when the index is not a registered card.
  CardRecord* card(UINT index) const noexcept;
  // Why state() is null.
  HRESULT error() const noexcept { return error_; }

 private:
  SharedState* state_ = nullptr;
  HRESULT error_ = S_OK;
  std::optional<LockGuard> guard_;
};

// Signals every event of one list of a card (the state lock held). Entries whose process has
// ended are dropped.
void SignalEventsLocked(CardRecord& card, SimDriverEventList list);
// Closes the duplicates registered through `driverHandle` in this process (the state lock held).
void ReleaseEventsLocked(CardRecord& card, HANDLE driverHandle);

}  // namespace simdriver
