#include "filters/deinterlace/sharpness_processor.h"

#include "filters/deinterlace/field_kernels.h"
#include "filters/deinterlace/parameter_table.h"

namespace deinterlace {

float SharpnessGainFromFactor(int factor) noexcept {
  // Divided in double and stored as float: one rounding from the double quotient.
  const volatile double quotient = static_cast<double>(factor) / 50.0;
  return static_cast<float>(quotient);
}

SharpnessProcessor::SharpnessProcessor(ParameterTable* table)
    : table_(table), multiplier_(SharpenMultiplier(gain_)) {
  RegisterParameters();
  if (table_) table_->Load();
  LoadParameters();
  SetWidth(720);
}

void SharpnessProcessor::RegisterParameters() {
  if (!table_) return;
  table_->Register(params::kSharpnessFactor, 0, 100, 25, 1);
  table_->Register(params::kSharpnessCoring, 0, 10, 3, 2);
}

void SharpnessProcessor::LoadParameters() {
  if (!table_) return;
  const int coring = table_->GetByName(params::kSharpnessCoring);
  const int factor = table_->GetByName(params::kSharpnessFactor);
  if (coring >= 0) coring_ = coring;
  if (factor >= 0) {
    gain_ = SharpnessGainFromFactor(factor);
    multiplier_ = SharpenMultiplier(gain_);
  }
}

HRESULT SharpnessProcessor::SetWidth(int width) {
  const int groups = BlockCount16(width);
  if (groups <= groups_) return S_OK;
  LineBlock low, high, luma;
  if (!low.Allocate(kSumSlots, groups) || !high.Allocate(kSumSlots, groups) ||
      !luma.Allocate(kLumaSlots, groups)) {
    return E_OUTOFMEMORY;
  }
  lowBlock_ = std::move(low);
  highBlock_ = std::move(high);
  lumaBlock_ = std::move(luma);
  groups_ = groups;
  for (int i = 0; i < kSumSlots; ++i) {
    sumLow_[i] = reinterpret_cast<std::uint16_t*>(lowBlock_.Line(i));
    sumHigh_[i] = reinterpret_cast<std::uint16_t*>(highBlock_.Line(i));
  }
  for (int i = 0; i < kLumaSlots; ++i) luma_[i] = lumaBlock_.Line(i);
  return S_OK;
}

void SharpnessProcessor::Rotate() noexcept {
  std::uint8_t* oldestLuma = luma_[0];
  for (int i = 0; i < kLumaSlots - 1; ++i) luma_[i] = luma_[i + 1];
  luma_[kLumaSlots - 1] = oldestLuma;
  std::uint16_t* oldestLow = sumLow_[0];
  std::uint16_t* oldestHigh = sumHigh_[0];
  for (int i = 0; i < kSumSlots - 1; ++i) {
    sumLow_[i] = sumLow_[i + 1];
    sumHigh_[i] = sumHigh_[i + 1];
  }
  sumLow_[kSumSlots - 1] = oldestLow;
  sumHigh_[kSumSlots - 1] = oldestHigh;
}

}  // namespace deinterlace
