// The transform-filter base of the deinterlacing filter: media-type negotiation (packed, planar
// and field-planar input; YUY2 or planar 4:2:2 output), the sizes and pitches of every stage,
// and the planar 4:2:2 work frames of the processing chain.
//
// Pitches: a VideoInfo or VideoInfo2 input has its bitmap width as pitch, a field-planar input
// 512 (width 352) or 1024. The processor's input descriptor keeps that pitch for YUY2 input
// when the default output is YUY2, else takes it rounded up to 64 pixels. The output types on
// offer, in order: planar 4:2:2 at the output width rounded up to 64, YUY2 at the width rounded
// up to the kernels' 16-pixel groups (the width itself for 720 and 352: renderers that take no
// row wider than the picture connect), and YUY2 at the 64-pixel pitch when that differs. Each
// type's bitmap width is its row pitch and rcSource = rcTarget the picture; the connected
// output type sets the processor's output pitch.
//
// Planar 4:2:2 (work frames and MEDIASUBTYPE_AuxVideo): luma, height rows of pitch bytes, then
// U and V, height rows of pitch / 2 bytes each; 2 x pitch x height bytes. A new or grown work
// frame is black (luma 0, chroma 128); work frames never shrink.
//
// The checks (CheckInputType, CheckTransform, GetMediaType) answer only: a probe through
// QueryAccept or an enumeration of the offers, stopped or streaming, changes nothing. The
// shapes are taken with the types the pins take (SetMediaType) and in a stream change.
//
// Every input type is checked before anything of it is used: a format block of the size its
// format type needs, positive sizes within kMaxPictureSize, field-planar widths up to 768 (the
// samples a 1024-byte row holds) and field formats only with the field-planar subtype.
//
// A new type on an input sample while streaming: the output type for it is the one the filter
// would offer for that input at the connected output's kind of pitch. The change is taken only
// when the output buffers hold that picture and downstream accepts the type; then the input
// and output pins, the own and processor descriptors and the work frames take it together, and
// the new output type travels downstream on the next output sample. Otherwise nothing changes
// and the sample is refused: no picture is ever processed with the sizes of another type.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filters/base/transform.h"
#include "filters/deinterlace/frame_descriptor.h"
#include "filters/deinterlace/tesk_processor.h"

namespace deinterlace {

constexpr LONG kMaxPictureSize = 2048;   // pixels, both directions
constexpr LONG kMaxFieldPlanarWidth = 768;
constexpr std::size_t kSampleHeaderBytes = 48;

// Where a picture's geometry comes from in a media type.
struct InputGeometry {
  int width = 0;
  int height = 0;
  int pitch = 0;      // pixels
  bool fieldPlanar = false;
};

// Reads and checks the geometry of an input type (the rules of the header comment). False for
// a type that must be refused.
bool ReadInputGeometry(const AM_MEDIA_TYPE& type, InputGeometry* geometry);
// Bytes an input sample of that geometry needs: 48 + 2 x pitch x height for field-planar
// input, 2 x pitch x height for packed input.
std::size_t InputSampleBytes(const InputGeometry& geometry);

// A planar 4:2:2 frame, 32-byte aligned, grow-only, painted black when (re)allocated.
class WorkFrame {
 public:
  WorkFrame() = default;
  ~WorkFrame();
  WorkFrame(const WorkFrame&) = delete;
  WorkFrame& operator=(const WorkFrame&) = delete;

  // Grows to 2 x pitch x height bytes when that is more than now. E_OUTOFMEMORY keeps the old.
  HRESULT Reserve(int pitch, int height);
  std::uint8_t* Data() const { return data_; }
  std::ptrdiff_t Size() const { return size_; }  // -1 until first allocated

 private:
  std::uint8_t* data_ = nullptr;
  std::ptrdiff_t size_ = -1;
};

// Packed YUY2 rows to planar rows (source pitch in pixels, planar pitch in bytes of luma) and
// back. Each row moves whole 32-pixel blocks covering the width.
void SplitPackedToPlanar(const std::uint8_t* source, std::uint8_t* y, std::uint8_t* u, std::uint8_t* v, int width,
                         int rows, int sourcePitch, int planarPitch);
void JoinPlanarToPacked(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* destination,
                        int width, int rows, int planarPitch, int destinationPitch);

class PlanarTransformFilter : public CTransformFilter {
 public:
  // Pins, kind and subtypes of the two sides.
  struct ConversionFormats {
    GUID inputSubtype = MEDIASUBTYPE_YUY2;
    GUID outputSubtype = MEDIASUBTYPE_YUY2;
    int inputKind = 2;     // 1 for IYUV and Tiled420, 2 for every other subtype
    int outputFactor = 2;  // bytes per output pixel
  };

  // `processor`, `processorInput` and `processorOutput` belong to the caller and outlive the
  // filter. The processor's input is set to 720 x 576 pitch 720, its output to pitch 768.
  PlanarTransformFilter(const wchar_t* name, IUnknown* outer, REFCLSID clsid, FrameProcessor* processor,
                        FrameDescriptor* processorInput, FrameDescriptor* processorOutput,
                        const GUID& defaultOutputSubtype, HRESULT* phr);

  // A type change in the middle of the stream (see the header comment): the input type with its
  // geometry and the output type that goes with it.
  struct StreamChange {
    CMediaType input;
    InputGeometry geometry;
    CMediaType output;
    bool outputChanged = false;  // differs from the connected output type
  };

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  // The checks answer only; the types taken here (TakeInputType, TakeOutputType) shape the
  // descriptors, the processor and the work frames.
  HRESULT SetMediaType(PIN_DIRECTION direction, const CMediaType* type) override;
  HRESULT StartStreaming() override;
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;

  const ConversionFormats& Formats() const { return formats_; }
  const FrameDescriptor& OwnDescriptor() const { return own_; }
  const WorkFrame& InputWorkFrame() const { return inputWork_; }
  const WorkFrame& OutputWorkFrame() const { return outputWork_; }

  // Whether streaming can go on with `input`, output buffers of `bufferBytes` bytes and the
  // connected downstream pin; fills `change`, changes nothing. VFW_E_TYPE_NOT_ACCEPTED for an
  // input or output type that is not taken, VFW_E_BUFFER_OVERFLOW when the picture does not fit.
  HRESULT PlanStreamChange(const CMediaType& input, long bufferBytes, StreamChange* change);
  // Takes a planned change: both pins' types, the descriptors, the processor and the work frames.
  HRESULT CommitStreamChange(const StreamChange& change);
  // The usable bytes of the output allocator's buffers; 0 without one.
  long OutputBufferBytes();

 protected:
  // The input check without side effects: S_OK with the geometry, or the refusal.
  virtual HRESULT AcceptInputType(const CMediaType& in, InputGeometry* geometry);
  // The output type offered at `position` for `input`, with its picture size and row pitch;
  // nothing of the filter changes. VFW_S_NO_MORE_ITEMS past the last position.
  HRESULT BuildOutputType(const CMediaType& input, int position, CMediaType* type, InputGeometry* geometry,
                          int* outWidth, int* outHeight, int* outPitch);
  // The output type a mid-stream input type gives (default: the base offer of the connected
  // output's kind).
  virtual HRESULT StreamOutputType(const CMediaType& input, CMediaType* output);
  // The base offer position of the connected output type's kind for a picture `width` wide.
  int ConnectedOutputPosition(int width);

  // The processor's input descriptor := (width, height, pitch) and SetInputFormat.
  void SetProcessorInput(int width, int height, int pitch);
  void SetProcessorOutput(int width, int height, int pitch);
  // The pitch the processor works with for an input pitch.
  int ProcessorPitch(int pitch) const;
  void OutputSize(int width, int height, int* outWidth, int* outHeight);
  HRESULT ReallocateWorkFrames();
  // The row pitch of the output type offered at `position` for a picture `width` wide; 0 past
  // the last.
  static int OfferedPitch(int position, int width);
  // The input type's shape goes to the own and processor input descriptors and the work frames.
  HRESULT TakeInputType(const AM_MEDIA_TYPE& type);
  // The processor's output takes a type's shape: rows of biWidth pixels, the picture as wide as
  // its target rectangle (the bitmap width when empty).
  HRESULT TakeOutputType(const AM_MEDIA_TYPE& type);

  FrameProcessor* const processor_;
  FrameDescriptor* const processorInput_;
  FrameDescriptor* const processorOutput_;
  ConversionFormats formats_;
  FrameDescriptor own_;  // the input's own shape
  GUID defaultOutputSubtype_;
  WorkFrame inputWork_;
  WorkFrame outputWork_;
  GUID outputSubtype_ = MEDIASUBTYPE_YUY2;  // of the connected output type
};

}  // namespace deinterlace
