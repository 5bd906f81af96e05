// COM identity of every class of the base library and the test kit: the interfaces each must
// and must not expose, aggregation where it is supported, E_POINTER for a null out-pointer,
// and a final Release of 0.
#include <gtest/gtest.h>

#include "filters/base/allocator.h"
#include "filters/base/testkit/com_checks.h"
#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/stub_page_site.h"
#include "filters/base/testkit/test_filters.h"

using namespace graph_testkit;

namespace {

TEST(ComIdentity, MemoryAllocatorAndItsSamples) {
  HRESULT hr = S_OK;
  auto* allocator = new CMemAllocator(L"a", nullptr, &hr);
  IMemAllocator* a = nullptr;
  ASSERT_EQ(allocator->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&a)), S_OK);
  ExpectInterfaces(a, {&IID_IUnknown, &IID_IMemAllocator}, {&IID_IMediaSample, &IID_IBaseFilter, &IID_IMemAllocatorCallbackTemp});
  ALLOCATOR_PROPERTIES props{1, 8, 1, 0}, actual{};
  a->SetProperties(&props, &actual);
  a->Commit();
  IMediaSample* sample = nullptr;
  ASSERT_EQ(a->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
  ExpectInterfaces(sample, {&IID_IUnknown, &IID_IMediaSample, &IID_IMediaSample2}, {&IID_IMemAllocator, &IID_IPin});
  EXPECT_EQ(sample->Release(), 0u);
  a->Decommit();
  EXPECT_EQ(a->Release(), 0u);
}

TEST(ComIdentity, AggregatedAllocatorDelegatesToItsOuterObject) {
  AggregatingOuter outer;
  HRESULT hr = S_OK;
  auto* allocator = new CMemAllocator(L"a", &outer, &hr);
  outer.Aggregate(allocator);
  IMemAllocator* a = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&a)), S_OK);
  EXPECT_EQ(outer.refs, 2);  // the inner interface counts on the outer object
  IPersist* persist = nullptr;
  ASSERT_EQ(a->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)), S_OK);  // the outer's
  EXPECT_EQ(persist, static_cast<IPersist*>(&outer));
  IUnknown* identity = nullptr;
  ASSERT_EQ(a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  persist->Release();
  a->Release();
  EXPECT_EQ(outer.refs, 1);
  outer.inner = nullptr;
  EXPECT_EQ(allocator->NonDelegatingRelease(), 0u);
}

TEST(ComIdentity, FiltersPinsAndEnumerators) {
  TestPushSource* source = TestPushSource::Create();
  RecordingSink* sink = RecordingSink::Create();
  ExpectInterfaces(static_cast<IBaseFilter*>(source),
                   {&IID_IUnknown, &IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist},
                   {&IID_IPin, &IID_IMemInputPin, &IID_IReferenceClock, &IID_IAMFilterMiscFlags, &IID_IMediaSeeking});
  ExpectInterfaces(static_cast<IBaseFilter*>(sink),
                   {&IID_IBaseFilter, &IID_IAMFilterMiscFlags}, {&IID_IPin, &IID_IMemInputPin});
  ExpectInterfaces(source->OutputPin(), {&IID_IUnknown, &IID_IPin, &IID_IQualityControl},
                   {&IID_IMemInputPin, &IID_IBaseFilter, &IID_IMediaSample});
  ExpectInterfaces(sink->InputPin(), {&IID_IPin, &IID_IMemInputPin, &IID_IQualityControl}, {&IID_IBaseFilter});

  // A pin's references are its filter's.
  const ULONG filterRefs = static_cast<IBaseFilter*>(source)->AddRef() - 1;
  source->Release();
  source->OutputPin()->AddRef();
  EXPECT_EQ(static_cast<IBaseFilter*>(source)->AddRef(), filterRefs + 2);
  source->Release();
  source->OutputPin()->Release();

  IEnumPins* pins = nullptr;
  ASSERT_EQ(source->EnumPins(&pins), S_OK);
  ExpectInterfaces(pins, {&IID_IUnknown, &IID_IEnumPins}, {&IID_IEnumMediaTypes});
  EXPECT_EQ(pins->Release(), 0u);
  IEnumMediaTypes* types = nullptr;
  ASSERT_EQ(source->OutputPin()->EnumMediaTypes(&types), S_OK);
  ExpectInterfaces(types, {&IID_IUnknown, &IID_IEnumMediaTypes}, {&IID_IEnumPins});
  EXPECT_EQ(types->Release(), 0u);
  EXPECT_EQ(source->EnumPins(nullptr), E_POINTER);
  EXPECT_EQ(source->GetClassID(nullptr), E_POINTER);

  EXPECT_EQ(source->Release(), 0u);
  EXPECT_EQ(sink->Release(), 0u);
}

TEST(ComIdentity, TestKitObjects) {
  ManualClock* clock = ManualClock::Create();
  ExpectInterfaces(static_cast<IReferenceClock*>(clock), {&IID_IUnknown, &IID_IReferenceClock}, {&IID_IBaseFilter});
  EXPECT_EQ(clock->Release(), 0u);
  StubGraph* graph = StubGraph::Create();
  ExpectInterfaces(static_cast<IFilterGraph*>(graph), {&IID_IFilterGraph, &IID_IMediaEventSink},
                   {&IID_IGraphBuilder, &IID_IMediaControl});
  EXPECT_EQ(graph->Release(), 0u);
  StubPropertyPageSite* site = StubPropertyPageSite::Create();
  ExpectInterfaces(static_cast<IPropertyPageSite*>(site), {&IID_IPropertyPageSite}, {&IID_IPropertyPage});
  EXPECT_EQ(site->Release(), 0u);
}

TEST(ComIdentity, TransformAndInPlaceFiltersWithTheirPins) {
  IdentityTransform* transform = IdentityTransform::Create();
  IncrementInPlace* inPlace = IncrementInPlace::Create();
  for (CTransformFilter* filter : {static_cast<CTransformFilter*>(transform), static_cast<CTransformFilter*>(inPlace)}) {
    ExpectInterfaces(static_cast<IBaseFilter*>(filter),
                     {&IID_IUnknown, &IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist},
                     {&IID_IPin, &IID_IMemInputPin, &IID_IReferenceClock, &IID_IMemAllocator});
    ExpectInterfaces(static_cast<IPin*>(filter->GetPin(0)), {&IID_IPin, &IID_IMemInputPin, &IID_IQualityControl}, {&IID_IBaseFilter});
    ExpectInterfaces(static_cast<IPin*>(filter->GetPin(1)), {&IID_IPin, &IID_IQualityControl}, {&IID_IMemInputPin, &IID_IBaseFilter});
    EXPECT_EQ(filter->GetPin(2), nullptr);
  }
  EXPECT_EQ(transform->Release(), 0u);
  EXPECT_EQ(inPlace->Release(), 0u);
}

}  // namespace
