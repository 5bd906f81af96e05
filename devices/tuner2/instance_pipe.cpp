#include "devices/tuner2/instance_pipe.h"

#include <cstring>

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

}  // namespace rul
