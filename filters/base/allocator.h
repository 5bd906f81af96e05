// Media samples and the allocators that own them. A sample belongs to its allocator: its last
// Release hands it back to the allocator's free list. Every sample out of the pool holds a
// reference on its allocator, so a pin may drop the allocator while samples are still out.
#pragma once

#include <vector>

#include "common/dshow.h"
#include "filters/base/lock.h"
#include "filters/base/mediatype.h"
#include "filters/base/unknown.h"

#include "common/handles.h"

class CBaseAllocator;

class CMediaSample : public IMediaSample2 {
 public:
  CMediaSample(CBaseAllocator* allocator, BYTE* buffer, LONG length);
  CMediaSample(const CMediaSample&) = delete;
  CMediaSample& operator=(const CMediaSample&) = delete;
  virtual ~CMediaSample();

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IMediaSample
  STDMETHODIMP GetPointer(BYTE** buffer) override;
  STDMETHODIMP_(LONG) GetSize() override;
  STDMETHODIMP GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
  STDMETHODIMP SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
  STDMETHODIMP IsSyncPoint() override;
  STDMETHODIMP SetSyncPoint(BOOL sync) override;
  STDMETHODIMP IsPreroll() override;
  STDMETHODIMP SetPreroll(BOOL preroll) override;
  STDMETHODIMP_(LONG) GetActualDataLength() override;
  STDMETHODIMP SetActualDataLength(LONG length) override;
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** type) override;
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* type) override;
  STDMETHODIMP IsDiscontinuity() override;
  STDMETHODIMP SetDiscontinuity(BOOL discontinuity) override;
  STDMETHODIMP GetMediaTime(LONGLONG* start, LONGLONG* end) override;
  STDMETHODIMP SetMediaTime(LONGLONG* start, LONGLONG* end) override;

  // IMediaSample2
  STDMETHODIMP GetProperties(DWORD size, BYTE* properties) override;
  STDMETHODIMP SetProperties(DWORD size, const BYTE* properties) override;

  // Buffer of the sample (the allocator's memory management).
  void SetBuffer(BYTE* buffer, LONG length);

 protected:
  friend class CBaseAllocator;
  // Back to the state of a fresh buffer: no times, no flags, no type, actual length = size.
  void Reset();

  CBaseAllocator* const m_pAllocator;  // owns this sample; referenced while the sample is out
  BYTE* m_pBuffer;
  LONG m_cbBuffer;
  LONG m_lActual;
  DWORD m_dwFlags = 0;  // AM_SAMPLE_* bits
  DWORD m_dwTypeSpecificFlags = 0;
  DWORD m_dwStreamId = AM_STREAM_MEDIA;
  REFERENCE_TIME m_Start = 0;
  REFERENCE_TIME m_End = 0;
  LONGLONG m_MediaStart = 0;
  LONGLONG m_MediaEnd = 0;
  bool m_bMediaTimeValid = false;
  AM_MEDIA_TYPE* m_pMediaType = nullptr;
  std::atomic<long> m_cRef{0};
};

// The pool logic of an allocator; derived classes allocate the memory (Alloc/Free).
class CBaseAllocator : public CUnknown, public IMemAllocator {
 public:
  CBaseAllocator(const wchar_t* name, IUnknown* outer, HRESULT* phr);
  ~CBaseAllocator() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IMemAllocator
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* actual) override;
  STDMETHODIMP Commit() override;
  STDMETHODIMP Decommit() override;
  // Waits for a free buffer unless `flags` has AM_GBF_NOWAIT (then VFW_E_TIMEOUT when none is
  // free). VFW_E_NOT_COMMITTED while decommitted, also for callers that were waiting.
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                         DWORD flags) override;
  STDMETHODIMP ReleaseBuffer(IMediaSample* sample) override;

  bool IsCommitted() const;
  // Samples handed out and not yet returned.
  LONG OutstandingCount() const;

 protected:
  // Creates the samples for the current properties (into m_samples) and their memory.
  virtual HRESULT Alloc() = 0;
  // Deletes the samples and their memory; called with every sample home.
  virtual void Free() = 0;

  mutable CCritSec m_lock;  // the pool; never held while calling out
  std::vector<CMediaSample*> m_samples;  // all samples of the pool, owned
  std::vector<CMediaSample*> m_free;
  LONG m_lCount = 0;
  LONG m_lSize = 0;
  LONG m_lAlignment = 0;
  LONG m_lPrefix = 0;
  bool m_bCommitted = false;
  bool m_bAllocated = false;  // memory exists (committed, or decommitted with samples out)

 private:
  void FreeIfIdle();  // with m_lock held

  UniqueHandle m_hSem;  // one release per waiting GetBuffer
  LONG m_lWaiting = 0;
};

// An allocator over one block of process memory, aligned and with the requested prefix.
class CMemAllocator : public CBaseAllocator {
 public:
  CMemAllocator(const wchar_t* name, IUnknown* outer, HRESULT* phr);
  ~CMemAllocator() override;

  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);

  // Alignment must be a power of two; the buffer size is rounded up so that every buffer
  // starts aligned.
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;

 protected:
  HRESULT Alloc() override;
  void Free() override;

 private:
  BYTE* m_pMemory = nullptr;
};
