// The sound path of the preview: the base that every kind of sound path derives from (the
// graph and the upstream pin it works with, its built and started flags, the volume and balance
// operations the kinds fill in), the factory that makes the kind a family asks for, and the
// registry readers of the audio filter driver's settings.
//
// The kinds: MixerControl (the line's mixer only), AudioInputSelector (the sound selector into
// an audio renderer, watched for a full buffer), AudioRateAdapter (the same behind the
// rate-matching filter) and NullAudioRenderer (the sound card's capture into a null renderer,
// volume on the mixer). Which number means which kind differs between the families: the
// factory takes the family's table.
//
// Not locked: the preview graph serialises its calls (the device lock). COM must be
// initialised on the calling thread.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <memory>

#include "common/strings.h"

class FilterHolder {
 public:
  FilterHolder() = default;
  FilterHolder(const FilterHolder&) = delete;
  FilterHolder& operator=(const FilterHolder&) = delete;

  // --- virtual operations, in slot order (kinds call the base from their overrides) ---
  virtual ~FilterHolder();
  // Keeps the graph (referenced) and sets the built flag. `renderer` and the two values are
  // for the kinds (the renderer class the preview asks for). S_OK.
  virtual HRESULT Build(REFCLSID renderer, LONG value1, LONG value2, IFilterGraph* graph);
  // No kind answers it: E_NOTIMPL.
  virtual HRESULT Query(REFIID iid, void** out);
  // Releases the graph and clears the built flag. S_OK.
  virtual HRESULT Teardown();
  // Keeps the upstream pin (referenced) and sets the started flag. S_OK.
  virtual HRESULT Start(IPin* upstream);
  // Releases the upstream pin and clears the started flag. S_OK.
  virtual HRESULT Stop();
  // Volume in hundredths of a decibel (-10000..0), balance -10000 (left) .. 10000 (right).
  virtual HRESULT SetVolume(LONG volume) = 0;
  virtual HRESULT GetVolume(LONG* volume) = 0;
  virtual HRESULT SetBalance(LONG balance) = 0;
  virtual HRESULT GetBalance(LONG* balance) = 0;
  // The left/right mix: no kind offers one (E_NOTIMPL).
  virtual HRESULT SetMix(ULONG left, ULONG right) = 0;
  virtual HRESULT GetMix(ULONG* left, ULONG* right) = 0;
  // Ends anything the path does to the graph on its own (the selector's restart watch) and
  // returns once nothing of it is in flight. The preview graph calls it before it stops the
  // graph. Nothing in the base.
  virtual void SuspendWatch() {}

  LONG started() const noexcept { return started_; }
  LONG built() const noexcept { return built_; }
  IFilterGraph* graph() const noexcept { return graph_; }
  IPin* upstream() const noexcept { return upstream_; }

 protected:
  IPin* upstream_ = nullptr;       // owned reference while started
  IFilterGraph* graph_ = nullptr;  // owned reference while built
  LONG started_ = 0;
  LONG built_ = 0;
};

// Releases a held interface and clears the pointer.
template <class T>
void ReleaseAndClear(T*& p) noexcept {
  if (p) p->Release();
  p = nullptr;
}

// The kinds a sound-path number can stand for.
enum class SoundPathType { None, Mixer, Selector, NullRenderer, RateAdapter };

// A family's numbering of the kinds: numbers 0 to 4; any other number is no kind.
struct SoundPathPolicy {
  SoundPathType kinds[5];
  SoundPathType TypeOf(int kind) const noexcept {
    return kind >= 0 && kind < 5 ? kinds[kind] : SoundPathType::None;
  }
};
// The first family: 0 mixer, 1 and 4 selector, 2 null renderer, 3 rate adapter.
inline constexpr SoundPathPolicy kFamily1SoundPaths = {
    {SoundPathType::Mixer, SoundPathType::Selector, SoundPathType::NullRenderer, SoundPathType::RateAdapter,
     SoundPathType::Selector}};
// The second and third families: 0 selector, 1 and 4 rate adapter, 2 null renderer, 3 mixer.
inline constexpr SoundPathPolicy kFamily23SoundPaths = {
    {SoundPathType::Selector, SoundPathType::RateAdapter, SoundPathType::NullRenderer, SoundPathType::Mixer,
     SoundPathType::RateAdapter}};

// The kind `kind` stands for in `policy`, created; null for no kind or a failed allocation (the
// preview graph then answers E_OUTOFMEMORY). `module` is the module beside which the outside
// filter files lie (the device manager's).
std::unique_ptr<FilterHolder> CreateSoundPath(const SoundPathPolicy& policy, int kind, HMODULE module);

// The registry strings of the audio filter driver and the playback device: up to 64 bytes of
// characters (32), always returned terminated. False when the key or value is missing, is not a
// string or holds more than 32 characters.
bool ReadFilterDriverName(WideString& out);  // HKLM "...\Belvane Audio Filter\App" "FilterDriverName"
bool ReadSoundDriver(WideString& out);       // HKCU "...\Belvane Audio Filter\Settings" "SoundDriver"
bool ReadPlaybackDevice(WideString& out);    // HKCU "...\Multimedia\Sound Mapper" "Playback"

namespace sound_registry {
inline constexpr DWORD kStringBytes = 64;
// Reads a string value of at most kStringBytes bytes of characters, stored with or without its
// terminator, and terminates it.
bool ReadShortString(HKEY root, const wchar_t* subKey, const wchar_t* value, WideString& out);

inline constexpr wchar_t kFilterDriverKey[] = L"SOFTWARE\\Zarn Corporation\\Belvane Audio Filter\\App";
inline constexpr wchar_t kFilterDriverSettingsKey[] = L"Software\\Zarn Corporation\\Belvane Audio Filter\\Settings";
inline constexpr wchar_t kSoundMapperKey[] = L"Software\\Microsoft\\Multimedia\\Sound Mapper";
inline constexpr wchar_t kAudioBufferKey[] = L"Software\\Zarn Corporation\\Tovrel\\Audio Buffer";
inline constexpr wchar_t kTovrelKey[] = L"Software\\Zarn Corporation\\Tovrel";
inline constexpr wchar_t kBoardInfoKey[] = L"Software\\Zarn Corporation\\TunerBrdInfo";
}  // namespace sound_registry
