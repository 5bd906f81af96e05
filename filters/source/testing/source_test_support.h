// Helpers of the source filter's tests: renderer frames as the renderer hands them over (a
// sample of its own allocator with field flags and, optionally, an attached type) and filters
// made through the creation function. The interface checks come from the graph test kit.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "filters/base/allocator.h"
#include "filters/base/testkit/com_checks.h"
#include "filters/base/testkit/graph_helpers.h"
#include "filters/source/source_filter.h"

namespace vsrc_test {

using graph_testkit::ExpectInterfaces;

// Frames of the renderer: one buffer each from an allocator of the test.
class RendererFrames {
 public:
  explicit RendererFrames(LONG bytes = 691200, LONG count = 2)
      : allocator_(graph_testkit::NewAllocator(count, bytes)) {}
  ~RendererFrames() {
    allocator_->Decommit();
    EXPECT_EQ(allocator_->Release(), 0u);
  }
  RendererFrames(const RendererFrames&) = delete;
  RendererFrames& operator=(const RendererFrames&) = delete;

  // A frame whose row r (1440-byte pitch) holds (r * 3 + b) & 0xFF at byte b, over `length`
  // bytes (-1: the whole buffer). The caller releases it.
  IMediaSample* Make(DWORD typeSpecificFlags = 0, const AM_MEDIA_TYPE* attach = nullptr, LONG length = -1) {
    IMediaSample* sample = nullptr;
    EXPECT_EQ(allocator_->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    const LONG size = sample->GetSize();
    for (LONG i = 0; i < size; ++i) data[i] = Byte(i / 1440, i % 1440);
    if (length >= 0) sample->SetActualDataLength(length);
    REFERENCE_TIME start = 1000, stop = 2000;
    sample->SetTime(&start, &stop);
    IMediaSample2* sample2 = nullptr;
    EXPECT_EQ(sample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2)), S_OK);
    AM_SAMPLE2_PROPERTIES props{};
    sample2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props));
    props.dwTypeSpecificFlags = typeSpecificFlags;
    if (attach) {
      props.pMediaType = const_cast<AM_MEDIA_TYPE*>(attach);
      props.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
    }
    EXPECT_EQ(sample2->SetProperties(sizeof(props), reinterpret_cast<const BYTE*>(&props)), S_OK);
    sample2->Release();
    return sample;
  }

  static BYTE Byte(LONG row, LONG column) { return static_cast<BYTE>(row * 3 + column); }

 private:
  IMemAllocator* allocator_ = nullptr;
};

// A SourceFilter made through its creation function, with one reference for the caller.
inline vsrc::SourceFilter* NewSourceFilter() { return graph_testkit::NewObject<vsrc::SourceFilter>(); }

}  // namespace vsrc_test
