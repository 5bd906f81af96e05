// The deinterlacing filter: interlaced YUY2 or field-planar frames in, progressive YUY2 out at
// twice the rate (one output built around each field, in time order, one field late), each
// output carrying half of its input's time span. Late outputs can be dropped, a single field
// processed, progressive material passed through a cheap mode (the DVD bypass), and the field
// order taken from the media type or forced. The picture work is the Tesk processor's; the menu
// background drawer darkens rectangles of packed input and blacks out or captures frames.
//
// Locks, outermost first: the state lock (m_csFilter), the streaming lock (m_csReceive),
// settingsLock_ (mode, bypass, "Qfa First Field"), then the processor's and the drawer's own
// locks, which never nest with each other. typeLock_ keeps the input pin's check of a type
// while streaming (which may come from another thread) apart from a change of the stream's
// types; it comes after the streaming lock and before settingsLock_, and downstream's
// QueryAccept is the only call out of the filter made under it. The forced field order and the table values are
// single words read without a lock.
//
// Type checks (QueryAccept on either pin) answer only; the field order and the DVD bypass follow
// the types taken: at the first output connection, then whenever a pin takes a type.
//
// A new type on an input sample is taken in Receive, before either output of that sample is
// made (the planar base's stream change: both pins, the descriptors, the processor), or the
// sample is refused with nothing changed. The output type that goes with it is attached to the
// next output sample delivered.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "filters/base/property_page.h"
#include "filters/deinterlace/menu_background_drawer.h"
#include "filters/deinterlace/parameter_table.h"
#include "filters/deinterlace/planar_transform_filter.h"
#include "filters/deinterlace/tesk_processor.h"
#include "filters/include/filter_interfaces.h"

namespace deinterlace {

// {B03C30D4-2DDB-44EC-9275-ACD280029252} "Zarn (Qfa) Tesk", and the same filter for RV30/RV35.
inline constexpr CLSID CLSID_QfaTesk = {0xb03c30d4, 0x2ddb, 0x44ec, {0x92, 0x75, 0xac, 0xd2, 0x80, 0x02, 0x92, 0x52}};
inline constexpr CLSID CLSID_QfaTeskRv30 = {0xb59a5c61, 0x1218, 0x471e, {0x9f, 0xe1, 0x06, 0xa2, 0xf1, 0xeb, 0x0b, 0x3b}};
inline constexpr CLSID CLSID_QfaTeskRv35 = {0xcf9e8e1b, 0x0240, 0x47c4, {0xa9, 0x62, 0xed, 0x38, 0x55, 0x81, 0x74, 0x78}};

// The property pages the filter lists.
inline constexpr CLSID CLSID_TeskModePage = {0xe8290676, 0xe806, 0x4e0e, {0xa6, 0x4c, 0x54, 0x1e, 0x7a, 0xca, 0x8e, 0xf2}};
inline constexpr CLSID CLSID_TeskMmxModePage = {0x5621aa76, 0x9606, 0x4f45, {0x9f, 0x1c, 0x90, 0x1e, 0x4d, 0xe0, 0xc6, 0x93}};
inline constexpr CLSID CLSID_TeskContrastPage = {0x3c8a9c93, 0x16b6, 0x4273, {0xb1, 0xbf, 0xf9, 0x06, 0x99, 0xf7, 0x84, 0x44}};
inline constexpr CLSID CLSID_TeskSharpnessPage = {0x8fed28f0, 0x5947, 0x4115, {0xb9, 0x26, 0x40, 0xc1, 0x35, 0xfa, 0x22, 0xe7}};
inline constexpr CLSID CLSID_TeskMenuBackPage = {0xe0bbd7d6, 0x4d45, 0x486b, {0xae, 0xed, 0xb3, 0xba, 0x71, 0xb5, 0x6f, 0xc}};
inline constexpr CLSID CLSID_TeskFieldOrderPage = {0xbe994107, 0xe9ab, 0x4ad0, {0x88, 0x14, 0x2c, 0x49, 0xf1, 0xd5, 0x33, 0xca}};

// What the factory makes before the filter: the table, the two descriptors and the processor.
struct TeskParts {
  explicit TeskParts(std::uint32_t mask);
  ParameterTable table;
  FrameDescriptor input;
  FrameDescriptor output;
  TeskProcessor processor;
};

class TeskFilter final : public PlanarTransformFilter,
                         public ITeskSettings,
                         public ISpecifyPropertyPages,
                         public ProcessorOwner {
 public:
  // E_ACCESSDENIED when the processor cannot be made, E_OUTOFMEMORY when the filter cannot.
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // ITeskSettings (GetPages serves ISpecifyPropertyPages too: the same list)
  STDMETHODIMP GetParameterTable(ParameterTableLayout** table) override;
  STDMETHODIMP ApplyParameters() override;
  STDMETHODIMP GetProcessor(GUID requester, void** processor) override;
  STDMETHODIMP LoadParameters() override;
  STDMETHODIMP GetPages(CAUUID* pages) override;

  // ITeskControl and IPlanarFieldOrder (on sub-objects: their field-order methods clash)
  HRESULT TeskControl_GetDeinterlaceMode(LONG* mode);
  HRESULT TeskControl_SetDeinterlaceMode(LONG mode);
  HRESULT TeskControl_GetFieldOrder(LONG* order);
  HRESULT TeskControl_SetFieldOrder(LONG order);
  HRESULT PlanarFieldOrder_SetFieldOrder(LONG order);
  HRESULT PlanarFieldOrder_GetFieldOrder(LONG* order);

  // ProcessorOwner
  ParameterTable* OwnerParameterTable() override { return &parts_->table; }
  bool OwnerInputLayout(bool* planar) override;

  // The transform filter's steps
  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT SetMediaType(PIN_DIRECTION direction, const CMediaType* type) override;
  HRESULT CompleteConnect(PIN_DIRECTION direction, IPin* pin) override;
  HRESULT BreakConnect(PIN_DIRECTION direction) override;
  HRESULT StopStreaming() override;
  HRESULT EndFlush() override;
  HRESULT Receive(IMediaSample* sample) override;
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;

  bool MmxPath() const { return mmxPath_; }
  MenuBackgroundDrawer& Drawer() { return drawer_; }
  TeskProcessor& Processor() { return parts_->processor; }
  ParameterTable& Table() { return parts_->table; }
  bool BottomFirst() const { return bottomFirst_; }

 protected:
  CTransformInputPin* CreateInputPin(HRESULT* phr) override;
  HRESULT AcceptInputType(const CMediaType& in, InputGeometry* geometry) override;
  // A VideoInfo2 input: a copy of it, progressive, at the output rate; any other: the base's
  // offer with the output rate.
  HRESULT StreamOutputType(const CMediaType& input, CMediaType* output) override;

 private:
  template <class Interface>
  class Part;
  class ControlPart;
  class FieldOrderPart;
  class InputPin;

  TeskFilter(IUnknown* outer, std::unique_ptr<TeskParts> parts, HRESULT* phr);
  ~TeskFilter() override;

  int Param(const char* name) { return parts_->table.GetByName(name); }
  // Field order from a type (rules 1-2); false when the type says nothing.
  static bool DetectBottomFirst(const AM_MEDIA_TYPE& type, bool* bottomFirst);
  void InitialFieldOrder(const AM_MEDIA_TYPE& type);
  void ApplyDvdBypass(const AM_MEDIA_TYPE& type);
  // Field-order rules 1-2 and the bypass rule for a taken input type.
  void TypeRules(const AM_MEDIA_TYPE& input);
  // The output rate and flags of an offered type.
  static void AdjustOutputType(CMediaType* type, bool halve);
  // Whether the stream can go on with a new input type (the input pin's check while streaming).
  HRESULT CheckStreamType(const CMediaType& type);
  // Takes a new input type in the middle of the stream, or refuses it with nothing changed.
  HRESULT TakeStreamType(const CMediaType& type, long bufferBytes);
  HRESULT TransformPicture(IMediaSample* in, IMediaSample* out);
  // Holds the sample in the history of three and pushes its buffer into the input descriptor.
  void PutHistory(IMediaSample* sample, BYTE* buffer);
  void ClearHistory();
  // Lateness test of an output with "Qfa Frame Drop" on: true to deliver.
  bool InTime(REFERENCE_TIME allowance, const char* which);
  // The MMX path or an active bypass: one output per input.
  bool OneOutputPerInput();
  // Whether the bypass is on once `input` is taken.
  bool BypassFor(const AM_MEDIA_TYPE& input);
  // Whether the output of `input` runs at twice its frame rate.
  bool HalvesFrameTimeFor(const AM_MEDIA_TYPE& input);
  HRESULT DeliverOne();

  std::unique_ptr<TeskParts> parts_;
  MenuBackgroundDrawer drawer_;
  std::unique_ptr<ControlPart> controlPart_;
  std::unique_ptr<FieldOrderPart> fieldOrderPart_;
  CCritSec settingsLock_;
  CCritSec typeLock_;

  bool mmxPath_ = false;
  std::atomic<LONG> forcedOrder_{2};
  std::atomic<bool> debug_{false};
  bool bypassActive_ = false;  // settingsLock_
  bool modeSaved_ = false;
  int savedMode_ = 0;

  // Streaming thread (under m_csReceive), and the connection calls.
  bool historyExists_ = false;
  IMediaSample* history_[3] = {};
  int historyIndex_ = 0;
  bool primed_ = false;
  std::atomic<bool> bottomFirst_{false};
  bool detectedBottomFirst_ = false;
  bool keepTop_ = false;
  bool firstOutput_ = true;
  std::atomic<bool> inputPlanar_{false};
  std::atomic<bool> inputConnected_{false};
  IMediaSample* current_ = nullptr;  // the input sample of the outputs being made
  std::optional<CMediaType> pendingOutput_;  // taken, not yet sent downstream
};

}  // namespace deinterlace
