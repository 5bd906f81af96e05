// The tiled 4:2:0 to YUY2 colour converter. One geometry serves both sides: the connection
// calls and downstream format changes rewrite it, and the transform reads the input with it.
// Only the streaming thread and the (stopped) graph's connection calls touch it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filters/base/transform.h"

namespace convert {

// {733E10D7-459F-44AB-8612-5306F2BEB26B}
inline constexpr CLSID CLSID_QfaCfc = {0x733e10d7, 0x459f, 0x44ab, {0x86, 0x12, 0x53, 0x06, 0xf2, 0xbe, 0xb2, 0x6b}};

class CColorConvertFilter final : public CTransformFilter {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);
  ~CColorConvertFilter() override;

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;

  LONG InputWidth() const { return inputWidth_; }
  LONG InputHeight() const { return inputHeight_; }
  LONG OutputWidth() const { return outputWidth_; }
  LONG OutputHeight() const { return outputHeight_; }
  std::size_t WorkBufferBytes() const { return workBytes_; }

 private:
  CColorConvertFilter(IUnknown* outer, HRESULT* phr);

  // Takes a geometry for both sides and grows the work buffer for it (E_OUTOFMEMORY).
  HRESULT TakeGeometry(LONG width, LONG height);
  HRESULT EnsureWorkBuffer(std::size_t bytes);

  LONG inputWidth_ = 720;
  LONG inputHeight_ = 576;
  LONG outputWidth_ = 720;
  LONG outputHeight_ = 576;
  std::uint8_t* work_ = nullptr;  // 16-byte aligned; grows, never shrinks
  std::size_t workBytes_ = 0;
  std::uint8_t* scratch_ = nullptr;  // one interpolated chroma row
};

}  // namespace convert
