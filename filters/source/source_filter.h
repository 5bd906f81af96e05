// The renderer's internal source: a filter with one output pin "Video Output" and no thread of
// its own. The renderer pushes each frame through the pin's IKelvTransmit; the frame is copied
// into a buffer of the downstream allocator (never waiting for one) and delivered at once.
//
// Locks, in the order they may be taken:
//   1. KelvTransmit::lock_: the whole of SetMediaType and Transmit (the renderer's thread);
//   2. the filter lock (SourceFilter::lock_, shared with the pin): state changes, connection;
//      Transmit takes it only to pick up the connection's allocator and peer;
//   3. KelvTransmit::typeLock_: the transmit type alone; nothing is called while it is held.
#pragma once

#include <memory>

#include "common/registry.h"
#include "filters/base/filter.h"
#include "filters/base/pin.h"
#include "filters/include/filter_interfaces.h"

namespace vsrc {

// {3135A373-075A-44A6-B2EF-5B2763176ECD}
inline constexpr CLSID CLSID_VornSourceFilter = {
    0x3135a373, 0x075a, 0x44a6, {0xb2, 0xef, 0x5b, 0x27, 0x63, 0x17, 0x6e, 0xcd}};

constexpr wchar_t kSourceSettingsKey[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn Corporation\\Lumacrest2\\Source";
constexpr wchar_t kOutputBitmapValue[] = L"Output Bitmap";
constexpr wchar_t kDumpMutexName[] = L"OutputBitmap_VornVSrc";
constexpr wchar_t kDumpFolder[] = L"d:";
constexpr wchar_t kDumpPrefix[] = L"VornVSrc";

class VideoOutputPin;

// The frame road from the renderer into the output pin. Part of the pin: its IUnknown is the
// pin's (and so the filter's).
class KelvTransmit final : public CUnknown, public IKelvTransmit {
 public:
  KelvTransmit(VideoOutputPin* pin, HRESULT* phr);

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IKelvTransmit
  STDMETHODIMP SetMediaType(const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP Transmit(IMediaSample* sample) override;

  // A copy of the type the pin offers (the default until SetMediaType succeeds).
  HRESULT GetTransmitType(CMediaType* type) const;

 private:
  HRESULT CopyProperties(IMediaSample* input, IMediaSample* output, CMediaType* connection);
  HRESULT CopyPixels(IMediaSample* input, IMediaSample* output, const CMediaType& transmit,
                     const CMediaType& connection);
  void DumpFrame(IMediaSample* output, const CMediaType& connection);

  VideoOutputPin* const pin_;  // our owner: the pin outlives us
  CCritSec lock_;
  mutable CCritSec typeLock_;
  CMediaType transmitType_;
  CMediaType attachedType_;  // the type last attached to a delivered buffer
  const DWORD dumpSetting_;  // "Output Bitmap", read once
};

class VideoOutputPin final : public CBaseOutputPin {
 public:
  VideoOutputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr);
  ~VideoOutputPin() override;

  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT BreakConnect() override;
  STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;

  // The connection's streaming objects with a reference each, under the filter lock, so that a
  // disconnect cannot pull them away while a frame travels. VFW_E_NOT_CONNECTED without them.
  HRESULT StreamingPeers(IPin** peer, IMemAllocator** allocator, IMemInputPin** input);

 private:
  KelvTransmit transmit_;
};

class SourceFilter final : public CBaseFilter {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);
  ~SourceFilter() override;

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override;

  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;

 private:
  SourceFilter(IUnknown* outer, HRESULT* phr);

  CCritSec lock_;
  std::unique_ptr<VideoOutputPin> pin_;  // made by the first GetPin
};

}  // namespace vsrc
