#include "filters/deinterlace/tesk_processor.h"

#include <algorithm>

#include "filters/convert/planar_kernels.h"
#include "filters/deinterlace/cpu_features.h"
#include "filters/deinterlace/field_driver.h"
#include "filters/deinterlace/frame_deinterlacer_mmx.h"
#include "filters/deinterlace/parameter_table.h"
#include "filters/include/field_video.h"

namespace deinterlace {

namespace {

class FieldLock {
 public:
  explicit FieldLock(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
  ~FieldLock() { LeaveCriticalSection(section_); }
  FieldLock(const FieldLock&) = delete;
  FieldLock& operator=(const FieldLock&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

bool IsOn(ParameterTable& table, const char* name) { return table.GetByName(name) > 0; }

}  // namespace

HRESULT ProcessorBase::GetScore(std::int32_t* score) const {
  if (!score) return E_POINTER;
  ProcessorScore(mask_, score);
  return S_OK;
}

TeskProcessor::TeskProcessor(ParameterTable* table, FrameDescriptor* input, FrameDescriptor* output,
                             std::uint32_t mask, const KernelTable* kernels)
    : ProcessorBase("Tesk Processor", CLSID_TeskProcessor, mask),
      table_(table),
      wholeFrame_(WholeFrameMethods(mask)),
      kernels_(kernels ? *kernels : BuildKernelTable(mask)),
      input_(input),
      output_(output),
      contrast_(table),
      sharpness_(table) {
  InitializeCriticalSection(&fieldLock_);
}

TeskProcessor::~TeskProcessor() { DeleteCriticalSection(&fieldLock_); }

HRESULT TeskProcessor::LoadParameters() {
  if (table_) {
    table_->Register(params::kContrast, 0, 1, 1, 2);
    table_->Register(params::kSharpness, 0, 1, 1, 2);
    table_->Register(params::kFirstField, 0, 1, 1, 2);
    table_->Load();
  }
  return ApplyParameters();
}

HRESULT TeskProcessor::SetFormat(int width, int, int) {
  if (width <= 0) return E_INVALIDARG;
  int current = requestedWidth_.load(std::memory_order_relaxed);
  while (width > current && !requestedWidth_.compare_exchange_weak(current, width, std::memory_order_relaxed)) {
  }
  return S_OK;
}

HRESULT TeskProcessor::ApplyParameters() {
  FieldLock lock(&fieldLock_);
  contrast_.ReadBorders();
  contrast_.LoadParameters();
  sharpness_.LoadParameters();
  return S_OK;
}

HRESULT TeskProcessor::GetOutputSize(int width, int height, int* outWidth, int* outHeight) {
  if (!outWidth || !outHeight) return E_POINTER;
  *outWidth = width;
  *outHeight = height;
  return S_OK;
}

HRESULT TeskProcessor::GrowBuffers(int width) {
  const int needed = std::max(width, requestedWidth_.load(std::memory_order_relaxed));
  HRESULT hr = sharpness_.SetWidth(needed);
  if (SUCCEEDED(hr)) hr = chromaRing_.Reserve(needed);
  if (SUCCEEDED(hr)) hr = planarLines_.Reserve(needed);
  return hr;
}

HRESULT TeskProcessor::ProcessField(int field) {
  FieldLock lock(&fieldLock_);
  ProcessorOwner* owner = GetOwner();
  ParameterTable* table = owner ? owner->OwnerParameterTable() : nullptr;
  bool planar = false;
  if (!table || !owner->OwnerInputLayout(&planar) || !input_ || !output_) return S_FALSE;
  if (!input_->GetPlane(0) || !input_->GetPlane(1) || !input_->GetPlane(2) || !output_->GetPlane(1)) {
    return E_POINTER;
  }

  const int mode = table->GetByName(params::kDeintermode);
  const bool contrast = IsOn(*table, params::kContrast);
  const FieldKernels choice = SelectFieldKernels(kernels_, mode, contrast, IsOn(*table, params::kSharpness));
  if (choice.work.type == FieldWork::WholeFrame) return RunWholeFrame(*table, choice.work.index, planar);

  HRESULT hr = GrowBuffers(input_->GetWidth());
  if (FAILED(hr)) return hr;
  hr = RunKernels(*table, choice, planar, field == 2 ? 1 : 0);
  if (FAILED(hr)) return hr;
  if (contrast) contrast_.UpdateCurve();
  return S_OK;
}

HRESULT TeskProcessor::RunWholeFrame(ParameterTable& table, int kind, bool planar) {
  const std::uint8_t* source = input_->GetPlane(1);
  int sourcePitch = input_->GetPitch();
  const int rows = std::min(input_->GetHeight(), output_->GetHeight());
  if (rows <= 0 || sourcePitch <= 0 || output_->GetPitch() <= 0) return S_OK;
  if (planar) {
    // The methods read packed pictures: weave the two stored fields first.
    const int width = input_->GetWidth();
    const int samples = convert::PlanarRowSamples(width);
    sourcePitch = 16 * BlockCount16(std::max(width, samples));
    const std::size_t bytes = 2 * static_cast<std::size_t>(sourcePitch) * static_cast<std::size_t>(input_->GetHeight());
    if (woven_.size() < bytes) {
      try {
        woven_.resize(bytes);
      } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
      }
    }
    convert::WeaveJob job;
    job.planes = source + field_video::kHeaderSize;
    job.frameWidth = width;
    job.frameHeight = input_->GetHeight();
    job.firstStoredIsTop = table.GetByName(params::kFirstField) != 0;
    job.output = woven_.data();
    job.outputPitch = 2 * static_cast<std::ptrdiff_t>(sourcePitch);
    convert::WeaveFields(job, convert::SelectedPackRow());
    source = woven_.data();
  }
  wholeFrame_.Run(kind, source, output_->GetPlane(1), output_->GetPitch(), rows, sourcePitch);
  return S_OK;
}

HRESULT TeskProcessor::RunKernels(ParameterTable& table, const FieldKernels& choice, bool planar, int fieldFlag) {
  KernelContext context;
  context.contrast = &contrast_;
  context.sharpness = &sharpness_;
  context.chromaRing = &chromaRing_;
  context.planarLines = &planarLines_;
  const OutputFrame out{output_->GetPlane(1), output_->GetPitch(), std::min(input_->GetHeight(), output_->GetHeight())};
  const int width = input_->GetWidth();
  const int pitch = input_->GetPitch();
  if (!planar) {
    const PackedFieldFrames in{input_->GetPlane(0), input_->GetPlane(1), input_->GetPlane(2), pitch, width};
    return RunPackedFieldKernel(choice.kind, choice.kernels.packed, context, in, out, fieldFlag);
  }

  // Field-planar: "Qfa First Field" 1 makes the field stored first the top field, which field
  // flag 1 keeps.
  const std::size_t plane = static_cast<std::size_t>(pitch) * static_cast<std::size_t>(input_->GetHeight());
  const std::size_t header = field_video::kHeaderSize;
  const auto planes = [&](int slot, int stored) {
    const std::uint8_t* base = input_->GetPlane(slot) + header;
    const std::size_t s = static_cast<std::size_t>(stored);
    return PlanarFieldPlanes{base + s * plane / 2, base + plane + s * plane / 4, base + plane / 2 * 3 + s * plane / 4};
  };
  const bool firstIsTop = table.GetByName(params::kFirstField) != 0;
  const int keptStored = (fieldFlag == 1) == firstIsTop ? 0 : 1;
  const PlanarFieldFrames in{planes(1, keptStored), planes(0, 1 - keptStored), planes(2, 1 - keptStored), pitch,
                             pitch / 2, input_->GetHeight() / 2, width};
  return RunPlanarFieldKernel(choice.kind, choice.kernels.planar, context, in, out, fieldFlag);
}

}  // namespace deinterlace
