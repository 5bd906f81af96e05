// The live audio pacer: an in-place filter for PCM audio that leaves the data alone and rewrites
// each sample's time stamps from the audio counted since Stop (or from the hardware's own
// stamps), plus the configured delay. Its reference clock follows the audio: after every sample
// the clock is re-anchored to the stream position of that sample, so a graph that uses this
// clock runs at the pace of the audio capture.
#pragma once

#include <memory>

#include "filters/base/transinplace.h"
#include "filters/pacers/audio_ref_clock.h"
#include "filters/pacers/pacer_settings.h"
#include "filters/pacers/property_page_list.h"

class AudioPacer : public CTransInPlaceFilter {
 public:
  // Factory entry "Zarn Live Audio Sync Filter".
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);

  AudioPacer(IUnknown* outer, HRESULT* phr);
  ~AudioPacer() override;

  // IReferenceClock (the clock), IPacerSettings, ISpecifyPropertyPages, then the filter's own.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // Counting starts again from 0 after Stop; the clock's offset and anchor stay.
  STDMETHODIMP Stop() override;

  // PCM audio only (the format type is looked at per sample).
  HRESULT CheckInputType(const CMediaType* in) override;
  // Rewrites the times (see the class comment); S_OK delivers, a failure keeps the sample.
  HRESULT Transform(IMediaSample* sample) override;

  AudioRefClock* Clock() const { return clock_.get(); }
  bool CorrectTimestamp() const { return correctTimestamp_; }

 private:
  // nAvgBytesPerSec of the upstream connection: E_UNEXPECTED without a usable WAVEFORMATEX
  // (another format type, a block too short to hold the field, or a rate of 0).
  HRESULT UpstreamByteRate(DWORD* rate);
  bool HasClock();

  std::unique_ptr<AudioRefClock> clock_;
  std::unique_ptr<PacerSettings> settings_;
  std::unique_ptr<PropertyPageList> pages_;

  // Streaming state (the streaming thread; Stop resets it under the streaming lock).
  LONGLONG byteCount_ = 0;        // payload bytes counted since Stop
  unsigned skipCount_ = 0;        // samples in a row that left the clock running ahead
  LONGLONG clockOffset_ = 0;      // clock private time minus stream start, at the last discontinuity
  LONGLONG discontinuityBase_ = 0;  // start time carried by the last discontinuity
  bool firstSample_ = true;
  LONGLONG previousStop_ = 0;
  bool correctTimestamp_ = false;  // "APC Correct Timestamp", read once
};
