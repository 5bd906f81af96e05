#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/testing/registry_fixture.h"
#include "devices/core/sound/audio_input_selector.h"
#include "devices/core/sound/mixer_control.h"
#include "devices/core/sound/sound_path.h"
#include "filters/base/testkit/push_source.h"

using testing_support::ScratchRegistryKey;

namespace {

SoundPathType TypeOfObject(const FilterHolder* path) {
  if (!path) return SoundPathType::None;
  if (dynamic_cast<const AudioRateAdapter*>(path)) return SoundPathType::RateAdapter;
  if (dynamic_cast<const AudioInputSelector*>(path)) return SoundPathType::Selector;
  if (dynamic_cast<const NullAudioRenderer*>(path)) return SoundPathType::NullRenderer;
  if (dynamic_cast<const MixerControl*>(path)) return SoundPathType::Mixer;
  return SoundPathType::None;
}

TEST(SoundPathFactory, EachFamilyGetsItsOwnKindForEachNumber) {
  using T = SoundPathType;
  struct Case {
    int kind;
    T family1;
    T family23;
  };
  const Case cases[] = {
      {0, T::Mixer, T::Selector},         {1, T::Selector, T::RateAdapter}, {2, T::NullRenderer, T::NullRenderer},
      {3, T::RateAdapter, T::Mixer},      {4, T::Selector, T::RateAdapter}, {5, T::None, T::None},
      {-1, T::None, T::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    EXPECT_EQ(c.family1, TypeOfObject(CreateSoundPath(kFamily1SoundPaths, c.kind, nullptr).get()));
    EXPECT_EQ(c.family23, TypeOfObject(CreateSoundPath(kFamily23SoundPaths, c.kind, nullptr).get()));
  }
}

TEST(SoundPathBase, StartAndStopHoldThePinOnlyWhileStarted) {
  std::unique_ptr<FilterHolder> path = CreateSoundPath(kFamily1SoundPaths, 0, nullptr);  // keeps the base's Start
  ASSERT_TRUE(path);
  graph_testkit::TestPushSource* source = graph_testkit::TestPushSource::Create();
  IPin* pin = source->OutputPin();
  pin->AddRef();
  const ULONG before = pin->Release();

  ASSERT_EQ(S_OK, path->Start(pin));
  EXPECT_EQ(1, path->started());
  EXPECT_EQ(pin, path->upstream());
  pin->AddRef();
  EXPECT_EQ(before + 1, pin->Release());  // referenced while started

  ASSERT_EQ(S_OK, path->Stop());
  EXPECT_EQ(0, path->started());
  EXPECT_EQ(nullptr, path->upstream());
  pin->AddRef();
  EXPECT_EQ(before, pin->Release());
  EXPECT_EQ(0u, source->Release());
}

// The 64-byte readers always hand back terminated text: a value of up to 32 characters, stored
// with or without its terminator, comes back whole; a longer one, or another type, is refused.
TEST(SoundRegistryReaders, ShortStringsComeBackTerminatedAndLongOnesAreRefused) {
  ScratchRegistryKey settings(HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", sound_registry::kFilterDriverSettingsKey);
  ScratchRegistryKey mapper(HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", sound_registry::kSoundMapperKey);
  ScratchRegistryKey app(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", sound_registry::kFilterDriverKey);
  const std::wstring full(32, L'x');  // 64 bytes
  const std::wstring longer = full + L"y";
  struct Case {
    const wchar_t* label;
    const void* data;
    DWORD type;
    DWORD bytes;
    bool read;
    std::wstring expected;
  };
  const DWORD number = 7;
  const Case cases[] = {
      {L"terminated", L"Speakers", REG_SZ, 18, true, L"Speakers"},
      {L"unterminated, 64 bytes", full.c_str(), REG_SZ, 64, true, full},
      {L"32 characters and the terminator", full.c_str(), REG_SZ, 66, true, full},
      {L"33 characters", longer.c_str(), REG_SZ, 66, false, L""},
      {L"33 characters and the terminator", longer.c_str(), REG_SZ, 68, false, L""},
      {L"not a string", &number, REG_DWORD, 4, false, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(settings.Set(L"", L"SoundDriver", c.type, c.data, c.bytes));
    ASSERT_TRUE(mapper.Set(L"", L"Playback", c.type, c.data, c.bytes));
    ASSERT_TRUE(app.Set(L"", L"FilterDriverName", c.type, c.data, c.bytes));
    WideString driver(L"old"), playback(L"old"), filter(L"old");
    EXPECT_EQ(c.read, ReadSoundDriver(driver));
    EXPECT_EQ(c.read, ReadPlaybackDevice(playback));
    EXPECT_EQ(c.read, ReadFilterDriverName(filter));
    if (c.read) {
      EXPECT_EQ(c.expected, driver.str());
      EXPECT_EQ(c.expected, playback.str());
      EXPECT_EQ(c.expected, filter.str());
    }
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, sound_registry::kSoundMapperKey);
  WideString missing;
  EXPECT_FALSE(ReadPlaybackDevice(missing));
}

}  // namespace
