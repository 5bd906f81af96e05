#include "devices/core/sound/sound_path.h"

#include <algorithm>
#include <cwchar>
#include <new>

#include "common/handles.h"
#include "devices/core/sound/audio_input_selector.h"
#include "devices/core/sound/mixer_control.h"

FilterHolder::~FilterHolder() {
  ReleaseAndClear(upstream_);
  ReleaseAndClear(graph_);
}

HRESULT FilterHolder::Build(REFCLSID, LONG, LONG, IFilterGraph* graph) {
  if (graph) graph->AddRef();
  if (graph_) graph_->Release();
  graph_ = graph;
  built_ = 1;
  return S_OK;
}

HRESULT FilterHolder::Query(REFIID, void**) { return E_NOTIMPL; }

HRESULT FilterHolder::Teardown() {
  ReleaseAndClear(graph_);
  built_ = 0;
  return S_OK;
}

HRESULT FilterHolder::Start(IPin* upstream) {
  if (upstream) upstream->AddRef();
  if (upstream_) upstream_->Release();
  upstream_ = upstream;
  started_ = 1;
  return S_OK;
}

HRESULT FilterHolder::Stop() {
  ReleaseAndClear(upstream_);
  started_ = 0;
  return S_OK;
}

std::unique_ptr<FilterHolder> CreateSoundPath(const SoundPathPolicy& policy, int kind, HMODULE module) {
  switch (policy.TypeOf(kind)) {
    case SoundPathType::Mixer:
      return std::unique_ptr<FilterHolder>(new (std::nothrow) MixerControl());
    case SoundPathType::Selector:
      return std::unique_ptr<FilterHolder>(new (std::nothrow) AudioInputSelector(module));
    case SoundPathType::NullRenderer:
      return std::unique_ptr<FilterHolder>(new (std::nothrow) NullAudioRenderer());
    case SoundPathType::RateAdapter:
      return std::unique_ptr<FilterHolder>(new (std::nothrow) AudioRateAdapter(module));
    case SoundPathType::None:
      break;
  }
  return nullptr;
}

namespace sound_registry {

bool ReadShortString(HKEY root, const wchar_t* subKey, const wchar_t* value, WideString& out) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(root, subKey, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return false;
  UniqueRegKey key(raw);
  // Room for the longest accepted value with a terminator and one character more, so that a
  // value of 32 characters reads whether or not it was stored with its terminator.
  constexpr DWORD kChars = kStringBytes / sizeof(wchar_t);
  wchar_t text[kChars + 2] = {};
  DWORD type = 0;
  DWORD bytes = sizeof(text);
  if (RegQueryValueExW(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  text[std::min<DWORD>(bytes / sizeof(wchar_t), kChars + 1)] = L'\0';
  if (std::wcslen(text) > kChars) return false;
  out = WideString(static_cast<const wchar_t*>(text));
  return true;
}

}  // namespace sound_registry

bool ReadFilterDriverName(WideString& out) {
  return sound_registry::ReadShortString(HKEY_LOCAL_MACHINE, sound_registry::kFilterDriverKey, L"FilterDriverName",
                                         out);
}

bool ReadSoundDriver(WideString& out) {
  return sound_registry::ReadShortString(HKEY_CURRENT_USER, sound_registry::kFilterDriverSettingsKey, L"SoundDriver",
                                         out);
}

bool ReadPlaybackDevice(WideString& out) {
  return sound_registry::ReadShortString(HKEY_CURRENT_USER, sound_registry::kSoundMapperKey, L"Playback", out);
}
