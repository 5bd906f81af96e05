// Samples and the memory allocator: the pool, its blocking and releasing, and the sample's
// properties.
#include <gtest/gtest.h>
#include <process.h>

#include <cstdint>

#include "common/handles.h"
#include "filters/base/allocator.h"
#include "filters/base/testkit/video_types.h"

namespace {

IMemAllocator* MakeAllocator(LONG count, LONG size, LONG align = 1, LONG prefix = 0) {
  HRESULT hr = S_OK;
  auto* allocator = new CMemAllocator(L"test", nullptr, &hr);
  IMemAllocator* out = nullptr;
  allocator->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&out));
  if (count > 0) {
    ALLOCATOR_PROPERTIES request{count, size, align, prefix}, actual{};
    EXPECT_EQ(out->SetProperties(&request, &actual), S_OK);
  }
  return out;
}

struct BlockedGet {
  IMemAllocator* allocator;
  HRESULT result = E_FAIL;
  IMediaSample* sample = nullptr;
  static unsigned __stdcall Run(void* self) {
    auto* get = static_cast<BlockedGet*>(self);
    get->result = get->allocator->GetBuffer(&get->sample, nullptr, nullptr, 0);
    return 0;
  }
};

UniqueHandle StartThread(BlockedGet* get) {
  return UniqueHandle(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &BlockedGet::Run, get, 0, nullptr)));
}

TEST(MemAllocator, PropertiesAreCheckedAndBuffersAligned) {
  IMemAllocator* allocator = MakeAllocator(0, 0);
  IMediaSample* sample = nullptr;
  EXPECT_EQ(allocator->Commit(), VFW_E_SIZENOTSET);
  EXPECT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
  ALLOCATOR_PROPERTIES request{2, 100, 3, 0}, actual{};
  EXPECT_EQ(allocator->SetProperties(&request, &actual), VFW_E_BADALIGN);
  request = {2, -1, 1, 0};
  EXPECT_EQ(allocator->SetProperties(&request, &actual), E_INVALIDARG);
  EXPECT_EQ(allocator->SetProperties(nullptr, &actual), E_POINTER);
  request = {3, 100, 64, 8};
  ASSERT_EQ(allocator->SetProperties(&request, &actual), S_OK);
  EXPECT_EQ(actual.cBuffers, 3);
  EXPECT_EQ((actual.cbBuffer + actual.cbPrefix) % 64, 0);
  EXPECT_GE(actual.cbBuffer, 100);
  ASSERT_EQ(allocator->Commit(), S_OK);
  EXPECT_EQ(allocator->SetProperties(&request, &actual), VFW_E_ALREADY_COMMITTED);
  IMediaSample* samples[3] = {};
  for (auto*& s : samples) {
    ASSERT_EQ(allocator->GetBuffer(&s, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
    BYTE* p = nullptr;
    s->GetPointer(&p);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
    p[-8] = 0xAB;  // the prefix is ours to write
    p[s->GetSize() - 1] = 0xCD;
  }
  for (auto* s : samples) EXPECT_EQ(s->Release(), 0u);
  EXPECT_EQ(allocator->Decommit(), S_OK);
  EXPECT_EQ(allocator->Release(), 0u);
}

// Requests whose pool passes 2 GB, however their 32-bit products wrap: refused while negotiating,
// and the properties granted before stay usable.
TEST(MemAllocator, PoolsThatCannotExistAreRefusedAndTheEarlierPropertiesStay) {
  IMemAllocator* allocator = MakeAllocator(3, 100);
  const ALLOCATOR_PROPERTIES refused[] = {
      {2, 0x7FFFFFF0, 1, 0},        // 4 GB
      {0x10000, 0x10000, 1, 0},     // 2^32: 0 in 32 bits
      {0x10001, 0x10000, 1, 0},     // 64 KB in 32 bits
      {0x40000000, 1, 1, 0},        // tiny buffers, but a sample object each
      {3, 0x7FFFFFFF, 4096, 0},     // rounding up to the alignment passes 2 GB
      {2, 100, 1, 0x7FFFFFF0},      // the prefix
      {0x7FFFFFFF, 0x7FFFFFFF, 1, 0x7FFFFFFF},
  };
  for (const ALLOCATOR_PROPERTIES& request : refused) {
    ALLOCATOR_PROPERTIES copy = request, actual{};
    EXPECT_EQ(allocator->SetProperties(&copy, &actual), E_OUTOFMEMORY) << request.cBuffers << " x " << request.cbBuffer;
  }
  ALLOCATOR_PROPERTIES now{};
  ASSERT_EQ(allocator->GetProperties(&now), S_OK);
  EXPECT_EQ(now.cBuffers, 3);
  EXPECT_EQ(now.cbBuffer, 100);
  ASSERT_EQ(allocator->Commit(), S_OK);
  IMediaSample* sample = nullptr;
  ASSERT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
  EXPECT_EQ(sample->GetSize(), 100);
  EXPECT_EQ(sample->Release(), 0u);
  EXPECT_EQ(allocator->Decommit(), S_OK);
  EXPECT_EQ(allocator->Release(), 0u);
}

TEST(MemAllocator, EmptyPoolBlocksUntilDecommitOrNoWaitTimesOut) {
  IMemAllocator* allocator = MakeAllocator(1, 16);
  ASSERT_EQ(allocator->Commit(), S_OK);
  IMediaSample* held = nullptr;
  ASSERT_EQ(allocator->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
  IMediaSample* none = reinterpret_cast<IMediaSample*>(1);
  EXPECT_EQ(allocator->GetBuffer(&none, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
  EXPECT_EQ(none, nullptr);

  BlockedGet get{allocator};
  UniqueHandle thread = StartThread(&get);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));  // blocked
  EXPECT_EQ(allocator->Decommit(), S_OK);
  ASSERT_EQ(WaitForSingleObject(thread.get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(get.result, VFW_E_NOT_COMMITTED);
  EXPECT_EQ(get.sample, nullptr);
  EXPECT_EQ(held->Release(), 0u);
  EXPECT_EQ(allocator->Release(), 0u);
}

TEST(MemAllocator, ABlockedRequestGetsTheSampleReleasedByAnother) {
  IMemAllocator* allocator = MakeAllocator(1, 16);
  ASSERT_EQ(allocator->Commit(), S_OK);
  IMediaSample* held = nullptr;
  ASSERT_EQ(allocator->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
  BlockedGet get{allocator};
  UniqueHandle thread = StartThread(&get);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 100), static_cast<DWORD>(WAIT_TIMEOUT));
  held->AddRef();
  held->Release();  // not the last reference: still out
  EXPECT_EQ(WaitForSingleObject(thread.get(), 100), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(held->Release(), 0u);
  ASSERT_EQ(WaitForSingleObject(thread.get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(get.result, S_OK);
  EXPECT_EQ(get.sample, held);  // the same buffer, back through the pool
  EXPECT_EQ(get.sample->Release(), 0u);
  allocator->Decommit();
  EXPECT_EQ(allocator->Release(), 0u);
}

TEST(MemAllocator, OutstandingSamplesKeepTheAllocatorAndBlockNewProperties) {
  const long objects = CUnknown::ObjectCount();
  IMemAllocator* allocator = MakeAllocator(2, 32);
  ASSERT_EQ(allocator->Commit(), S_OK);
  IMediaSample* sample = nullptr;
  ASSERT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
  EXPECT_EQ(allocator->Decommit(), S_OK);
  ALLOCATOR_PROPERTIES request{2, 64, 1, 0}, actual{};
  EXPECT_EQ(allocator->SetProperties(&request, &actual), VFW_E_BUFFERS_OUTSTANDING);
  EXPECT_EQ(allocator->Release(), 1u);  // the sample's hold
  EXPECT_EQ(CUnknown::ObjectCount(), objects + 1);
  BYTE* p = nullptr;
  sample->GetPointer(&p);
  p[31] = 1;  // memory still there
  EXPECT_EQ(sample->Release(), 0u);  // last sample home: allocator gone
  EXPECT_EQ(CUnknown::ObjectCount(), objects);
}

class SampleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    allocator_ = MakeAllocator(1, 64);
    ASSERT_EQ(allocator_->Commit(), S_OK);
    ASSERT_EQ(allocator_->GetBuffer(&sample_, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(sample_->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2_)), S_OK);
  }
  void TearDown() override {
    if (sample2_) sample2_->Release();
    if (sample_) {
      EXPECT_EQ(sample_->Release(), 0u);
    }
    allocator_->Decommit();
    EXPECT_EQ(allocator_->Release(), 0u);
  }
  IMemAllocator* allocator_ = nullptr;
  IMediaSample* sample_ = nullptr;
  IMediaSample2* sample2_ = nullptr;
};

TEST_F(SampleTest, TimesFollowTheDocumentedRules) {
  REFERENCE_TIME start = 0, stop = 0;
  EXPECT_EQ(sample_->GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
  REFERENCE_TIME s = 1000, e = 2000;
  sample_->SetTime(&s, nullptr);
  EXPECT_EQ(sample_->GetTime(&start, &stop), VFW_S_NO_STOP_TIME);
  EXPECT_EQ(start, 1000);
  EXPECT_EQ(stop, 1001);
  sample_->SetTime(&s, &e);
  EXPECT_EQ(sample_->GetTime(&start, &stop), S_OK);
  EXPECT_EQ(stop, 2000);
  sample_->SetTime(nullptr, nullptr);
  EXPECT_EQ(sample_->GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
  EXPECT_EQ(sample_->GetTime(nullptr, &stop), E_POINTER);

  LONGLONG ms = 0, me = 0;
  EXPECT_EQ(sample_->GetMediaTime(&ms, &me), VFW_E_MEDIA_TIME_NOT_SET);
  LONGLONG m1 = 5, m2 = 6;
  sample_->SetMediaTime(&m1, &m2);
  EXPECT_EQ(sample_->GetMediaTime(&ms, &me), S_OK);
  EXPECT_EQ(me, 6);
  sample_->SetMediaTime(nullptr, nullptr);
  EXPECT_EQ(sample_->GetMediaTime(&ms, &me), VFW_E_MEDIA_TIME_NOT_SET);
}

TEST_F(SampleTest, FlagsLengthAndTypeAreResetWhenTheBufferComesBack) {
  EXPECT_EQ(sample_->GetActualDataLength(), 64);  // a fresh buffer is full
  EXPECT_EQ(sample_->SetActualDataLength(65), VFW_E_BUFFER_OVERFLOW);
  EXPECT_EQ(sample_->SetActualDataLength(-1), VFW_E_BUFFER_OVERFLOW);
  EXPECT_EQ(sample_->SetActualDataLength(10), S_OK);
  EXPECT_EQ(sample_->IsSyncPoint(), S_FALSE);
  sample_->SetSyncPoint(TRUE);
  sample_->SetPreroll(TRUE);
  sample_->SetDiscontinuity(TRUE);
  EXPECT_EQ(sample_->IsSyncPoint(), S_OK);
  EXPECT_EQ(sample_->IsPreroll(), S_OK);
  EXPECT_EQ(sample_->IsDiscontinuity(), S_OK);

  AM_MEDIA_TYPE* type = reinterpret_cast<AM_MEDIA_TYPE*>(1);
  EXPECT_EQ(sample_->GetMediaType(&type), S_FALSE);
  EXPECT_EQ(type, nullptr);
  CMediaType video = graph_testkit::MakeVideoType(8, 2);
  EXPECT_EQ(sample_->SetMediaType(&video), S_OK);
  ASSERT_EQ(sample_->GetMediaType(&type), S_OK);
  EXPECT_TRUE(CMediaType(*type) == video);
  DeleteMediaType(type);

  sample2_->Release();
  sample2_ = nullptr;
  EXPECT_EQ(sample_->Release(), 0u);
  sample_ = nullptr;
  ASSERT_EQ(allocator_->GetBuffer(&sample_, nullptr, nullptr, 0), S_OK);
  EXPECT_EQ(sample_->GetActualDataLength(), 64);
  EXPECT_EQ(sample_->IsSyncPoint(), S_FALSE);
  EXPECT_EQ(sample_->IsDiscontinuity(), S_FALSE);
  EXPECT_EQ(sample_->GetMediaType(&type), S_FALSE);
  ASSERT_EQ(sample_->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2_)), S_OK);
}

TEST_F(SampleTest, PropertiesRoundTripWithTypeSpecificFlagsAndAType) {
  CMediaType video = graph_testkit::MakeVideoType(8, 2);
  AM_SAMPLE2_PROPERTIES props{};
  ASSERT_EQ(sample2_->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props)), S_OK);
  EXPECT_EQ(props.cbData, sizeof(props));
  EXPECT_EQ(props.cbBuffer, 64);
  EXPECT_EQ(props.pMediaType, nullptr);
  props.dwTypeSpecificFlags = 0x4;  // field 1 first
  props.dwSampleFlags = AM_SAMPLE_TYPECHANGED | AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID | AM_SAMPLE_SPLICEPOINT;
  props.pMediaType = &video;
  props.tStart = 10;
  props.tStop = 20;
  props.lActual = 7;
  ASSERT_EQ(sample2_->SetProperties(sizeof(props), reinterpret_cast<const BYTE*>(&props)), S_OK);

  AM_SAMPLE2_PROPERTIES back{};
  ASSERT_EQ(sample2_->GetProperties(sizeof(back), reinterpret_cast<BYTE*>(&back)), S_OK);
  EXPECT_EQ(back.dwTypeSpecificFlags, 0x4u);
  EXPECT_NE(back.pMediaType, &video);  // the sample keeps its own copy
  ASSERT_NE(back.pMediaType, nullptr);
  EXPECT_TRUE(CMediaType(*back.pMediaType) == video);
  EXPECT_EQ(sample_->GetActualDataLength(), 7);
  EXPECT_EQ(sample_->IsSyncPoint(), S_OK);
  REFERENCE_TIME start = 0, stop = 0;
  EXPECT_EQ(sample_->GetTime(&start, &stop), S_OK);
  EXPECT_EQ(stop, 20);
  // Writing back what was read (the sample's own type pointer) keeps the type.
  ASSERT_EQ(sample2_->SetProperties(sizeof(back), reinterpret_cast<const BYTE*>(&back)), S_OK);
  AM_MEDIA_TYPE* type = nullptr;
  ASSERT_EQ(sample_->GetMediaType(&type), S_OK);
  DeleteMediaType(type);

  // Only the leading part given: only that changes.
  back.dwTypeSpecificFlags = 0x1;
  back.lActual = 3;  // beyond the 8 bytes given: ignored
  ASSERT_EQ(sample2_->SetProperties(8, reinterpret_cast<const BYTE*>(&back)), S_OK);
  AM_SAMPLE2_PROPERTIES partial{};
  sample2_->GetProperties(sizeof(partial), reinterpret_cast<BYTE*>(&partial));
  EXPECT_EQ(partial.dwTypeSpecificFlags, 0x1u);
  EXPECT_EQ(partial.lActual, 7);

  // The buffer cannot be swapped, nor the length pass the size; nothing changes then.
  AM_SAMPLE2_PROPERTIES bad = partial;
  bad.pbBuffer += 1;
  EXPECT_EQ(sample2_->SetProperties(sizeof(bad), reinterpret_cast<const BYTE*>(&bad)), E_INVALIDARG);
  bad = partial;
  bad.lActual = 65;
  bad.dwTypeSpecificFlags = 0;
  EXPECT_EQ(sample2_->SetProperties(sizeof(bad), reinterpret_cast<const BYTE*>(&bad)), VFW_E_BUFFER_OVERFLOW);
  sample2_->GetProperties(sizeof(partial), reinterpret_cast<BYTE*>(&partial));
  EXPECT_EQ(partial.dwTypeSpecificFlags, 0x1u);
  // Clearing TYPECHANGED drops the type.
  partial.dwSampleFlags &= ~AM_SAMPLE_TYPECHANGED;
  ASSERT_EQ(sample2_->SetProperties(sizeof(partial), reinterpret_cast<const BYTE*>(&partial)), S_OK);
  EXPECT_EQ(sample_->GetMediaType(&type), S_FALSE);
  EXPECT_EQ(sample2_->GetProperties(sizeof(partial), nullptr), E_POINTER);
}

}  // namespace
