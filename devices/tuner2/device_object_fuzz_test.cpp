// The second family's device object under the mutation driver, with what comes from outside it:
// - whatever bytes a peer writes to its instance pipe, the object handles the whole messages in
//   order up to the first one that is short or misstates its length, answers only when the last
//   message it handled was a request ({12, 0, the request's result}), and goes on answering the
//   next peer;
// - whatever its driver answers to the two information requests of the setup, the setup either
//   binds the device with exactly the driver's facts, or fails with the driver's code (or with
//   "no base channel" for a device without inputs) and keeps nothing.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/fuzz_driver.h"
#include "common/testing/paths.h"
#include "devices/core/testing/setup_reply_fuzz.h"
#include "devices/core/testing/pipe_client.h"
#include "devices/tuner2/device_manager_impl.h"
#include "devices/tuner2/instance_pipe.h"
#include "devices/tuner2/testing/device_item_double.h"
#include "devices/tuner2/testing/rul_device_fixture.h"

using Microsoft::WRL::ComPtr;
using testing_support::UniqueName;

namespace {

constexpr DWORD kTransferMs = 5000;

// The answer the object owes a delivery, if any: the result of the last whole message's code
// (no preview here: both codes succeed, any other is refused) when that message is a request.
bool ExpectedAnswer(const std::uint8_t* data, std::size_t size, HRESULT* result) {
  bool answered = false;
  for (std::size_t at = 0; at + sizeof(rul::PeerMessage) <= size; at += sizeof(rul::PeerMessage)) {
    if (fuzzing::ReadLe(data + at, 4) != sizeof(rul::PeerMessage)) break;
    const std::uint32_t code = fuzzing::ReadLe(data + at + 8, 4);
    *result = code == rul::kPeerStopPreview || code == rul::kPeerPreviewFree ? S_OK : E_INVALIDARG;
    answered = fuzzing::ReadLe(data + at + 4, 4) == rul::kPeerRequest;
  }
  return answered;
}

UniqueFileHandle Connect(const std::wstring& name) { return testing_support::PipeClientConnect(name, kTransferMs); }

bool ReadAnswer(HANDLE pipe, rul::PeerAnswer* answer) {
  DWORD moved = 0;
  return testing_support::PipeClientTransfer(pipe, false, reinterpret_cast<BYTE*>(answer), sizeof(*answer), &moved,
                                             kTransferMs) &&
         moved == sizeof(*answer);
}

class RulDeviceFuzz : public rul_testing::RulDeviceTest {
 protected:
  // A tuner-1 item of the card.
  ComPtr<IHalItem> Item() const {
    return rul_testing::MakeItem({{8, 1}, {9, 3}, {2, 7}, {5, 9}}, {{7, capturePath_}, {0, L"1" + capturePath_}});
  }
  // A device object over a table of the test's own.
  std::unique_ptr<rul::DeviceManagerImpl> MakeObject() const {
    auto object = std::make_unique<rul::DeviceManagerImpl>(section_.c_str(), mutex_.c_str(), nullptr);
    if (FAILED(object->CreateDeviceLock()) || FAILED(object->Initialize())) return nullptr;
    return object;
  }

  std::wstring section_ = UniqueName(L"Local\\RulDeviceFuzzSection_");
  std::wstring mutex_ = UniqueName(L"Local\\RulDeviceFuzzMutex_");
};

TEST_F(RulDeviceFuzz, WholeMessagesAreHandledAndOnlyARequestIsAnswered) {
  auto object = MakeObject();
  ASSERT_TRUE(object);
  ASSERT_EQ(S_OK, object->SetDeviceInfo(Item().Get()));
  const std::wstring name = object->names().Pipe(GetCurrentProcessId(), object.get());

  auto message = [](std::uint32_t kind, std::uint32_t code) {
    fuzzing::Bytes bytes(sizeof(rul::PeerMessage));
    fuzzing::WriteLe(bytes.data(), 4, sizeof(rul::PeerMessage));
    fuzzing::WriteLe(bytes.data() + 4, 4, kind);
    fuzzing::WriteLe(bytes.data() + 8, 4, code);
    fuzzing::WriteLe(bytes.data() + 12, 4, 1);
    return bytes;
  };
  fuzzing::Target target;
  target.name = "peer_requests";
  fuzzing::Bytes both = message(rul::kPeerNotification, rul::kPeerPreviewFree);
  const fuzzing::Bytes request = message(rul::kPeerRequest, rul::kPeerStopPreview);
  both.insert(both.end(), request.begin(), request.end());
  fuzzing::Bytes cut = request;
  cut.resize(13);
  target.seeds = {request, message(rul::kPeerNotification, rul::kPeerPreviewFree), both, cut,
                  message(rul::kPeerRequest, 0x77)};
  target.sizeFields = [](const fuzzing::Bytes& input) {
    std::vector<fuzzing::SizeField> fields;
    for (std::size_t at = 0; at + 8 <= input.size(); at += sizeof(rul::PeerMessage)) fields.push_back({at, 4});
    return fields;
  };
  target.maxSize = 6 * sizeof(rul::PeerMessage);
  target.defaultRuns = 1000;
  target.timeBoundMs = 3 * kTransferMs;
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    if (size == 0) return {};
    HRESULT result = S_OK;
    const bool answered = ExpectedAnswer(data, size, &result);
    UniqueFileHandle peer = Connect(name);
    if (!peer.valid()) return "no connection: " + std::to_string(GetLastError());
    DWORD moved = 0;
    if (!testing_support::PipeClientTransfer(peer.get(), true, const_cast<std::uint8_t*>(data),
                                             static_cast<DWORD>(size), &moved, kTransferMs) ||
        moved != size) {
      return "the delivery was not taken";
    }
    if (answered) {
      rul::PeerAnswer answer{};
      if (!ReadAnswer(peer.get(), &answer)) return "no answer to a request";
      if (answer.size != sizeof(answer) || answer.reserved != 0 || answer.result != result) return "a wrong answer";
    }
    // The next peer is still served; by then this one has no answer it was not owed.
    UniqueFileHandle next = Connect(name);
    if (!next.valid()) return "no connection after the delivery";
    fuzzing::Bytes probe = message(rul::kPeerRequest, rul::kPeerPreviewFree);
    rul::PeerAnswer answer{};
    if (!testing_support::PipeClientTransfer(next.get(), true, probe.data(), static_cast<DWORD>(probe.size()), &moved,
                                             kTransferMs) ||
        !ReadAnswer(next.get(), &answer) || answer.result != S_OK) {
      return "the next peer was not answered";
    }
    DWORD waiting = 0;
    if (PeekNamedPipe(peer.get(), nullptr, 0, nullptr, &waiting, nullptr) && waiting != 0)
      return "an answer nothing asked for";
    return {};
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  object->Shutdown();
}

TEST_F(RulDeviceFuzz, SetupTakesTheDriverFactsOrKeepsNothing) {
  ASSERT_TRUE(driver_replies::ReplyHook::Install());
  fuzzing::Target target = driver_replies::SetupTarget(
      "rul_driver_information", [&]() -> std::unique_ptr<DeviceObjectCore> { return MakeObject(); },
      [&] { return Item(); }, errors::kLinkFailure);
  target.defaultRuns = 2000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace
