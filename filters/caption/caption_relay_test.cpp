// The caption relay: record reading, the filter's identity, types and buffers, records through
// Transform and through a stub graph, and the channel page's live change and revert.
#include <gtest/gtest.h>

#include "common/dshow.h"

#include <initializer_list>
#include <vector>

#include "filters/base/allocator.h"
#include "filters/base/testkit/graph_helpers.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/stub_page_site.h"
#include "filters/base/testkit/video_types.h"
#include "filters/caption/caption_record.h"
#include "filters/caption/caption_relay_filter.h"

using namespace caption;
using namespace graph_testkit;

namespace {

std::vector<std::uint8_t> Record(std::uint32_t channel, std::uint8_t first, std::uint8_t second, size_t size = 160) {
  std::vector<std::uint8_t> record(size, 0x5A);
  if (size >= kChannelOffset + 4) memcpy(record.data() + kChannelOffset, &channel, 4);
  if (size > kBytePairOffset) record[kBytePairOffset] = first;
  if (size > kBytePairOffset + 1) record[kBytePairOffset + 1] = second;
  return record;
}

CCcRelayFilter* NewFilter() {
  HRESULT hr = S_OK;
  CUnknown* object = CCcRelayFilter::CreateInstance(nullptr, &hr);
  object->NonDelegatingAddRef();
  return static_cast<CCcRelayFilter*>(object);
}

IMediaSample* Sample(IMemAllocator* allocator, const std::vector<std::uint8_t>& bytes) {
  IMediaSample* sample = nullptr;
  allocator->GetBuffer(&sample, nullptr, nullptr, 0);
  BYTE* data = nullptr;
  sample->GetPointer(&data);
  memcpy(data, bytes.data(), std::min<size_t>(bytes.size(), sample->GetSize()));
  sample->SetActualDataLength(static_cast<LONG>(std::min<size_t>(bytes.size(), sample->GetSize())));
  return sample;
}

// Grants one byte whatever is asked.
class ShortAllocator final : public CMemAllocator {
 public:
  explicit ShortAllocator(HRESULT* phr) : CMemAllocator(L"short", nullptr, phr) {}
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override {
    ALLOCATOR_PROPERTIES granted = *request;
    granted.cbBuffer = 1;
    return CMemAllocator::SetProperties(&granted, actual);
  }
};

TEST(CaptionRecord, KeepsRecordsOfTheChannelAndRefusesShortOnes) {
  std::uint8_t pair[2] = {};
  EXPECT_EQ(ExtractBytePair(Record(2, 0x94, 0x2C).data(), 160, 2, pair), S_OK);
  EXPECT_EQ(pair[0], 0x94);
  EXPECT_EQ(pair[1], 0x2C);
  EXPECT_EQ(ExtractBytePair(Record(1, 1, 2).data(), 160, 2, pair), S_FALSE);
  EXPECT_EQ(ExtractBytePair(Record(2, 1, 2, 146).data(), 146, 2, pair), S_OK);
  EXPECT_EQ(ExtractBytePair(Record(2, 1, 2, 145).data(), 145, 2, pair), S_FALSE);
  EXPECT_EQ(ExtractBytePair(Record(0x102, 1, 2).data(), 160, 2, pair), S_FALSE);  // all 32 bits count
  EXPECT_EQ(ExtractBytePair(nullptr, 160, 2, pair), E_POINTER);
}

TEST(CcRelayIdentity, ExposesItsInterfacesAndReleasesToZero) {
  CCcRelayFilter* filter = NewFilter();
  IBaseFilter* base = filter;
  for (const IID* iid : {&IID_IBaseFilter, &IID_IMediaFilter, &IID_ICcChannel, &IID_ISpecifyPropertyPages}) {
    IUnknown* p = nullptr;
    EXPECT_EQ(base->QueryInterface(*iid, reinterpret_cast<void**>(&p)), S_OK);
    if (p) p->Release();
  }
  for (const IID* iid : {&IID_IPin, &IID_IMemInputPin, &IID_IPropertyPage}) {
    IUnknown* p = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(base->QueryInterface(*iid, reinterpret_cast<void**>(&p)), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
  }
  CAUUID pages{};
  ASSERT_EQ(filter->GetPages(&pages), S_OK);
  EXPECT_EQ(pages.pElems[0], CLSID_CcChannelPage);
  CoTaskMemFree(pages.pElems);

  long channel = 0;
  EXPECT_EQ(filter->GetChannel(&channel), S_OK);
  EXPECT_EQ(channel, 1);
  EXPECT_EQ(filter->SetChannel(0), E_INVALIDARG);
  EXPECT_EQ(filter->SetChannel(3), E_INVALIDARG);
  EXPECT_EQ(filter->SetChannel(2), S_OK);
  EXPECT_EQ(filter->GetChannel(&channel), S_OK);
  EXPECT_EQ(channel, 2);
  EXPECT_EQ(filter->GetChannel(nullptr), E_POINTER);
  EXPECT_EQ(base->Release(), 0u);

  HRESULT hr = S_OK;
  CUnknown* page = CcChannelPage::CreateInstance(nullptr, &hr);
  page->NonDelegatingAddRef();
  IUnknown* p = nullptr;
  EXPECT_EQ(page->NonDelegatingQueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&p)), S_OK);
  p->Release();
  EXPECT_EQ(page->NonDelegatingQueryInterface(IID_ICcChannel, reinterpret_cast<void**>(&p)), E_NOINTERFACE);
  EXPECT_EQ(page->NonDelegatingRelease(), 0u);
}

TEST(CcRelayTransform, PassesThePairOfTheChosenChannelOnly) {
  CCcRelayFilter* filter = NewFilter();
  ASSERT_EQ(filter->SetChannel(2), S_OK);
  IMemAllocator* records = NewAllocator(2, 160);
  IMemAllocator* pairs = NewAllocator(2, 2);
  IMemAllocator* tiny = NewAllocator(1, 1);

  IMediaSample* in = Sample(records, Record(1, 0x11, 0x22));
  IMediaSample* out = Sample(pairs, {0xEE, 0xEE});
  EXPECT_EQ(filter->Transform(in, out), S_FALSE);
  in->Release();
  in = Sample(records, Record(2, 0x94, 0x2C));
  EXPECT_EQ(filter->Transform(in, out), S_OK);
  EXPECT_EQ(out->GetActualDataLength(), 2);
  BYTE* data = nullptr;
  out->GetPointer(&data);
  EXPECT_EQ(data[0], 0x94);
  EXPECT_EQ(data[1], 0x2C);
  IMediaSample* small = Sample(tiny, {0xEE});
  EXPECT_EQ(filter->Transform(in, small), S_FALSE);
  small->Release();
  in->SetActualDataLength(140);  // a record cut short
  EXPECT_EQ(filter->Transform(in, out), S_FALSE);
  in->Release();
  out->Release();

  // Buffers: two bytes each, as many as asked (at least one), and a short grant fails.
  IMemAllocator* fresh = NewAllocator(0, 0);
  ALLOCATOR_PROPERTIES request{0, 0, 0, 0}, actual{};
  ASSERT_EQ(filter->DecideBufferSize(fresh, &request), S_OK);
  fresh->GetProperties(&actual);
  EXPECT_EQ(actual.cBuffers, 1);
  EXPECT_EQ(actual.cbBuffer, 2);
  EXPECT_EQ(actual.cbAlign, 1);
  request = ALLOCATOR_PROPERTIES{4, 100, 8, 16};
  ASSERT_EQ(filter->DecideBufferSize(fresh, &request), S_OK);
  fresh->GetProperties(&actual);
  EXPECT_EQ(actual.cBuffers, 4);
  EXPECT_EQ(actual.cbAlign, 8);
  EXPECT_EQ(actual.cbBuffer, 8);  // two bytes, rounded up to the alignment by the allocator
  EXPECT_EQ(actual.cbPrefix, 0);
  request.cbAlign = 1;
  HRESULT hr = S_OK;
  auto* shortOne = new ShortAllocator(&hr);
  shortOne->NonDelegatingAddRef();
  IMemAllocator* grantsLess = nullptr;
  shortOne->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&grantsLess));
  shortOne->NonDelegatingRelease();
  EXPECT_EQ(filter->DecideBufferSize(grantsLess, &request), E_FAIL);
  EXPECT_EQ(grantsLess->Release(), 0u);

  for (IMemAllocator* a : {records, pairs, tiny, fresh}) {
    a->Decommit();
    EXPECT_EQ(a->Release(), 0u);
  }
  EXPECT_EQ(static_cast<IBaseFilter*>(filter)->Release(), 0u);
}

TEST(CcRelayTypes, TakesVbiWithoutAFormatAndOffersLine21BytePairs) {
  CCcRelayFilter* filter = NewFilter();
  CMediaType vbi = MakeVbiType();
  EXPECT_EQ(filter->CheckInputType(&vbi), S_OK);
  CMediaType withFormat = MakeVbiType();
  withFormat.SetFormatType(&FORMAT_VideoInfo);
  EXPECT_EQ(filter->CheckInputType(&withFormat), VFW_E_TYPE_NOT_ACCEPTED);
  CMediaType video(&MEDIATYPE_Video);
  EXPECT_EQ(filter->CheckInputType(&video), VFW_E_TYPE_NOT_ACCEPTED);
  CMediaType pairs(&MEDIATYPE_AUXLine21Data);
  pairs.SetSubtype(&MEDIASUBTYPE_Line21_BytePair);
  pairs.SetFormatType(&FORMAT_None);
  EXPECT_EQ(filter->CheckTransform(&vbi, &pairs), S_OK);
  CMediaType gop = pairs;
  gop.SetSubtype(&MEDIASUBTYPE_Line21_GOPPacket);
  EXPECT_EQ(filter->CheckTransform(&vbi, &gop), VFW_E_TYPE_NOT_ACCEPTED);

  // In a graph: the output type is the input's copy with the byte-pair GUIDs, records flow.
  StubGraph* graph = StubGraph::Create();
  TestPushSource* source = TestPushSource::Create({vbi});
  RecordingSink* sink = RecordingSink::Create();
  graph->AddFilter(source, L"source");
  graph->AddFilter(filter, L"relay");
  graph->AddFilter(sink, L"sink");
  ASSERT_EQ(graph->ConnectDirect(source->OutputPin(), filter->GetPin(0), nullptr), S_OK);
  ASSERT_EQ(graph->ConnectDirect(filter->GetPin(1), sink->InputPin(), nullptr), S_OK);
  const CMediaType& out = filter->GetPin(1)->CurrentMediaType();
  EXPECT_EQ(*out.Type(), MEDIATYPE_AUXLine21Data);
  EXPECT_EQ(*out.Subtype(), MEDIASUBTYPE_Line21_BytePair);
  EXPECT_EQ(*out.FormatType(), FORMAT_None);
  EXPECT_EQ(out.GetSampleSize(), 160u);  // the rest is the input's
  ASSERT_EQ(sink->Pause(), S_OK);
  ASSERT_EQ(filter->Pause(), S_OK);
  ASSERT_EQ(source->Pause(), S_OK);
  SamplePlan record;  // channel field 0x01010101: another channel, skipped
  record.fill = 1;
  EXPECT_EQ(source->Push(record), S_OK);
  EXPECT_EQ(sink->SampleCount(), 0u);
  for (IBaseFilter* f : {static_cast<IBaseFilter*>(sink), static_cast<IBaseFilter*>(filter),
                         static_cast<IBaseFilter*>(source)}) {
    f->Stop();
  }
  graph->Disconnect(filter->GetPin(1));
  graph->Disconnect(sink->InputPin());
  graph->Disconnect(filter->GetPin(0));
  graph->Disconnect(source->OutputPin());
  graph->RemoveFilter(source);
  graph->RemoveFilter(filter);
  graph->RemoveFilter(sink);
  EXPECT_EQ(graph->Release(), 0u);
  EXPECT_EQ(source->Release(), 0u);
  EXPECT_EQ(sink->Release(), 0u);
  EXPECT_EQ(static_cast<IBaseFilter*>(filter)->Release(), 0u);
}

class ChannelPage : public ::testing::Test {
 protected:
  void SetUp() override {
    filter_ = NewFilter();
    HRESULT hr = S_OK;
    CUnknown* page = CcChannelPage::CreateInstance(nullptr, &hr);
    page->NonDelegatingAddRef();
    page->NonDelegatingQueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&page_));
    page->NonDelegatingRelease();
    site_ = StubPropertyPageSite::Create();
    parent_ = CreateWindowExW(0, L"STATIC", L"page parent", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(parent_, nullptr);
    ASSERT_EQ(page_->SetPageSite(site_), S_OK);
  }
  void TearDown() override {
    page_->SetPageSite(nullptr);
    DestroyWindow(parent_);
    EXPECT_EQ(page_->Release(), 0u);
    EXPECT_EQ(site_->Release(), 0u);
    EXPECT_EQ(static_cast<IBaseFilter*>(filter_)->Release(), 0u);
  }
  HWND Open() {
    IUnknown* object = static_cast<IBaseFilter*>(filter_);
    EXPECT_EQ(page_->SetObjects(1, &object), S_OK);
    RECT rect{0, 0, 300, 200};
    EXPECT_EQ(page_->Activate(parent_, &rect, FALSE), S_OK);
    return static_cast<CcChannelPage*>(page_)->Window();
  }
  void Close() {
    EXPECT_EQ(page_->Deactivate(), S_OK);
    EXPECT_EQ(page_->SetObjects(0, nullptr), S_OK);
  }
  long Channel() {
    long channel = 0;
    filter_->GetChannel(&channel);
    return channel;
  }

  CCcRelayFilter* filter_ = nullptr;
  IPropertyPage* page_ = nullptr;
  StubPropertyPageSite* site_ = nullptr;
  HWND parent_ = nullptr;
};

TEST_F(ChannelPage, AClickChangesTheChannelAtOnceAndClosingWithoutApplyRevertsIt) {
  HWND window = Open();
  EXPECT_EQ(IsDlgButtonChecked(window, CcChannelPage::kChannel1), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(window, CcChannelPage::kChannel2), BST_UNCHECKED);
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(CcChannelPage::kChannel2, BN_CLICKED), 0);
  EXPECT_EQ(Channel(), 2);
  EXPECT_EQ(page_->IsPageDirty(), S_OK);
  ASSERT_FALSE(site_->StatusChanges().empty());
  EXPECT_EQ(site_->StatusChanges().back() & PROPPAGESTATUS_DIRTY, static_cast<DWORD>(PROPPAGESTATUS_DIRTY));
  Close();
  EXPECT_EQ(Channel(), 1);
}

TEST_F(ChannelPage, AnAppliedChoiceStaysAfterClosing) {
  HWND window = Open();
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(CcChannelPage::kChannel2, BN_CLICKED), 0);
  ASSERT_EQ(page_->Apply(), S_OK);
  Close();
  EXPECT_EQ(Channel(), 2);
  window = Open();
  EXPECT_EQ(IsDlgButtonChecked(window, CcChannelPage::kChannel2), BST_CHECKED);
  Close();
}

}  // namespace
