#include "devices/tuner2/instance_pipe.h"

#include <cstring>

#include "common/device/named_pipe.h"
#include "common/errors.h"
#include "common/hresult.h"
#include "common/security.h"

namespace rul {

bool ReadPeerMessage(const BYTE* bytes, DWORD size, PeerMessage* message) {
  if (!bytes || size < sizeof(PeerMessage)) return false;
  PeerMessage read{};
  std::memcpy(&read, bytes, sizeof(read));
  if (read.size != sizeof(PeerMessage)) return false;
  *message = read;
  return true;
}

void WritePeerAnswer(HRESULT result, BYTE* buffer, DWORD capacity, DWORD* written) {
  *written = 0;
  if (!buffer || capacity < sizeof(PeerAnswer)) return;
  const PeerAnswer answer{sizeof(PeerAnswer), 0, result};
  std::memcpy(buffer, &answer, sizeof(answer));
  *written = sizeof(answer);
}

HRESULT InstancePipe::Open(const DeviceIdentity& identity, DWORD processId, std::uint32_t objectAddress,
                           int instance) {
  const std::wstring name = NamedPipe::DevicePipeName(
      identity, processId, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(objectAddress)), instance);
  if (name.empty()) return E_INVALIDARG;
  return Connect(name.c_str());
}

HRESULT InstancePipe::Connect(const wchar_t* name) {
  Close();
  OpenSecurity security = OpenSecurity::Everyone(OpenSecurity::kPipeAllAccess);
  for (;;) {
    HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, security.get(), OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      pipe_.reset(handle);
      return S_OK;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY) return HResultFromWin32(error);
    if (!WaitNamedPipeW(name, kBusyWaitMs)) return HResultFromLastError();
  }
}

HRESULT InstancePipe::SendNotification(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  const PeerMessage message{sizeof(PeerMessage), kPeerNotification, a, b, c};
  return Write(&message, sizeof(message));
}

HRESULT InstancePipe::SendRequest(std::uint32_t a, std::uint32_t b, std::uint32_t c, bool* failed) {
  *failed = true;
  const PeerMessage message{sizeof(PeerMessage), kPeerRequest, a, b, c};
  RETURN_IF_FAILED(Write(&message, sizeof(message)));
  PeerAnswer answer{};
  DWORD count = 0;
  RETURN_IF_FAILED(Read(&answer, sizeof(answer), &count));
  // A short answer carries no result.
  if (count < sizeof(answer)) return errors::kInvalidData;
  *failed = false;
  return answer.result;
}

HRESULT InstancePipe::Write(const void* bytes, DWORD size) {
  if (!pipe_.valid()) return HResultFromWin32(ERROR_INVALID_HANDLE);
  DWORD written = 0;
  if (!WriteFile(pipe_.get(), bytes, size, &written, nullptr)) return HResultFromLastError();
  return written == size ? S_OK : E_FAIL;
}

HRESULT InstancePipe::Read(void* buffer, DWORD size, DWORD* count) {
  *count = 0;
  if (!pipe_.valid()) return HResultFromWin32(ERROR_INVALID_HANDLE);
  auto* bytes = static_cast<BYTE*>(buffer);
  while (*count < size) {
    DWORD read = 0;
    const BOOL ok = ReadFile(pipe_.get(), bytes + *count, size - *count, &read, nullptr);
    *count += read;
    if (ok) return S_OK;
    const DWORD error = GetLastError();
    if (error != ERROR_MORE_DATA) return HResultFromWin32(error);
  }
  // Full: the rest of a longer message stays unread rather than overrun the buffer.
  return S_OK;
}

}  // namespace rul
