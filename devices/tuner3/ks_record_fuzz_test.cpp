// The property records the third family exchanges with its filters' drivers, under the mutation
// driver: whatever the driver answers to the support query and to the get or set (any result,
// any bytes, any byte count), a record goes out as header and values in exactly its own size,
// the answer is the driver's, and nothing but the driver's reply lands in the record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/errors.h"
#include "common/testing/fuzz_driver.h"
#include "devices/tuner3/graph_events.h"
#include "filters/base/unknown.h"

namespace {

// Input: byte 0 picks the exchange (bit 0 set, bits 1-3 the record size), byte 1 the support
// query's answer, byte 2 the get's or set's result, bytes 3-6 the claimed byte count, then the
// reply's bytes.
constexpr std::size_t kHeader = 7;
constexpr DWORD kSizes[] = {0, 23, 24, 28, 32, 64, 100, 108};
constexpr HRESULT kResults[] = {S_OK, S_FALSE, E_FAIL, E_PROP_ID_UNSUPPORTED, E_INVALIDARG,
                                static_cast<HRESULT>(0x8007007A)};
constexpr HRESULT kUnsupported = static_cast<HRESULT>(0x8007A0FF);

class ScriptedProperties final : public CUnknown, public IKsPropertySet {
 public:
  ScriptedProperties(const std::uint8_t* data, std::size_t size)
      : CUnknown(L"Scripted properties", nullptr), data_(data), size_(size) {}
  DECLARE_IUNKNOWN

  STDMETHODIMP QuerySupported(REFGUID, DWORD, DWORD* support) override {
    const std::uint8_t answer = data_[1];
    if (answer >= 0xF0) return E_NOTIMPL;
    *support = answer & (KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET);
    return S_OK;
  }
  STDMETHODIMP Set(REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data, DWORD dataSize) override {
    ++calls;
    sent.assign(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + dataSize);
    sameBuffer = instance == data && instanceSize == dataSize;
    lastSet = set;
    lastId = id;
    return kResults[data_[2] % std::size(kResults)];
  }
  STDMETHODIMP Get(REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data, DWORD dataSize,
                   DWORD* returned) override {
    ++calls;
    sent.assign(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + dataSize);
    sameBuffer = instance == data && instanceSize == dataSize;
    lastSet = set;
    lastId = id;
    // The proxy never writes past the buffer it was given; the count is whatever the driver says.
    std::memcpy(data, data_ + kHeader, std::min<std::size_t>(size_ - kHeader, dataSize));
    if (returned) *returned = fuzzing::ReadLe(data_ + 3, 4);
    return kResults[data_[2] % std::size(kResults)];
  }

  int calls = 0;
  std::vector<std::uint8_t> sent;
  bool sameBuffer = false;
  GUID lastSet{};
  DWORD lastId = 0;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

std::string CheckExchange(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return {};
  const bool write = data[0] & 1;
  const DWORD recordSize = kSizes[(data[0] >> 1) % std::size(kSizes)];
  ScriptedProperties properties(data, size);
  properties.NonDelegatingAddRef();
  // The record ends at a no-access page: a write past its size faults.
  fuzzing::GuardedBuffer place;
  fuzzing::Bytes values(recordSize);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint8_t>(0x40 + i);
  std::uint8_t* record = place.Place(values.data(), values.size());
  const DWORD id = 2;
  const HRESULT hr = pex::ExchangeKsRecord(&properties, PexEncoderPropertySet, id, write, record, recordSize, kUnsupported);

  if (recordSize < 24) return hr == E_POINTER && properties.calls == 0 ? "" : "a record shorter than its header taken";
  const std::uint8_t support = data[1];
  const bool supported = support < 0xF0 && (support & (write ? KSPROPERTY_SUPPORT_SET : KSPROPERTY_SUPPORT_GET));
  if (!supported) return hr == kUnsupported && properties.calls == 0 ? "" : "an unsupported direction asked";
  if (properties.calls != 1) return "not one exchange";
  // A get that succeeded with fewer bytes than the record is refused: the rest is not the driver's.
  const HRESULT answer = kResults[data[2] % std::size(kResults)];
  const bool shortReply = !write && SUCCEEDED(answer) && fuzzing::ReadLe(data + 3, 4) < recordSize;
  if (hr != (shortReply ? errors::kInvalidData : answer)) return "not the driver's answer";
  if (!properties.sameBuffer || properties.sent.size() != recordSize) return "not the record's own buffer and size";
  if (!IsEqualGUID(properties.lastSet, PexEncoderPropertySet) || properties.lastId != id) return "another property";
  // The header as sent, then the caller's values.
  const std::uint32_t flags = write ? 2 : 1;
  if (std::memcmp(properties.sent.data(), &PexEncoderPropertySet, 16) != 0 ||
      fuzzing::ReadLe(properties.sent.data() + 16, 4) != id || fuzzing::ReadLe(properties.sent.data() + 20, 4) != flags ||
      std::memcmp(properties.sent.data() + 24, values.data() + 24, recordSize - 24) != 0) {
    return "the record went out changed";
  }
  // A get leaves the reply where it landed and the record's own bytes behind it.
  if (!write) {
    const std::size_t replied = std::min<std::size_t>(size - kHeader, recordSize);
    if (std::memcmp(record, data + kHeader, replied) != 0 ||
        std::memcmp(record + replied, properties.sent.data() + replied, recordSize - replied) != 0) {
      return "the record is not the reply";
    }
  }
  return {};
}

TEST(KsRecordFuzz, RecordsGoOutWholeAndTheReplyIsAllThatLands) {
  fuzzing::Target target;
  target.name = "ks_records";
  for (std::uint8_t pick = 0; pick < 16; ++pick) {
    fuzzing::Bytes seed(kHeader + 32);
    seed[0] = pick;
    seed[1] = KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET;
    fuzzing::WriteLe(seed.data() + 3, 4, 32);
    for (std::size_t i = kHeader; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 5);
    target.seeds.push_back(seed);
  }
  target.sizeFields = [](const fuzzing::Bytes& input) {
    return input.size() >= kHeader ? std::vector<fuzzing::SizeField>{{3, 4}} : std::vector<fuzzing::SizeField>{};
  };
  target.check = CheckExchange;
  target.maxSize = kHeader + 160;
  target.defaultRuns = 5000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace
