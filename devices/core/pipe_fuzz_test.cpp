// Device-pipe requests under the mutation driver: the handler on its own with requests and
// answer buffers that end at a no-access page, and the pipe server carrying requests cut short
// or longer than its buffer to it, byte for byte, and serving on afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "common/device/named_pipe.h"
#include "common/handles.h"
#include "common/testing/child.h"
#include "common/testing/fuzz_driver.h"
#include "devices/core/pipe_handler.h"
#include "devices/core/testing/pipe_client.h"

namespace {

// What the documented rule answers: 12 bytes for a request of two words or more whose second
// word is not zero, when the buffer holds them.
DWORD ExpectedAnswer(const std::uint8_t* data, std::size_t size, DWORD capacity) {
  return size >= 8 && fuzzing::ReadLe(data + 4, 4) != 0 && capacity >= 12 ? 12 : 0;
}

// The handler on its own: the input's first byte picks the answer buffer's capacity.
std::string CheckHandler(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  static const DWORD kCapacities[] = {0, 1, 11, 12, 13, kDevicePipeAnswerCapacity};
  const DWORD capacity = kCapacities[data[0] % std::size(kCapacities)];
  fuzzing::GuardedBuffer answerPlace;
  const fuzzing::Bytes filler(capacity, 0xCC);
  BYTE* answer = answerPlace.Place(filler.data(), filler.size());
  DWORD answerSize = 77;
  HandleDevicePipeRequest(nullptr, nullptr, static_cast<DWORD>(size - 1), data + 1, &answerSize, answer, capacity);
  if (answerSize != ExpectedAnswer(data + 1, size - 1, capacity)) return "wrong answer size";
  if (answerSize && (fuzzing::ReadLe(answer, 4) != 12 || fuzzing::ReadLe(answer + 4, 4) != 0 ||
                     fuzzing::ReadLe(answer + 8, 4) != 0)) {
    return "wrong answer";
  }
  return {};
}

TEST(DevicePipeFuzz, HandlerReadsAndWritesOnlyItsBuffers) {
  fuzzing::Target target;
  target.name = "device_pipe_handler";
  target.seeds = {{3, 0, 0, 0, 0, 1, 0, 0, 0}, {5, 0, 0, 0, 0, 0, 0, 0, 0}, {2, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0}};
  target.check = CheckHandler;
  target.maxSize = 64;
  target.defaultRuns = 5000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

// The server side: every read chunk as the handler got it, then the handler's answer.
struct Received {
  std::mutex lock;
  fuzzing::Bytes bytes;
  bool chunkTooLong = false;
  UniqueHandle arrived{CreateEventW(nullptr, FALSE, FALSE, nullptr)};

  static void Handle(void* context, HANDLE pipe, DWORD size, const BYTE* request, DWORD* answerSize, BYTE* answer,
                     DWORD capacity) {
    auto* self = static_cast<Received*>(context);
    {
      std::lock_guard<std::mutex> guard(self->lock);
      self->chunkTooLong |= size > NamedPipe::kBufferSize;
      self->bytes.insert(self->bytes.end(), request, request + std::min<DWORD>(size, NamedPipe::kBufferSize));
    }
    HandleDevicePipeRequest(nullptr, pipe, size, request, answerSize, answer, capacity);
    SetEvent(self->arrived.get());
  }
};

// One overlapped transfer on the client end, bounded.
bool Transfer(HANDLE pipe, bool write, BYTE* buffer, DWORD size, DWORD* moved) {
  return testing_support::PipeClientTransfer(pipe, write, buffer, size, moved, 2000);
}

TEST(DevicePipeFuzz, ServerCarriesAnyRequestWholeAndServesOn) {
  Received received;
  NamedPipe server;
  const std::wstring name = L"\\\\.\\pipe\\" + testing_support::UniqueName(L"vorn_pipe_fuzz_");
  ASSERT_EQ(S_OK, server.StartServer(&received, name.c_str(), &Received::Handle));

  fuzzing::Target target;
  target.name = "device_pipe_server";
  target.seeds = {{0, 0, 0, 0, 1, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, {1, 2, 3}, fuzzing::Bytes(NamedPipe::kBufferSize + 100, 1)};
  target.maxSize = 3 * NamedPipe::kBufferSize;
  target.defaultRuns = 300;
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    if (size == 0) return {};
    {
      std::lock_guard<std::mutex> guard(received.lock);
      received.bytes.clear();
    }
    UniqueFileHandle client = testing_support::PipeClientConnect(name, 2000);
    if (!client.valid()) return "no connection: " + std::to_string(GetLastError());
    DWORD moved = 0;
    if (!Transfer(client.get(), true, const_cast<std::uint8_t*>(data), static_cast<DWORD>(size), &moved) ||
        moved != size) {
      return "request not taken";
    }
    // Every byte reaches the handler in order, in chunks no longer than the buffer.
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(received.lock);
        if (received.chunkTooLong) return "a chunk longer than the buffer";
        if (received.bytes.size() >= size) {
          if (received.bytes.size() != size || std::memcmp(received.bytes.data(), data, size) != 0)
            return "the request arrived changed";
          break;
        }
      }
      if (WaitForSingleObject(received.arrived.get(), 2000) != WAIT_OBJECT_0) return "the request did not arrive whole";
    }
    // Answers, if any, are whole twelve-byte replies; a fresh request still gets one.
    std::uint32_t probe[2] = {0, 1};
    if (!Transfer(client.get(), true, reinterpret_cast<BYTE*>(probe), sizeof(probe), &moved)) return "probe not taken";
    fuzzing::Bytes answers;
    for (;;) {
      BYTE buffer[NamedPipe::kBufferSize];
      if (!Transfer(client.get(), false, buffer, sizeof(buffer), &moved) || moved == 0) return "no answer to the probe";
      answers.insert(answers.end(), buffer, buffer + moved);
      if (answers.size() % 12 != 0) continue;
      for (std::size_t at = 0; at < answers.size(); at += 12) {
        if (fuzzing::ReadLe(&answers[at], 4) != 12 || fuzzing::ReadLe(&answers[at + 4], 4) != 0) return "a broken answer";
      }
      // The probe's answer is the last; the chunks of the request gave the others.
      std::lock_guard<std::mutex> guard(received.lock);
      if (received.bytes.size() >= size + sizeof(probe)) break;
    }
    return {};
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  EXPECT_EQ(S_OK, server.StopServer());
}

}  // namespace
