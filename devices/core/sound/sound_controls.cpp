#include "devices/core/sound/sound_controls.h"

template <class F>
HRESULT SoundControls::Forward(bool outsGiven, F&& call) {
  if (!outsGiven && rules_.outs == NullOutCheck::First) return E_INVALIDARG;
  if (rules_.soundFirst && !sound_) return rules_.noSound;
  if (!graph_.IsReady()) return rules_.notBuilt;
  if (!sound_) return rules_.noSound;
  if (!outsGiven && rules_.outs == NullOutCheck::Inside) return E_INVALIDARG;
  const HRESULT hr = call(*sound_);
  return FAILED(hr) ? hr : S_OK;
}

HRESULT SoundControls::SetVolume(LONG volume) {
  return Forward(true, [&](FilterHolder& s) { return s.SetVolume(volume); });
}
HRESULT SoundControls::GetVolume(LONG* volume) {
  return Forward(volume != nullptr, [&](FilterHolder& s) { return s.GetVolume(volume); });
}
HRESULT SoundControls::SetBalance(LONG balance) {
  return Forward(true, [&](FilterHolder& s) { return s.SetBalance(balance); });
}
HRESULT SoundControls::GetBalance(LONG* balance) {
  return Forward(balance != nullptr, [&](FilterHolder& s) { return s.GetBalance(balance); });
}
HRESULT SoundControls::SetMix(ULONG left, ULONG right) {
  return Forward(true, [&](FilterHolder& s) { return s.SetMix(left, right); });
}
HRESULT SoundControls::GetMix(ULONG* left, ULONG* right) {
  return Forward(left && right, [&](FilterHolder& s) { return s.GetMix(left, right); });
}
