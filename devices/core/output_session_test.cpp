// What the device objects' IOutputData keeps and works out: status words, the channel-settle
// wait, the output-type choices and their referenced callbacks.
#include "devices/core/output_session.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace output_data;

TEST(OutputSession, StatusWordsPackVersionsCapabilitiesAndSlots) {
  struct Version {
    const wchar_t* text;
    DWORD packed;
  };
  const Version versions[] = {
      {L"6.1.2.3", 610200003}, {L"5, 0, 10, 2195", 501002195}, {L"1.0 (build 7).4", 100000007},
      {L"2.3", 230000000},     {L"", 0},                       {L"1.2.3.4.5", 120300004},
  };
  for (const Version& v : versions) EXPECT_EQ(PackFileVersion(v.text), v.packed) << v.text;
  EXPECT_EQ(PackFileVersion(nullptr), 0u);

  struct WordA {
    ULONG capability;
    DWORD word;
  };
  for (const WordA& c : {WordA{0, 0x80000000}, WordA{1, 0x90000000}, WordA{2, 0x88000000}, WordA{0x203, 0x98000000}})
    EXPECT_EQ(StatusWordA(c.capability), c.word) << c.capability;

  struct WordD {
    std::int32_t band, functions;
    DWORD word;
  };
  const WordD words[] = {
      {1, 0, 0x04000000},          {0x20000020, 1, 0x08000002}, {0x40, 2, 0x14000001},
      {0x60, 3, 0x08000003},       {0x10100020, 0, 0x08000000}, {2, 4, 0x04000000},
  };
  for (const WordD& c : words) EXPECT_EQ(StatusWordD(c.band, c.functions), c.word) << c.band << "/" << c.functions;
}

TEST(OutputSession, SettleWaitIsTheRestOfTheIntervalAcrossTheWrap) {
  struct Case {
    DWORD now, changed, interval, wait;
  };
  const Case cases[] = {
      {1030, 1000, 100, 70},           // 30 ms after the change
      {1000, 1000, 100, 100},          // the change's own millisecond: the whole interval
      {1100, 1000, 100, 0},            // settled
      {5000, 1000, 100, 0},
      {10, 0xFFFFFFF0u, 100, 74},      // the counter wrapped 26 ms after the change
      {0xFFFFFFF0u, 0xFFFFFFF0u, 250, 250},
  };
  for (const Case& c : cases) EXPECT_EQ(SettleWaitMs(c.now, c.changed, c.interval), c.wait) << c.now << "-" << c.changed;
}

// A host callback that counts its references and its calls.
class Counting final : public IOutputDataCB {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return QueryOutputDataCallback(this, iid, out); }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP OnData(ULONG type, ULONG subtype, ULONG, ULONG, ULONG size, BYTE*) override {
    lastType = type;
    lastSubtype = subtype;
    bytes += size;
    return S_OK;
  }
  std::atomic<ULONG> refs{0}, lastType{0}, lastSubtype{0}, bytes{0};
};

TEST(OutputSession, ChoicesReferenceTheirCallbacksAndDispatchByType) {
  Counting mpeg, pcm;
  BYTE data[8] = {};
  IOutputDataCB* held = nullptr;  // the dispatcher, held past the store
  {
    OutputTypeChoices choices;
    held = choices.dispatcher();
    held->AddRef();
    choices.Keep(1, 2, &mpeg);
    choices.Keep(2, 0, &pcm);
    choices.Keep(7, 5, &pcm);  // no such type: ignored
    EXPECT_EQ(mpeg.refs.load(), 1u);
    EXPECT_EQ(pcm.refs.load(), 1u);

    IOutputDataCB* dispatcher = choices.dispatcher();
    EXPECT_EQ(dispatcher->OnData(1, 2, 0, 0, 8, data), S_OK);
    EXPECT_EQ(dispatcher->OnData(2, 0, 0, 0, 4, data), S_OK);
    EXPECT_EQ(dispatcher->OnData(3, 0, 0, 0, 2, data), S_OK);  // nobody chose index records
    EXPECT_EQ(mpeg.bytes.load(), 8u);
    EXPECT_EQ(pcm.bytes.load(), 4u);
    EXPECT_EQ(mpeg.lastSubtype.load(), 2u);

    long count = 0;
    _SHAL_OUTPUTDTATA_TYPE* records = nullptr;
    ASSERT_EQ(choices.Records(&count, &records), S_OK);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(records[0].type, 1u);
    EXPECT_EQ(records[0].subtype, 2u);
    EXPECT_EQ(records[2].type, 3u);
    EXPECT_EQ(records[2].subtype, 0u);
    CoTaskMemFree(records);

    choices.Keep(1, 150, &pcm);  // the replaced callback is let go
    EXPECT_EQ(mpeg.refs.load(), 0u);
    EXPECT_EQ(pcm.refs.load(), 2u);
    EXPECT_EQ(choices.subtype(1), 150u);
    choices.Clear();
    EXPECT_EQ(pcm.refs.load(), 0u);
    EXPECT_EQ(choices.subtype(1), 0u);
    choices.Keep(3, 0, &mpeg);
  }
  EXPECT_EQ(mpeg.refs.load(), 0u) << "the store's end releases what it keeps";
  EXPECT_EQ(held->Release(), 0u) << "the store kept a reference to its dispatcher";

  const std::vector<ULONG> listed = {0, 1, 2};
  for (ULONG subtype : {0u, 2u, 100u, 200u}) EXPECT_TRUE(OutputTypeChoices::Allowed(subtype, listed)) << subtype;
  for (ULONG subtype : {3u, 99u, 201u}) EXPECT_FALSE(OutputTypeChoices::Allowed(subtype, listed)) << subtype;
}

}  // namespace
