// The processor framework and the filter's one processor, the Tesk processor.
//
// Every output frame of the filter is one call of TeskProcessor::ProcessField: it reads the
// three latest input pictures from the input descriptor (slot 0 previous, 1 current, 2 next),
// picks the work for "Qfa Deintermode", "Qfa Contrast" and "Qfa Sharpness" and writes the
// output descriptor's slot 1. Modes 0..6 run the field kernels row pair by row pair (the walk of
// field_driver.h); modes 7..9 run a whole-frame method on the current picture.
//
// Threads: ProcessField runs on the streaming thread. SetFormat, SetInputFormat and
// ApplyParameters may come from any thread (a format check, a property page, a device manager):
// a format change only records the width the buffers must hold, and the buffers grow on the
// streaming thread right before a field is processed, so no buffer a kernel uses is ever freed
// under it. fieldLock_ keeps ApplyParameters out of a field in progress; it is the innermost
// lock of the module (nothing else is taken while it is held).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "filters/deinterlace/contrast_processor.h"
#include "filters/deinterlace/frame_deinterlacer.h"
#include "filters/deinterlace/frame_descriptor.h"
#include "filters/deinterlace/kernel_dispatch.h"
#include "filters/deinterlace/line_buffers.h"
#include "filters/deinterlace/sharpness_processor.h"

namespace deinterlace {

class ParameterTable;

// {A1A8C38A-66F6-4695-A461-BBBF9BE001A4}
inline constexpr CLSID CLSID_TeskProcessor = {0xa1a8c38a, 0x66f6, 0x4695, {0xa4, 0x61, 0xbb, 0xbf, 0x9b, 0xe0, 0x01, 0xa4}};

// What a processor asks of the filter that owns it.
class ProcessorOwner {
 public:
  virtual ParameterTable* OwnerParameterTable() = 0;
  // False while no input type is set; otherwise whether the input is field-planar.
  virtual bool OwnerInputLayout(bool* planar) = 0;

 protected:
  ~ProcessorOwner() = default;
};

// The processor's interface for the transform base and the property pages.
class FrameProcessor {
 public:
  // Records the width the line buffers must hold (see the header comment).
  virtual HRESULT SetInputFormat(int width, int height, int pitch) = 0;
  virtual HRESULT SetOutputFormat(int width, int height, int pitch) = 0;
  // The processors take the table's current values.
  virtual HRESULT UpdateParameters() = 0;
  // One output frame: `field` 2 keeps the top field, anything else the bottom one.
  virtual HRESULT Process(int field) = 0;
  // The output size for an input size: the same.
  virtual HRESULT GetOutputSize(int width, int height, int* outWidth, int* outHeight) = 0;
  // The table the processor reads (the filter's), null before it is attached.
  virtual ParameterTable* GetParameterTable() = 0;

 protected:
  ~FrameProcessor() = default;
};

// What every processor of the module shares: a name, a class identifier and an owner.
class ProcessorBase {
 public:
  ProcessorBase(const char* name, const CLSID& clsid, std::uint32_t mask) : name_(name), clsid_(clsid), mask_(mask) {}
  virtual ~ProcessorBase() = default;
  ProcessorBase(const ProcessorBase&) = delete;
  ProcessorBase& operator=(const ProcessorBase&) = delete;

  // 40 with SSE2, 35 with SSE integer instructions, 30 with MMX (nothing written otherwise).
  HRESULT GetScore(std::int32_t* score) const;

  const char* Name() const { return name_; }
  const CLSID& Clsid() const { return clsid_; }
  std::uint32_t Mask() const { return mask_; }
  ProcessorOwner* GetOwner() const { return owner_.load(std::memory_order_acquire); }
  void Attach(ProcessorOwner* owner) { owner_.store(owner, std::memory_order_release); }

 private:
  const char* name_;
  CLSID clsid_;
  std::uint32_t mask_;
  std::atomic<ProcessorOwner*> owner_{nullptr};
};

class TeskProcessor final : public ProcessorBase, public FrameProcessor {
 public:
  // `input` and `output` are the filter's descriptors; `table` the filter's parameter table
  // (may be null: defaults only). The kernels come from `mask` unless `kernels` is given (tests
  // run the same processor on the reference). Nothing is owned but the processors and buffers.
  TeskProcessor(ParameterTable* table, FrameDescriptor* input, FrameDescriptor* output, std::uint32_t mask,
                const KernelTable* kernels = nullptr);
  ~TeskProcessor() override;

  // Registers "Qfa Contrast", "Qfa Sharpness" and "Qfa First Field" (0..1, default 1), loads
  // the table from the registry and applies it.
  HRESULT LoadParameters();
  // Records the width the buffers must hold; height and pitch are not used.
  HRESULT SetFormat(int width, int height, int pitch);
  // Borders and contrast factor, sharpness gain and coring, from the table.
  HRESULT ApplyParameters();
  // One output frame (see the header comment). S_FALSE without work when there is no owner,
  // no table or no input type; E_POINTER when a picture is missing; E_OUTOFMEMORY when the
  // buffers cannot grow to the width.
  HRESULT ProcessField(int field);

  // FrameProcessor
  HRESULT SetInputFormat(int width, int height, int pitch) override { return SetFormat(width, height, pitch); }
  HRESULT SetOutputFormat(int, int, int) override { return S_OK; }
  HRESULT UpdateParameters() override { return ApplyParameters(); }
  HRESULT Process(int field) override { return ProcessField(field); }
  HRESULT GetOutputSize(int width, int height, int* outWidth, int* outHeight) override;
  ParameterTable* GetParameterTable() override { return table_; }

  // The whole-frame methods of modes 7..9 (MMX versions when the mask has MMX).
  FrameDeinterlacer& WholeFrame() { return wholeFrame_; }
  ContrastProcessor& Contrast() { return contrast_; }
  SharpnessProcessor& Sharpness() { return sharpness_; }
  const KernelTable& Kernels() const { return kernels_; }

 private:
  HRESULT GrowBuffers(int width);
  HRESULT RunWholeFrame(ParameterTable& table, int kind, bool planar);
  HRESULT RunKernels(ParameterTable& table, const FieldKernels& choice, bool planar, int fieldFlag);

  ParameterTable* const table_;
  FrameDeinterlacer& wholeFrame_;
  const KernelTable kernels_;
  FrameDescriptor* const input_;
  FrameDescriptor* const output_;
  ContrastProcessor contrast_;
  SharpnessProcessor sharpness_;
  ChromaLineRing chromaRing_;
  PlanarLineSet planarLines_;
  std::vector<std::uint8_t> woven_;  // modes 7..9 on field-planar input: the woven picture
  std::atomic<int> requestedWidth_{720};
  CRITICAL_SECTION fieldLock_;
};

}  // namespace deinterlace
