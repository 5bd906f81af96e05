// Test support: driver replies of a test's own choosing. Rewrites this program's DeviceIoControl
// entry (over the driver stand-in's, which the fixtures attach first) so that, while replies are
// armed on the calling thread, each request on that thread is answered with the next of them (the
// last one answering every further request): its bytes are written into the request's output
// buffer (no more than the buffer holds, also when the request fails, as a driver may), the byte
// count it claims is reported whatever the buffer, and the request fails with its error or
// succeeds. Requests of other threads, and of this one while nothing is armed, go on to the
// stand-in.
//
// What each answered request looked like is kept: its code, its sizes and its output buffer's
// bytes before the reply was written (so that a test can say what the caller must find there).
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "common/testing/fuzz_driver.h"
#include "sim/driver/import_patch.h"

namespace driver_replies {

struct Reply {
  DWORD error = 0;    // the request's last error; 0: it succeeds
  BOOL fail = FALSE;  // fails (with `error`, which may be 0)
  DWORD claimed = 0;  // the byte count reported
  const std::uint8_t* bytes = nullptr;
  std::size_t size = 0;
};

struct Request {
  DWORD code = 0;
  DWORD inSize = 0;
  DWORD outSize = 0;
  bool outBuffer = false;
  std::vector<std::uint8_t> before;  // the output buffer before the reply (at most 256 bytes)
};

class ReplyHook {
 public:
  // Rewrites the entry (again, when a fixture's attach put the stand-in's back); false when
  // that failed.
  static bool Install() {
    const ImportHook hook{"DeviceIoControl", reinterpret_cast<void*>(&Answer)};
    std::vector<PatchedImport> patched;
    if (FAILED(PatchImports(GetModuleHandleW(nullptr), &hook, 1, &patched)) || patched.empty()) return false;
    for (const PatchedImport& entry : patched) {
      if (entry.original != reinterpret_cast<void*>(&Answer)) State().next = reinterpret_cast<Next>(entry.original);
    }
    return State().next != nullptr;
  }

  // Answers this thread's requests with `reply` until Disarm; the kept requests start anew.
  static void Arm(const Reply& reply) { Arm(std::vector<Reply>{reply}); }
  // Request n gets replies[n], the requests past the last one the last reply.
  static void Arm(const std::vector<Reply>& replies) {
    State().replies = replies.empty() ? std::vector<Reply>{Reply{}} : replies;
    State().requests.clear();
    State().thread = GetCurrentThreadId();
  }
  static void Disarm() { State().thread = 0; }
  static const std::vector<Request>& Requests() { return State().requests; }

 private:
  using Next = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  struct Shared {
    Next next = nullptr;
    volatile DWORD thread = 0;
    std::vector<Reply> replies;
    std::vector<Request> requests;
  };
  static Shared& State() {
    static Shared shared;
    return shared;
  }

  static BOOL WINAPI Answer(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                            LPDWORD returned, LPOVERLAPPED overlapped) {
    Shared& state = State();
    if (state.thread != GetCurrentThreadId()) {
      return state.next(handle, code, in, inSize, out, outSize, returned, overlapped);
    }
    Request request{code, inSize, outSize, out != nullptr, {}};
    if (out) {
      const auto* bytes = static_cast<const std::uint8_t*>(out);
      request.before.assign(bytes, bytes + std::min<DWORD>(outSize, 256));
    }
    const Reply& reply = state.replies[std::min(state.requests.size(), state.replies.size() - 1)];
    state.requests.push_back(std::move(request));
    if (out && reply.bytes) std::memcpy(out, reply.bytes, std::min<std::size_t>(reply.size, outSize));
    if (returned) *returned = reply.claimed;
    if (reply.fail) {
      SetLastError(reply.error);
      return FALSE;
    }
    return TRUE;
  }
};

// The armed reply for a scope.
class ArmedReply {
 public:
  explicit ArmedReply(const Reply& reply) { ReplyHook::Arm(reply); }
  explicit ArmedReply(const std::vector<Reply>& replies) { ReplyHook::Arm(replies); }
  ~ArmedReply() { ReplyHook::Disarm(); }
  ArmedReply(const ArmedReply&) = delete;
  ArmedReply& operator=(const ArmedReply&) = delete;
};

// The output buffer a caller finds after request `request` answered with `reply`.
inline std::vector<std::uint8_t> After(const Request& request, const Reply& reply) {
  std::vector<std::uint8_t> bytes = request.before;
  if (reply.bytes) std::memcpy(bytes.data(), reply.bytes, std::min(reply.size, bytes.size()));
  return bytes;
}

// A reply as a fuzz input carries it: byte 0 for the caller, byte 1 picks the outcome (mostly
// success; else a failure with one of a few errors, none, or the raw word of bytes 2-5), bytes
// 6-9 the claimed count, the rest the bytes.
inline constexpr std::size_t kReplyHeader = 10;
inline Reply ReplyOfInput(const std::uint8_t* data, std::size_t size) {
  Reply reply;
  if (size < kReplyHeader) return reply;
  auto word = [&](std::size_t at) {
    return static_cast<DWORD>(data[at] | data[at + 1] << 8 | data[at + 2] << 16 | static_cast<DWORD>(data[at + 3]) << 24);
  };
  static constexpr DWORD kErrors[] = {0, ERROR_GEN_FAILURE, ERROR_MORE_DATA, ERROR_INSUFFICIENT_BUFFER,
                                      ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED};
  const std::uint8_t outcome = data[1];
  if (outcome >= 192) {
    reply.fail = TRUE;
    reply.error = outcome >= 250 ? word(2) : kErrors[outcome % std::size(kErrors)];
  }
  reply.claimed = word(6);
  reply.bytes = data + kReplyHeader;
  reply.size = size - kReplyHeader;
  return reply;
}

// A link operation under fuzzed replies: the one request it must make (code and the size of
// its buffer, sent and received), what it ran into and the values it reported, and the values a
// success must report from the buffer as the reply left it. Values a failure reports must still
// be kUntouched (what the operation's outputs held before).
inline constexpr std::uint32_t kUntouched = 0xA5A5A5A5;
struct Outcome {
  HRESULT hr = S_OK;
  std::vector<std::uint32_t> values;
};
struct Operation {
  DWORD code;
  DWORD inSize;
  DWORD outSize;
  std::function<Outcome()> run;
  std::function<std::vector<std::uint32_t>(const std::vector<std::uint8_t>& after)> expected;
};

// A word of a reply buffer, kUntouched past its end.
inline std::uint32_t WordAt(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return at + 4 <= bytes.size() ? fuzzing::ReadLe(bytes.data() + at, 4) : kUntouched;
}
// `count` words from byte `from` on.
inline std::function<std::vector<std::uint32_t>(const std::vector<std::uint8_t>&)> Words(std::size_t from,
                                                                                        std::size_t count) {
  return [=](const std::vector<std::uint8_t>& after) {
    std::vector<std::uint32_t> values;
    for (std::size_t i = 0; i < count; ++i) values.push_back(WordAt(after, from + 4 * i));
    return values;
  };
}

// The code a request answered with `reply` gives through the device handle: the driver's error
// as an HRESULT, `noCode` for a failure without one.
inline HRESULT ExpectedCode(const Reply& reply, HRESULT noCode) {
  if (!reply.fail) return S_OK;
  const HRESULT hr = HResultFromWin32(reply.error);
  return FAILED(hr) ? hr : noCode;
}

// The target over `operations` (byte 0 picks one): seeded per operation with a whole reply, a
// short one claiming more than any buffer, and a failure that left bytes behind; the claimed
// count and the raw error are the size fields the mutations lie in.
inline fuzzing::Target ReplyTarget(const char* name, const std::vector<Operation>& operations, HRESULT noCode) {
  fuzzing::Target target;
  target.name = name;
  auto seed = [](std::size_t op, std::uint8_t outcome, std::uint32_t claimed, std::size_t bytes) {
    fuzzing::Bytes input(kReplyHeader + bytes);
    input[0] = static_cast<std::uint8_t>(op);
    input[1] = outcome;
    fuzzing::WriteLe(input.data() + 6, 4, claimed);
    for (std::size_t i = kReplyHeader; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i * 7 + op);
    return input;
  };
  for (std::size_t op = 0; op < operations.size(); ++op) {
    const DWORD size = operations[op].outSize;
    target.seeds.push_back(seed(op, 0, size, size));
    target.seeds.push_back(seed(op, 0, 0xFFFFFFFF, size / 2));
    target.seeds.push_back(seed(op, 200, size, size));
  }
  target.sizeFields = [](const fuzzing::Bytes& input) {
    return input.size() >= kReplyHeader ? std::vector<fuzzing::SizeField>{{6, 4}, {2, 4}}
                                        : std::vector<fuzzing::SizeField>{};
  };
  target.maxSize = kReplyHeader + 160;
  target.check = [operations, noCode](const std::uint8_t* data, std::size_t size) -> std::string {
    if (size < kReplyHeader || operations.empty()) return {};
    const Operation& op = operations[data[0] % operations.size()];
    const Reply reply = ReplyOfInput(data, size);
    Outcome outcome;
    {
      ArmedReply armed(reply);
      outcome = op.run();
    }
    const auto& requests = ReplyHook::Requests();
    if (requests.size() != 1) return "not one request: " + std::to_string(requests.size());
    const Request& request = requests[0];
    if (request.code != op.code || request.inSize != op.inSize || request.outSize != op.outSize ||
        request.outBuffer != (op.outSize != 0)) {
      return "a request of the wrong code or size";
    }
    if (outcome.hr != ExpectedCode(reply, noCode)) return "wrong result " + std::to_string(outcome.hr);
    if (FAILED(outcome.hr)) {
      for (const std::uint32_t value : outcome.values)
        if (value != kUntouched) return "a failed read wrote its output";
      return {};
    }
    if (outcome.values != op.expected(After(request, reply))) return "a value not as the reply left it";
    return {};
  };
  return target;
}

}  // namespace driver_replies
