// The in-place transform filter: samples pass through, changed (or only looked at) where they
// are. Input and output carry the same media type, and the upstream allocator is handed on
// downstream so that one allocator serves both connections.
//
// A sample is copied into a buffer of the output's allocator only when it has to be: the two
// connections ended up with different allocators (downstream insisted on its own), or the
// upstream allocator is read-only and this filter modifies data (m_bModifiesData). The copy
// carries the data up to the actual length and every property of the sample, its attached media
// type included.
//
// Transform(sample) results are those of the transform filter: S_OK delivers, S_FALSE skips (one
// EC_QUALITY_CHANGE per run, Receive still answers S_OK), a failure is returned.
#pragma once

#include "filters/base/transform.h"

class CTransInPlaceFilter;

class CTransInPlaceInputPin : public CTransformInputPin {
 public:
  CTransInPlaceInputPin(const wchar_t* objectName, CTransInPlaceFilter* filter, HRESULT* phr,
                        const wchar_t* pinName);

  // IMemInputPin: the downstream allocator while the output is connected, else our own.
  STDMETHODIMP GetAllocator(IMemAllocator** allocator) override;
  // Accepts upstream's allocator and hands it on downstream, or gives the output an allocator of
  // its own when the data must be copied.
  STDMETHODIMP NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
  // Downstream's requirements while the output is connected.
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
  // IPin: downstream's types while the output is connected.
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override;

  // The filter's CheckInputType, and downstream's acceptance while the output is connected.
  HRESULT CheckMediaType(const CMediaType* type) override;

 protected:
  CTransInPlaceFilter* const m_pTIPFilter;  // owns us
};

class CTransInPlaceOutputPin : public CTransformOutputPin {
 public:
  CTransInPlaceOutputPin(const wchar_t* objectName, CTransInPlaceFilter* filter, HRESULT* phr,
                         const wchar_t* pinName);

  // IPin: upstream's types (the input must be connected).
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override;
  // The filter's CheckInputType, and upstream's acceptance. While running with a copy, only the
  // current type.
  HRESULT CheckMediaType(const CMediaType* type) override;
  // Offers downstream the upstream allocator first; otherwise (downstream refuses it, or the
  // data must be copied) an allocator of the output's own choice.
  HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) override;

  // Replaces the output's allocator (the input side found one for it).
  void SetAllocator(IMemAllocator* allocator);

 protected:
  CTransInPlaceFilter* const m_pTIPFilter;  // owns us
};

class CTransInPlaceFilter : public CTransformFilter {
 public:
  CTransInPlaceFilter(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid, HRESULT* phr = nullptr,
                      bool modifiesData = true);

  // --- What a derived class provides -------------------------------------------------------------
  // Works on the sample in place: S_OK delivers it, S_FALSE keeps it back.
  virtual HRESULT Transform(IMediaSample* sample) = 0;
  // CheckInputType stays to be given; the output type is the input type.
  HRESULT CheckTransform(const CMediaType*, const CMediaType*) override { return S_OK; }

  HRESULT Receive(IMediaSample* sample) override;

  // The connections use different allocators (every sample is copied).
  bool UsingDifferentAllocators() const;
  bool ModifiesData() const { return m_bModifiesData; }

  CTransInPlaceInputPin* InPlaceInput() { return static_cast<CTransInPlaceInputPin*>(m_pInput); }
  CTransInPlaceOutputPin* InPlaceOutput() { return static_cast<CTransInPlaceOutputPin*>(m_pOutput); }

 protected:
  // "Input" and "Output" unless overridden.
  CTransformInputPin* CreateInputPin(HRESULT* phr) override;
  CTransformOutputPin* CreateOutputPin(HRESULT* phr) override;

  // The output type must be the input type: a connection made with another type makes the
  // other side connect again with it.
  HRESULT CompleteConnect(PIN_DIRECTION direction, IPin* receivePin) override;

  // Neither is used by an in-place filter: types pass through and the buffers are upstream's.
  HRESULT GetMediaType(int, CMediaType*) override { return E_UNEXPECTED; }
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

  // A buffer of the output's allocator holding a copy of `source` (data and properties).
  HRESULT Copy(IMediaSample* source, IMediaSample** copy);

  const bool m_bModifiesData;

 private:
  using CTransformFilter::Transform;
  HRESULT ReconnectPin(IPin* pin, const AM_MEDIA_TYPE* type);
};
