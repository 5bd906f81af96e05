#include "devices/core/link/io_mutex.h"

#include "common/format.h"

namespace {

const wchar_t* FieldText(const wchar_t* field) { return field ? field : L""; }

}  // namespace

std::wstring DeviceIoMutex::NameFor(const DeviceIdentity& identity) {
  return FormatW(L"Global\\MutexName_IoCtrl_%ls_%ls_%ls_%ls_%ls_%ls", FieldText(identity.GetField1()),
                 FieldText(identity.GetField2()), FieldText(identity.GetField3()),
                 FieldText(identity.GetField4()), FieldText(identity.GetField5()),
                 FieldText(identity.GetField6()));
}

void DeviceIoMutex::ThrowIfNotOwned(const LockGuard& guard) {
  if (guard.owns()) return;
  ThrowHr(guard.result() == LockResult::TimedOut ? HResultFromWin32(WAIT_TIMEOUT) : E_FAIL);
}
