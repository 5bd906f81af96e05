// The named kernel objects of one tuner device, shared by every family's device object:
//   DeviceObjectNames  formats every per-device name from the device identity and the object's
//                      instance number, so that the creator and every opener of an object
//                      (other processes, the video chain's elements) agree on it
//   NotifyEventSet     the seven notify events the host and the chain wait on
//   ExclusiveUseSet    the five exclusive-use mutexes, named at setup, created when an
//                      interface is initialised
//   InstanceStamp      the 8-byte instance section that records the last channel change
//
// Names (f1..f6 the identity's fields 1 to 6, n the instance number):
//   events    "Global\EventName_<kind>_f1_f2_f3_f4_f5_f6_n"
//   mutexes   "Global\_f1_f2_f3_f4_f5_f6_n_<interface>_is_already_used"
//   section   "Global\{59680507-0B46-4771-965E-A09CE6177719}_f1_f2_f3_f4_f5_f6_n"
//   pipe      "\\.\pipe\PID<pid>_PTR<address>_f1_f2_f3_f4_f5_f6_n" (NamedPipe::DevicePipeName)
// A family without instance numbers (kNoInstance) leaves "_n" out.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "common/device/device_identity.h"
#include "common/locks.h"
#include "common/shared_memory.h"

// The notify events, in the order of their numbers (event 1 first).
enum class NotifyEvent : int {
  ExternalInput = 0,    // set while an external input is selected
  LiveInputAudio,       // preview input audio mode changed
  LiveOutputAudio,      // preview output audio mode changed
  RecInputAudio,        // output-data input audio mode changed
  RecOutputAudio,       // output-data output audio mode changed
  LiveRunning,          // set while the preview runs
  RecRunning,           // set while output data runs
  Count,
};

// The interfaces used exclusively, in the order of their mutexes.
enum class ExclusiveInterface : int {
  InputSwitch = 0,
  Preview,
  PreviewWindow,  // all the window interfaces
  OutputData,
  AutoScan,
  Count,
};

class DeviceObjectNames {
 public:
  static constexpr int kNoInstance = -1;

  DeviceObjectNames(const DeviceIdentity& identity, int instance);

  std::wstring Event(NotifyEvent which) const;
  // An event of any kind: "Global\EventName_<kind>_f1_.._f6[_n]".
  std::wstring EventOfKind(const wchar_t* kind) const;
  // The recording event the video chain's elements open to choose their recording settings.
  std::wstring RecRunningEvent() const { return Event(NotifyEvent::RecRunning); }
  std::wstring ExclusiveUse(ExclusiveInterface which) const;
  std::wstring InstanceSection() const;
  // A mutex of the whole device, without the instance number: "Global\_f1_.._f6_<kind>".
  std::wstring DeviceMutex(const wchar_t* kind) const;
  std::wstring Pipe(DWORD processId, const void* object) const;

 private:
  const DeviceIdentity& identity_;
  int instance_;
  std::wstring fields_;  // "_f1_f2_f3_f4_f5_f6[_n]"
};

class NotifyEventSet {
 public:
  static constexpr int kCount = static_cast<int>(NotifyEvent::Count);

  // Creates (or opens) each event not held yet: manual reset, not signalled, NULL DACL. Every
  // event is tried; the result is the failure of the first one that could not be made, S_OK
  // otherwise (an event that failed stays without a handle).
  HRESULT Create(const DeviceObjectNames& names);
  void Close();
  HANDLE handle(NotifyEvent which) const noexcept;
  // An input change seen by what runs: the live audio events when LiveRunning is set, the
  // recording audio events when RecRunning is set.
  void SetAudioEventsIfRunning();
  NamedEvent& event(NotifyEvent which) noexcept { return events_[static_cast<int>(which)]; }

 private:
  std::array<NamedEvent, kCount> events_;
};

class ExclusiveUseSet {
 public:
  static constexpr int kCount = static_cast<int>(ExclusiveInterface::Count);

  // Names the five mutexes (nothing is created). A name that does not fit a NamedMutex fails
  // with ERROR_FILENAME_EXCED_RANGE and leaves the set cleared.
  HRESULT Prepare(const DeviceObjectNames& names);
  // Closes every held mutex and forgets the names.
  void Clear();
  bool prepared() const noexcept { return prepared_; }
  NamedMutex& mutex(ExclusiveInterface which) noexcept { return mutexes_[static_cast<int>(which)]; }

 private:
  std::array<NamedMutex, kCount> mutexes_;
  bool prepared_ = false;
};

// The instance section's record, little-endian.
struct InstanceRecord {
  std::uint32_t channelSet;    // 1 once a channel was set through this device's objects
  std::uint32_t lastChangeMs;  // timeGetTime of the last channel change
};
static_assert(sizeof(InstanceRecord) == 8);

class InstanceStamp {
 public:
  // Creates or opens the section (8 bytes, zeroed when new). The Win32 error as an HRESULT.
  HRESULT Create(const DeviceObjectNames& names);
  void Close() { memory_.Close(); }
  // The shared record; null while closed.
  InstanceRecord* record() const noexcept { return memory_.As<InstanceRecord>(); }

 private:
  SharedMemory memory_;
};
