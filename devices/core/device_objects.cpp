#include "devices/core/device_objects.h"

#include "common/device/named_pipe.h"
#include "common/format.h"
#include "common/hresult.h"

namespace {

constexpr const wchar_t* kEventKinds[] = {L"ExternalInput",  L"LiveInputAudio", L"LiveOutputAudio",
                                          L"RecInputAudio",  L"RecOutputAudio", L"LiveRunning",
                                          L"RecRunning"};
static_assert(std::size(kEventKinds) == NotifyEventSet::kCount);

constexpr const wchar_t* kExclusiveKinds[] = {L"IInputSwitch", L"IPreview", L"IPreviewWindow",
                                              L"IOutputData", L"IAutoScan"};
static_assert(std::size(kExclusiveKinds) == ExclusiveUseSet::kCount);

// "_f1_f2_f3_f4_f5_f6".
std::wstring IdentityFields(const DeviceIdentity& identity) {
  std::wstring fields;
  for (int field = 1; field <= DeviceIdentity::kFieldCount; ++field) {
    const wchar_t* text = identity.GetField(field);
    fields += L'_';
    fields += text ? text : L"";
  }
  return fields;
}

}  // namespace

DeviceObjectNames::DeviceObjectNames(const DeviceIdentity& identity, int instance)
    : identity_(identity), instance_(instance), fields_(IdentityFields(identity)) {
  if (instance != kNoInstance) fields_ += FormatW(L"_%d", instance);
}

std::wstring DeviceObjectNames::Event(NotifyEvent which) const { return EventOfKind(kEventKinds[static_cast<int>(which)]); }

std::wstring DeviceObjectNames::EventOfKind(const wchar_t* kind) const {
  return FormatW(L"Global\\EventName_%ls%ls", kind, fields_.c_str());
}

std::wstring DeviceObjectNames::ExclusiveUse(ExclusiveInterface which) const {
  return FormatW(L"Global\\%ls_%ls_is_already_used", fields_.c_str(),
                 kExclusiveKinds[static_cast<int>(which)]);
}

std::wstring DeviceObjectNames::DeviceMutex(const wchar_t* kind) const {
  return FormatW(L"Global\\%ls_%ls", IdentityFields(identity_).c_str(), kind);
}

std::wstring DeviceObjectNames::InstanceSection() const {
  return L"Global\\{59680507-0B46-4771-965E-A09CE6177719}" + fields_;
}

std::wstring DeviceObjectNames::Pipe(DWORD processId, const void* object) const {
  if (instance_ != kNoInstance) return NamedPipe::DevicePipeName(identity_, processId, object, instance_);
  // Without an instance number the name ends with the identity's fields, like every other name.
  if (identity_.IsEmpty()) return {};
  return FormatW(L"\\\\.\\pipe\\PID%lu_PTR%x%ls", static_cast<unsigned long>(processId),
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(object)), fields_.c_str());
}

void NotifyEventSet::SetAudioEventsIfRunning() {
  if (event(NotifyEvent::LiveRunning).IsSet()) {
    event(NotifyEvent::LiveInputAudio).Set();
    event(NotifyEvent::LiveOutputAudio).Set();
  }
  if (event(NotifyEvent::RecRunning).IsSet()) {
    event(NotifyEvent::RecInputAudio).Set();
    event(NotifyEvent::RecOutputAudio).Set();
  }
}

HRESULT NotifyEventSet::Create(const DeviceObjectNames& names) {
  HRESULT first = S_OK;
  for (int i = 0; i < kCount; ++i) {
    if (events_[i].handle()) continue;
    const HRESULT hr = events_[i].Create(names.Event(static_cast<NotifyEvent>(i)).c_str());
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  }
  return first;
}

void NotifyEventSet::Close() {
  for (auto& event : events_) event.Close();
}

HANDLE NotifyEventSet::handle(NotifyEvent which) const noexcept {
  return events_[static_cast<int>(which)].handle();
}

HRESULT ExclusiveUseSet::Prepare(const DeviceObjectNames& names) {
  Clear();
  for (int i = 0; i < kCount; ++i) {
    if (!mutexes_[i].SetName(names.ExclusiveUse(static_cast<ExclusiveInterface>(i)).c_str())) {
      Clear();
      return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
    }
  }
  prepared_ = true;
  return S_OK;
}

void ExclusiveUseSet::Clear() {
  for (auto& mutex : mutexes_) {
    mutex.Close();
    mutex.SetName(nullptr);
  }
  prepared_ = false;
}

HRESULT InstanceStamp::Create(const DeviceObjectNames& names) {
  const std::wstring name = names.InstanceSection();
  if (name.size() >= MAX_PATH) return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
  return memory_.Create(name.c_str(), 0, sizeof(InstanceRecord));
}
