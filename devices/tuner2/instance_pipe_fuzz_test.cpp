// Instance-pipe messages under the mutation driver: a read of several messages taken apart as
// the device object does, each message read only within the bytes that arrived, and answers
// written only into buffers that hold them (both at no-access pages).
#include <gtest/gtest.h>

#include <cstring>

#include "common/testing/fuzz_driver.h"
#include "devices/tuner2/instance_pipe.h"

namespace {

std::string CheckMessages(const std::uint8_t* data, std::size_t size) {
  // The first byte picks the answer buffer's capacity, the rest is what the pipe delivered.
  if (size == 0) return {};
  const DWORD capacity = data[0] % 24;
  const std::uint8_t* bytes = data + 1;
  const DWORD length = static_cast<DWORD>(size - 1);
  bool request = false;
  DWORD offset = 0;
  for (; offset < length; offset += sizeof(rul::PeerMessage)) {
    rul::PeerMessage message{};
    const bool whole = length - offset >= sizeof(message) && fuzzing::ReadLe(bytes + offset, 4) == sizeof(message);
    if (rul::ReadPeerMessage(bytes + offset, length - offset, &message) != whole) return "a message misjudged";
    if (!whole) break;
    if (std::memcmp(&message, bytes + offset, sizeof(message)) != 0) return "a message read changed";
    request = message.kind == rul::kPeerRequest;
  }
  if (rul::ReadPeerMessage(nullptr, length, nullptr)) return "a message without bytes";

  fuzzing::GuardedBuffer answerPlace;
  const fuzzing::Bytes filler(capacity, 0xCC);
  BYTE* answer = answerPlace.Place(filler.data(), filler.size());
  DWORD written = 77;
  const HRESULT result = static_cast<HRESULT>(request ? 0x80070005u : 0u);
  rul::WritePeerAnswer(result, answer, capacity, &written);
  if (written != (capacity >= sizeof(rul::PeerAnswer) ? sizeof(rul::PeerAnswer) : 0)) return "wrong answer size";
  if (written && (fuzzing::ReadLe(answer, 4) != 12 || fuzzing::ReadLe(answer + 4, 4) != 0 ||
                  fuzzing::ReadLe(answer + 8, 4) != static_cast<std::uint32_t>(result))) {
    return "wrong answer";
  }
  return {};
}

fuzzing::Bytes Message(std::uint32_t kind, std::uint32_t a) {
  fuzzing::Bytes bytes(sizeof(rul::PeerMessage));
  fuzzing::WriteLe(bytes.data(), 4, sizeof(rul::PeerMessage));
  fuzzing::WriteLe(bytes.data() + 4, 4, kind);
  fuzzing::WriteLe(bytes.data() + 8, 4, a);
  return bytes;
}

TEST(InstancePipeFuzz, MessagesAreReadOnlyWhereTheyArrived) {
  fuzzing::Target target;
  target.name = "instance_pipe";
  fuzzing::Bytes two = {12};
  for (const auto& part : {Message(rul::kPeerNotification, rul::kPeerPreviewFree), Message(rul::kPeerRequest, rul::kPeerStopPreview)})
    two.insert(two.end(), part.begin(), part.end());
  fuzzing::Bytes one = {20};
  const fuzzing::Bytes request = Message(rul::kPeerRequest, rul::kPeerStopPreview);
  one.insert(one.end(), request.begin(), request.end());
  target.seeds = {two, one, {11, 20, 0, 0, 0}};
  target.sizeFields = [](const fuzzing::Bytes& input) {
    std::vector<fuzzing::SizeField> fields;
    for (std::size_t at = 1; at + 4 <= input.size(); at += sizeof(rul::PeerMessage)) fields.push_back({at, 4});
    return fields;
  };
  target.check = CheckMessages;
  target.maxSize = 256;
  target.defaultRuns = 5000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace
