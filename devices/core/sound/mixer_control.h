// The sound path over the sound card's mixer: MixerControl sets the volume and balance on the
// volume control of one source line of the card's speaker output (the line the TV audio comes
// in on), through the waveform mixer functions; NullAudioRenderer adds the sound card's capture
// filter feeding a null renderer, for cards whose TV audio reaches the sound card over a cable.
//
// The mixer value of full volume is "Max Volume" (32767 unless the registry says otherwise). The
// conversions between a volume in hundredths of a decibel and a mixer value are the pure
// functions of mixer_math.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include "common/errors.h"
#include "devices/core/sound/sound_path.h"

namespace mixer_math {

inline constexpr double kFloor = 1e-10;      // the level -10000 stands for
inline constexpr DWORD kFullScale = 32767;  // "Max Volume" when none (or no sound one) is stored

struct Channels {
  DWORD left;
  DWORD right;
};

// The mixer value of `volume` (-10000..0) for a full scale of `maximum`: truncated, 0..maximum.
DWORD MixerFromVolume(LONG volume, DWORD maximum);
// The volume (-10000..0) of mixer value `value` (clamped to 0..maximum) for a full scale of
// `maximum`; -10000 for a full scale of 0.
LONG VolumeFromMixer(DWORD value, DWORD maximum);
// The louder channel at `loud`, the other one attenuated by the balance: a negative balance
// lowers the right channel, a positive one the left.
Channels Split(DWORD loud, LONG balance);
// The balance of two channel values: the quieter against the louder, negative when the right
// channel is the quieter; 0 when both are silent.
LONG BalanceOf(const Channels& channels);

}  // namespace mixer_math

class MixerControl : public FilterHolder {
 public:
  MixerControl() = default;
  ~MixerControl() override;

  // Once: reads the names, opens the mixer device of that name (else the first one, whose name
  // is then kept) and settles "Max Volume". S_OK when the mixer is open already.
  HRESULT Build(REFCLSID renderer, LONG value1, LONG value2, IFilterGraph* graph) override;
  // Closes the mixer.
  HRESULT Teardown() override;

  HRESULT SetVolume(LONG volume) override;
  HRESULT GetVolume(LONG* volume) override;
  HRESULT SetBalance(LONG balance) override;
  HRESULT GetBalance(LONG* balance) override;
  HRESULT SetMix(ULONG, ULONG) override { return E_NOTIMPL; }
  HRESULT GetMix(ULONG*, ULONG*) override { return E_NOTIMPL; }

  const wchar_t* deviceName() const noexcept { return deviceName_; }
  DWORD maxVolume() const noexcept { return maxVolume_; }

 protected:
  static constexpr int kDeviceNameChars = 260;  // 520 bytes

 private:
  void ReadNames();
  HRESULT OpenDevice();
  void SettleMaxVolume();
  // The volume control of the configured source line of a speaker destination.
  HRESULT FindVolumeControl(MIXERCONTROLW* control, DWORD* channels) const;
  // The request for the two channel values of that control (one for a mono line).
  HRESULT PrepareDetails(MIXERCONTROLDETAILS* details, MIXERCONTROLDETAILS_UNSIGNED* values) const;
  HRESULT ReadChannels(mixer_math::Channels* channels) const;
  HRESULT WriteChannels(const mixer_math::Channels& channels) const;

  HMIXER mixer_ = nullptr;
  UINT mixerId_ = 0;
  wchar_t deviceName_[kDeviceNameChars] = {};
  wchar_t shortName_[MIXER_SHORT_NAME_CHARS] = {};
  wchar_t shortName2_[MIXER_SHORT_NAME_CHARS] = {};  // read, not used
  DWORD maxVolume_ = mixer_math::kFullScale;
};

class NullAudioRenderer final : public MixerControl {
 public:
  NullAudioRenderer() = default;
  ~NullAudioRenderer() override;

  // The mixer, then the sound card's capture filter (by the mixer's device name) and the
  // "Null Renderer", added to the graph (E_OUTOFMEMORY when either is missing).
  HRESULT Build(REFCLSID renderer, LONG value1, LONG value2, IFilterGraph* graph) override;
  HRESULT Teardown() override;
  // Connects the capture filter's output to the null renderer.
  HRESULT Start(IPin* upstream) override;
  HRESULT Stop() override;

 private:
  IBaseFilter* capture_ = nullptr;
  IBaseFilter* nullRenderer_ = nullptr;
  IPin* captureOut_ = nullptr;
  IPin* nullIn_ = nullptr;
};
