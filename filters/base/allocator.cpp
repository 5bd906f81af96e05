#include "filters/base/allocator.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/hresult.h"

// --- CMediaSample ------------------------------------------------------------------------------

namespace {
constexpr DWORD kTimeFlags = AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID;
}  // namespace

CMediaSample::CMediaSample(CBaseAllocator* allocator, BYTE* buffer, LONG length)
    : m_pAllocator(allocator), m_pBuffer(buffer), m_cbBuffer(length), m_lActual(length) {}

CMediaSample::~CMediaSample() { DeleteMediaType(m_pMediaType); }

void CMediaSample::Reset() {
  m_dwFlags = 0;
  m_dwTypeSpecificFlags = 0;
  m_dwStreamId = AM_STREAM_MEDIA;
  m_Start = m_End = 0;
  m_MediaStart = m_MediaEnd = 0;
  m_bMediaTimeValid = false;
  m_lActual = m_cbBuffer;
  DeleteMediaType(m_pMediaType);
  m_pMediaType = nullptr;
}

void CMediaSample::SetBuffer(BYTE* buffer, LONG length) {
  m_pBuffer = buffer;
  m_cbBuffer = length;
  m_lActual = length;
}

STDMETHODIMP CMediaSample::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMediaSample || iid == IID_IMediaSample2) {
    *out = static_cast<IMediaSample2*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMediaSample::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) CMediaSample::Release() {
  const long left = --m_cRef;
  // Back to the pool. The allocator may free this object before ReleaseBuffer returns: no
  // member is touched afterwards.
  if (left == 0) m_pAllocator->ReleaseBuffer(this);
  return static_cast<ULONG>(left);
}

STDMETHODIMP CMediaSample::GetPointer(BYTE** buffer) {
  if (!buffer) return E_POINTER;
  *buffer = m_pBuffer;
  return S_OK;
}

STDMETHODIMP_(LONG) CMediaSample::GetSize() { return m_cbBuffer; }

STDMETHODIMP CMediaSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
  if (!start || !end) return E_POINTER;
  if (!(m_dwFlags & AM_SAMPLE_TIMEVALID)) return VFW_E_SAMPLE_TIME_NOT_SET;
  *start = m_Start;
  if (!(m_dwFlags & AM_SAMPLE_STOPVALID)) {
    *end = m_Start + 1;
    return VFW_S_NO_STOP_TIME;
  }
  *end = m_End;
  return S_OK;
}

STDMETHODIMP CMediaSample::SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
  if (!start) {
    m_dwFlags &= ~kTimeFlags;  // no start: no times at all
    return S_OK;
  }
  m_Start = *start;
  m_dwFlags |= AM_SAMPLE_TIMEVALID;
  if (end) {
    m_End = *end;
    m_dwFlags |= AM_SAMPLE_STOPVALID;
  } else {
    m_dwFlags &= ~AM_SAMPLE_STOPVALID;
  }
  return S_OK;
}

STDMETHODIMP CMediaSample::IsSyncPoint() { return (m_dwFlags & AM_SAMPLE_SPLICEPOINT) ? S_OK : S_FALSE; }

STDMETHODIMP CMediaSample::SetSyncPoint(BOOL sync) {
  m_dwFlags = sync ? (m_dwFlags | AM_SAMPLE_SPLICEPOINT) : (m_dwFlags & ~AM_SAMPLE_SPLICEPOINT);
  return S_OK;
}

STDMETHODIMP CMediaSample::IsPreroll() { return (m_dwFlags & AM_SAMPLE_PREROLL) ? S_OK : S_FALSE; }

STDMETHODIMP CMediaSample::SetPreroll(BOOL preroll) {
  m_dwFlags = preroll ? (m_dwFlags | AM_SAMPLE_PREROLL) : (m_dwFlags & ~AM_SAMPLE_PREROLL);
  return S_OK;
}

STDMETHODIMP CMediaSample::IsDiscontinuity() {
  return (m_dwFlags & AM_SAMPLE_DATADISCONTINUITY) ? S_OK : S_FALSE;
}

STDMETHODIMP CMediaSample::SetDiscontinuity(BOOL discontinuity) {
  m_dwFlags = discontinuity ? (m_dwFlags | AM_SAMPLE_DATADISCONTINUITY)
                            : (m_dwFlags & ~AM_SAMPLE_DATADISCONTINUITY);
  return S_OK;
}

STDMETHODIMP_(LONG) CMediaSample::GetActualDataLength() { return m_lActual; }

STDMETHODIMP CMediaSample::SetActualDataLength(LONG length) {
  if (length < 0 || length > m_cbBuffer) return VFW_E_BUFFER_OVERFLOW;
  m_lActual = length;
  return S_OK;
}

STDMETHODIMP CMediaSample::GetMediaType(AM_MEDIA_TYPE** type) {
  if (!type) return E_POINTER;
  *type = nullptr;
  if (!m_pMediaType) return S_FALSE;
  *type = CreateMediaType(m_pMediaType);
  return *type ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CMediaSample::SetMediaType(AM_MEDIA_TYPE* type) {
  if (type == m_pMediaType) return S_OK;
  AM_MEDIA_TYPE* copy = nullptr;
  if (type) {
    copy = CreateMediaType(type);
    if (!copy) return E_OUTOFMEMORY;
  }
  DeleteMediaType(m_pMediaType);
  m_pMediaType = copy;
  m_dwFlags = copy ? (m_dwFlags | AM_SAMPLE_TYPECHANGED) : (m_dwFlags & ~AM_SAMPLE_TYPECHANGED);
  return S_OK;
}

STDMETHODIMP CMediaSample::GetMediaTime(LONGLONG* start, LONGLONG* end) {
  if (!start || !end) return E_POINTER;
  if (!m_bMediaTimeValid) return VFW_E_MEDIA_TIME_NOT_SET;
  *start = m_MediaStart;
  *end = m_MediaEnd;
  return S_OK;
}

STDMETHODIMP CMediaSample::SetMediaTime(LONGLONG* start, LONGLONG* end) {
  if (!start) {
    m_bMediaTimeValid = false;
    return S_OK;
  }
  if (!end) return E_POINTER;
  m_MediaStart = *start;
  m_MediaEnd = *end;
  m_bMediaTimeValid = true;
  return S_OK;
}

STDMETHODIMP CMediaSample::GetProperties(DWORD size, BYTE* properties) {
  if (!properties) return E_POINTER;
  AM_SAMPLE2_PROPERTIES props{};
  props.cbData = static_cast<DWORD>(std::min<size_t>(size, sizeof(props)));
  props.dwTypeSpecificFlags = m_dwTypeSpecificFlags;
  props.dwSampleFlags = m_dwFlags;
  props.lActual = m_lActual;
  props.tStart = m_Start;
  props.tStop = m_End;
  props.dwStreamId = m_dwStreamId;
  props.pMediaType = m_pMediaType;  // the sample's own type: valid while the sample is held
  props.pbBuffer = m_pBuffer;
  props.cbBuffer = m_cbBuffer;
  std::memcpy(properties, &props, props.cbData);
  return S_OK;
}

STDMETHODIMP CMediaSample::SetProperties(DWORD size, const BYTE* properties) {
  if (!properties) return E_POINTER;
  AM_SAMPLE2_PROPERTIES props{};
  GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props));
  const size_t given = std::min<size_t>(size, sizeof(props));
  std::memcpy(&props, properties, given);
  auto covers = [given](size_t offset, size_t bytes) { return given >= offset + bytes; };

  // The buffer itself cannot be exchanged; everything is checked before anything changes.
  if (covers(offsetof(AM_SAMPLE2_PROPERTIES, pbBuffer), sizeof(props.pbBuffer)) && props.pbBuffer != m_pBuffer) {
    return E_INVALIDARG;
  }
  if (covers(offsetof(AM_SAMPLE2_PROPERTIES, cbBuffer), sizeof(props.cbBuffer)) && props.cbBuffer != m_cbBuffer) {
    return E_INVALIDARG;
  }
  if (props.lActual < 0 || props.lActual > m_cbBuffer) return VFW_E_BUFFER_OVERFLOW;
  const bool typeChanged = (props.dwSampleFlags & AM_SAMPLE_TYPECHANGED) != 0;
  if (typeChanged && !props.pMediaType) return E_INVALIDARG;

  AM_MEDIA_TYPE* newType = m_pMediaType;
  if (!typeChanged) {
    newType = nullptr;
  } else if (props.pMediaType != m_pMediaType) {
    newType = CreateMediaType(props.pMediaType);
    if (!newType) return E_OUTOFMEMORY;
  }
  if (newType != m_pMediaType) DeleteMediaType(m_pMediaType);
  m_pMediaType = newType;
  m_dwTypeSpecificFlags = props.dwTypeSpecificFlags;
  m_dwFlags = props.dwSampleFlags;
  m_lActual = props.lActual;
  m_Start = props.tStart;
  m_End = props.tStop;
  m_dwStreamId = props.dwStreamId;
  return S_OK;
}

// --- CBaseAllocator ----------------------------------------------------------------------------

CBaseAllocator::CBaseAllocator(const wchar_t* name, IUnknown* outer, HRESULT* phr)
    : CUnknown(name, outer, phr), m_hSem(CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr)) {
  if (!m_hSem && phr) *phr = HResultFromLastError();
}

CBaseAllocator::~CBaseAllocator() = default;

STDMETHODIMP CBaseAllocator::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IMemAllocator) return GetInterface(static_cast<IMemAllocator*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP CBaseAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
  if (!request || !actual) return E_POINTER;
  if (request->cBuffers < 0 || request->cbBuffer < 0 || request->cbPrefix < 0 || request->cbAlign < 0) {
    return E_INVALIDARG;
  }
  CAutoLock lock(&m_lock);
  if (m_bCommitted) return VFW_E_ALREADY_COMMITTED;
  if (m_bAllocated && m_free.size() != m_samples.size()) return VFW_E_BUFFERS_OUTSTANDING;
  m_lCount = request->cBuffers;
  m_lSize = request->cbBuffer;
  m_lAlignment = request->cbAlign;
  m_lPrefix = request->cbPrefix;
  actual->cBuffers = m_lCount;
  actual->cbBuffer = m_lSize;
  actual->cbAlign = m_lAlignment;
  actual->cbPrefix = m_lPrefix;
  return S_OK;
}

STDMETHODIMP CBaseAllocator::GetProperties(ALLOCATOR_PROPERTIES* actual) {
  if (!actual) return E_POINTER;
  CAutoLock lock(&m_lock);
  actual->cBuffers = m_lCount;
  actual->cbBuffer = m_lSize;
  actual->cbAlign = m_lAlignment;
  actual->cbPrefix = m_lPrefix;
  return S_OK;
}

STDMETHODIMP CBaseAllocator::Commit() {
  CAutoLock lock(&m_lock);
  if (m_bCommitted) return S_OK;
  if (m_lCount <= 0 || m_lSize <= 0) return VFW_E_SIZENOTSET;
  if (!m_bAllocated) {
    const HRESULT hr = GuardHr(E_OUTOFMEMORY, [&] { return Alloc(); });
    if (FAILED(hr)) {
      Free();
      return hr;
    }
    m_free = m_samples;
    m_bAllocated = true;
  }
  m_bCommitted = true;
  return S_OK;
}

STDMETHODIMP CBaseAllocator::Decommit() {
  CAutoLock lock(&m_lock);
  if (!m_bCommitted) return S_OK;
  m_bCommitted = false;
  if (m_lWaiting > 0) {
    ReleaseSemaphore(m_hSem.get(), m_lWaiting, nullptr);
    m_lWaiting = 0;
  }
  FreeIfIdle();  // otherwise the last sample to come home frees the memory
  return S_OK;
}

void CBaseAllocator::FreeIfIdle() {
  if (m_bAllocated && m_free.size() == m_samples.size()) {
    Free();
    m_free.clear();
    m_bAllocated = false;
  }
}

STDMETHODIMP CBaseAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME* start,
                                       REFERENCE_TIME* end, DWORD flags) {
  if (!sample) return E_POINTER;
  *sample = nullptr;
  CMediaSample* taken = nullptr;
  while (!taken) {
    {
      CAutoLock lock(&m_lock);
      if (!m_bCommitted) return VFW_E_NOT_COMMITTED;
      if (!m_free.empty()) {
        taken = m_free.back();
        m_free.pop_back();
        break;
      }
      if (flags & AM_GBF_NOWAIT) return VFW_E_TIMEOUT;
      ++m_lWaiting;
    }
    // Each ReleaseBuffer and Decommit releases one count per registered waiter.
    WaitForSingleObject(m_hSem.get(), INFINITE);
  }
  taken->m_cRef = 1;
  if (start) taken->SetTime(start, end);
  GetOwner()->AddRef();  // held by the sample until it comes home
  *sample = taken;
  return S_OK;
}

STDMETHODIMP CBaseAllocator::ReleaseBuffer(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  {
    CAutoLock lock(&m_lock);
    auto* own = static_cast<CMediaSample*>(sample);
    if (std::find(m_samples.begin(), m_samples.end(), own) == m_samples.end() ||
        std::find(m_free.begin(), m_free.end(), own) != m_free.end()) {
      return E_INVALIDARG;  // not one of ours, or already home
    }
    own->Reset();
    m_free.push_back(own);
    if (m_lWaiting > 0) {
      --m_lWaiting;
      ReleaseSemaphore(m_hSem.get(), 1, nullptr);
    }
    if (!m_bCommitted) FreeIfIdle();
  }
  GetOwner()->Release();  // the sample's hold; may destroy this allocator
  return S_OK;
}

bool CBaseAllocator::IsCommitted() const {
  CAutoLock lock(&m_lock);
  return m_bCommitted;
}

LONG CBaseAllocator::OutstandingCount() const {
  CAutoLock lock(&m_lock);
  return m_bAllocated ? static_cast<LONG>(m_samples.size() - m_free.size()) : 0;
}

// --- CMemAllocator -----------------------------------------------------------------------------

namespace {

// The most one pool may take: its block (buffers, prefix and alignment slack) and the sample
// objects that describe it, counted in 64 bits so that no product wraps on either pointer size.
constexpr unsigned long long kMaxPoolBytes = 0x7FFFFFFFull;

// The block's size in bytes for `count` buffers of `stride` bytes (prefix included), or 0 when
// the pool would pass kMaxPoolBytes.
unsigned long long PoolBlockBytes(LONG count, unsigned long long stride, LONG align, LONG prefix) {
  const unsigned long long buffers = static_cast<unsigned long long>(count);
  const unsigned long long block = stride * buffers + static_cast<unsigned long long>(align > 0 ? align : 1) +
                                   static_cast<unsigned long long>(prefix);
  // A sample object per buffer, listed in the pool and in its free list.
  const unsigned long long books = buffers * (sizeof(CMediaSample) + 2 * sizeof(CMediaSample*));
  return block + books > kMaxPoolBytes ? 0 : block;
}

}  // namespace

CMemAllocator::CMemAllocator(const wchar_t* name, IUnknown* outer, HRESULT* phr)
    : CBaseAllocator(name, outer, phr) {}

CMemAllocator::~CMemAllocator() {
  CAutoLock lock(&m_lock);
  if (m_bAllocated || !m_samples.empty()) Free();
}

CUnknown* CMemAllocator::CreateInstance(IUnknown* outer, HRESULT* phr) {
  return new (std::nothrow) CMemAllocator(L"Memory allocator", outer, phr);
}

STDMETHODIMP CMemAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
  if (!request || !actual) return E_POINTER;
  if (request->cBuffers < 0 || request->cbBuffer < 0 || request->cbPrefix < 0 || request->cbAlign < 0) {
    return E_INVALIDARG;
  }
  ALLOCATOR_PROPERTIES adjusted = *request;
  if (adjusted.cbAlign == 0) adjusted.cbAlign = 1;  // "no alignment" is byte alignment
  if ((adjusted.cbAlign & (adjusted.cbAlign - 1)) != 0) return VFW_E_BADALIGN;
  // Every buffer (after its prefix) starts aligned: round prefix + size up to the alignment.
  const long long stride = static_cast<long long>(adjusted.cbBuffer) + adjusted.cbPrefix;
  const long long rounded = (stride + adjusted.cbAlign - 1) / adjusted.cbAlign * adjusted.cbAlign;
  if (rounded - adjusted.cbPrefix > LONG_MAX) return E_OUTOFMEMORY;
  // A pool that cannot exist is refused now, while the properties are negotiated, and the
  // earlier ones stay.
  if (adjusted.cBuffers > 0 &&
      PoolBlockBytes(adjusted.cBuffers, static_cast<unsigned long long>(rounded), adjusted.cbAlign, adjusted.cbPrefix) == 0)
    return E_OUTOFMEMORY;
  adjusted.cbBuffer = static_cast<LONG>(rounded - adjusted.cbPrefix);
  return CBaseAllocator::SetProperties(&adjusted, actual);
}

HRESULT CMemAllocator::Alloc() {
  const unsigned long long align = static_cast<unsigned long long>(m_lAlignment > 0 ? m_lAlignment : 1);
  const unsigned long long stride = static_cast<unsigned long long>(m_lSize) + m_lPrefix;
  const unsigned long long total = PoolBlockBytes(m_lCount, stride, m_lAlignment, m_lPrefix);
  if (total == 0 || total > static_cast<unsigned long long>(SIZE_MAX / 2)) return E_OUTOFMEMORY;
  m_pMemory = static_cast<BYTE*>(VirtualAlloc(nullptr, static_cast<SIZE_T>(total), MEM_COMMIT | MEM_RESERVE,
                                              PAGE_READWRITE));
  if (!m_pMemory) return E_OUTOFMEMORY;
  const uintptr_t first =
      (reinterpret_cast<uintptr_t>(m_pMemory) + m_lPrefix + align - 1) & ~static_cast<uintptr_t>(align - 1);
  m_samples.reserve(static_cast<size_t>(m_lCount));
  for (LONG i = 0; i < m_lCount; ++i) {
    auto* buffer = reinterpret_cast<BYTE*>(first + static_cast<uintptr_t>(stride * static_cast<unsigned long long>(i)));
    auto* sample = new (std::nothrow) CMediaSample(this, buffer, m_lSize);
    if (!sample) return E_OUTOFMEMORY;  // Commit frees what was made
    m_samples.push_back(sample);
  }
  return S_OK;
}

void CMemAllocator::Free() {
  for (CMediaSample* sample : m_samples) delete sample;
  m_samples.clear();
  m_free.clear();
  if (m_pMemory) VirtualFree(m_pMemory, 0, MEM_RELEASE);
  m_pMemory = nullptr;
}
