// The mixer path. Headless Wine has no mixer device, so the test program's imports of the
// waveform mixer functions are rewritten to a mixer of the test's own (the code under test is
// linked into this program): two devices, the second with a record destination and a speaker
// destination whose sources are "CD" and "TV Tuner", each with a stereo volume control.
#include <gtest/gtest.h>

#include <cwchar>
#include <iterator>
#include <vector>

#include "common/testing/registry_fixture.h"
#include "devices/core/sound/mixer_control.h"
#include "sim/driver/import_patch.h"

using testing_support::ScratchRegistryKey;

namespace {

struct FakeMixer {
  const wchar_t* names[2] = {L"Other Mixer", L"Sim Mixer"};
  UINT devices = 2;
  int openedId = -1;
  int closes = 0;
  DWORD values[2][2] = {{1000, 1000}, {20000, 20000}};  // per source: left, right
  MMRESULT setResult = MMSYSERR_NOERROR;
} g_mixer;

constexpr DWORD kSpeakers = 1;  // destination 1; destination 0 records
const wchar_t* const kSources[2] = {L"CD", L"TV Tuner"};

UINT WINAPI FakeGetNumDevs() { return g_mixer.devices; }

MMRESULT WINAPI FakeGetDevCaps(UINT_PTR id, MIXERCAPSW* caps, UINT) {
  if (id >= g_mixer.devices) return MMSYSERR_BADDEVICEID;
  *caps = MIXERCAPSW{};
  std::wmemcpy(caps->szPname, g_mixer.names[id], std::wcslen(g_mixer.names[id]) + 1);
  caps->cDestinations = 2;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeGetId(HMIXEROBJ object, UINT* id, DWORD) {
  *id = static_cast<UINT>(reinterpret_cast<UINT_PTR>(object));
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeOpen(HMIXER* mixer, UINT id, DWORD_PTR, DWORD_PTR, DWORD) {
  g_mixer.openedId = static_cast<int>(id);
  *mixer = reinterpret_cast<HMIXER>(static_cast<UINT_PTR>(0x100 + id));
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeClose(HMIXER) {
  ++g_mixer.closes;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeGetLineInfo(HMIXEROBJ, MIXERLINEW* line, DWORD flags) {
  const DWORD query = flags & MIXER_GETLINEINFOF_QUERYMASK;
  if (line->dwDestination > 1) return MIXERR_INVALLINE;
  if (query == MIXER_GETLINEINFOF_DESTINATION) {
    line->dwComponentType =
        line->dwDestination == kSpeakers ? MIXERLINE_COMPONENTTYPE_DST_SPEAKERS : MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
    line->cConnections = 2;
    return MMSYSERR_NOERROR;
  }
  if (query != MIXER_GETLINEINFOF_SOURCE || line->dwSource > 1) return MIXERR_INVALLINE;
  // Only the speaker sources have the names looked for: a match elsewhere would be a fault.
  const wchar_t* name = line->dwDestination == kSpeakers ? kSources[line->dwSource] : L"TV Tuner Rec";
  std::wmemcpy(line->szShortName, name, std::wcslen(name) + 1);
  line->dwLineID = 0x1000 * (line->dwDestination + 1) + line->dwSource;
  line->cChannels = 2;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeGetLineControls(HMIXEROBJ, MIXERLINECONTROLSW* controls, DWORD) {
  if (controls->dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME) return MIXERR_INVALCONTROL;
  controls->pamxctrl->dwControlID = controls->dwLineID;
  return MMSYSERR_NOERROR;
}

DWORD* ValuesOf(DWORD control) {
  return control >= 0x2000 && control <= 0x2001 ? g_mixer.values[control - 0x2000] : nullptr;
}

MMRESULT WINAPI FakeGetDetails(HMIXEROBJ, MIXERCONTROLDETAILS* details, DWORD) {
  DWORD* values = ValuesOf(details->dwControlID);
  if (!values || details->cChannels != 2) return MIXERR_INVALCONTROL;
  auto* out = static_cast<MIXERCONTROLDETAILS_UNSIGNED*>(details->paDetails);
  out[0].dwValue = values[0];
  out[1].dwValue = values[1];
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeSetDetails(HMIXEROBJ, MIXERCONTROLDETAILS* details, DWORD) {
  DWORD* values = ValuesOf(details->dwControlID);
  if (!values || details->cChannels != 2) return MIXERR_INVALCONTROL;
  if (g_mixer.setResult != MMSYSERR_NOERROR) return g_mixer.setResult;
  const auto* in = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(details->paDetails);
  values[0] = in[0].dwValue;
  values[1] = in[1].dwValue;
  return MMSYSERR_NOERROR;
}

class MixerControlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const ImportHook hooks[] = {
        {"mixerGetNumDevs", reinterpret_cast<void*>(&FakeGetNumDevs)},
        {"mixerGetDevCapsW", reinterpret_cast<void*>(&FakeGetDevCaps)},
        {"mixerGetID", reinterpret_cast<void*>(&FakeGetId)},
        {"mixerOpen", reinterpret_cast<void*>(&FakeOpen)},
        {"mixerClose", reinterpret_cast<void*>(&FakeClose)},
        {"mixerGetLineInfoW", reinterpret_cast<void*>(&FakeGetLineInfo)},
        {"mixerGetLineControlsW", reinterpret_cast<void*>(&FakeGetLineControls)},
        {"mixerGetControlDetailsW", reinterpret_cast<void*>(&FakeGetDetails)},
        {"mixerSetControlDetails", reinterpret_cast<void*>(&FakeSetDetails)},
    };
    ASSERT_EQ(S_OK, PatchImports(GetModuleHandleW(nullptr), hooks, std::size(hooks), &patched_));
    ASSERT_EQ(std::size(hooks), patched_.size());
  }
  static void TearDownTestSuite() { RestoreImports(patched_); }

  void SetUp() override {
    g_mixer = FakeMixer{};
    ASSERT_TRUE(board_.Set(L"", L"MixerDeviceName", REG_SZ, L"sim mixer", 20));
    ASSERT_TRUE(board_.Set(L"", L"TunerShortName", REG_SZ, L"tv tuner", 18));
  }

  DWORD StoredMaxVolume() const {
    DWORD value = 0, bytes = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, sound_registry::kTovrelKey, L"Max Volume", RRF_RT_REG_DWORD, nullptr,
                        &value, &bytes) == ERROR_SUCCESS
               ? value
               : 0xDEAD;
  }

  static inline std::vector<PatchedImport> patched_;
  ScratchRegistryKey board_{HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", sound_registry::kBoardInfoKey};
  ScratchRegistryKey tovrel_{HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", sound_registry::kTovrelKey};
};

TEST(MixerMath, VolumeAndMixerValuesConvertBothWays) {
  using namespace mixer_math;
  struct ToMixer {
    LONG volume;
    DWORD maximum;
    DWORD value;
  };
  for (const ToMixer& c : {ToMixer{-10000, 32767, 0}, ToMixer{0, 32767, 32767}, ToMixer{-600, 32767, 8230},
                           ToMixer{-20000, 32767, 0}, ToMixer{0, 1000, 1000}, ToMixer{-600, 0, 0}}) {
    EXPECT_EQ(c.value, MixerFromVolume(c.volume, c.maximum)) << c.volume << " of " << c.maximum;
  }
  struct ToVolume {
    DWORD value;
    DWORD maximum;
    LONG volume;
  };
  for (const ToVolume& c : {ToVolume{0, 32767, -10000}, ToVolume{32767, 32767, 0}, ToVolume{8230, 32767, -600},
                            ToVolume{50000, 32767, 0}, ToVolume{5, 0, -10000}}) {
    EXPECT_EQ(c.volume, VolumeFromMixer(c.value, c.maximum)) << c.value << " of " << c.maximum;
  }
}

TEST(MixerMath, BalanceSplitsEitherWayAndSilenceHasNone) {
  using namespace mixer_math;
  struct Case {
    DWORD loud;
    LONG balance;
    DWORD left, right;
  };
  for (const Case& c : {Case{1000, 0, 1000, 1000}, Case{1000, -600, 1000, 251}, Case{1000, 600, 251, 1000},
                        Case{1000, -10000, 1000, 0}, Case{0, 600, 0, 0}}) {
    const Channels split = Split(c.loud, c.balance);
    EXPECT_EQ(c.left, split.left) << c.balance;
    EXPECT_EQ(c.right, split.right) << c.balance;
  }
  EXPECT_EQ(-600, BalanceOf({1000, 251}));
  EXPECT_EQ(600, BalanceOf({251, 1000}));
  EXPECT_EQ(0, BalanceOf({700, 700}));
  EXPECT_EQ(0, BalanceOf({0, 0}));  // both silent: no quieter side
  EXPECT_EQ(-10000, BalanceOf({700, 0}));
}

TEST_F(MixerControlTest, OpensTheNamedDeviceOrElseTheFirstAndReadsTheOtherKeyWithoutBoardInfo) {
  {
    MixerControl mixer;
    ASSERT_EQ(S_OK, mixer.Build(GUID_NULL, 0, 0, nullptr));
    EXPECT_EQ(1, g_mixer.openedId);
    EXPECT_STREQ(L"sim mixer", mixer.deviceName());
    EXPECT_EQ(S_OK, mixer.Build(GUID_NULL, 0, 0, nullptr));  // once only
  }
  EXPECT_EQ(1, g_mixer.closes);

  RegDeleteTreeW(HKEY_LOCAL_MACHINE, sound_registry::kBoardInfoKey);
  ASSERT_TRUE(tovrel_.Set(L"", L"MixerDeviceName", REG_SZ, L"No Such Mixer", 28));
  ASSERT_TRUE(tovrel_.Set(L"", L"MixerShortName", REG_SZ, L"CD", 6));
  ASSERT_TRUE(tovrel_.SetDword(L"Max Volume", 1000));
  MixerControl mixer;
  ASSERT_EQ(S_OK, mixer.Build(GUID_NULL, 0, 0, nullptr));
  EXPECT_EQ(0, g_mixer.openedId);
  EXPECT_STREQ(L"Other Mixer", mixer.deviceName());  // the first device's name is kept
  LONG volume = 0;
  ASSERT_EQ(S_OK, mixer.GetVolume(&volume));  // the "CD" line, 1000 of a maximum of 1000
  EXPECT_EQ(0, volume);
}

TEST_F(MixerControlTest, MaxVolumeIsTakenFromTheLineWhenMissingAndReplacedWhenOutOfRange) {
  struct Case {
    const wchar_t* label;
    bool stored;
    DWORD value;
    DWORD expected;
  };
  for (const Case& c : {Case{L"missing: the line's volume", false, 0, 20000}, Case{L"zero", true, 0, 32767},
                        Case{L"above full scale", true, 40000, 32767}, Case{L"kept", true, 12000, 12000}}) {
    SCOPED_TRACE(c.label);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, sound_registry::kTovrelKey, L"Max Volume");
    if (c.stored) {
      ASSERT_TRUE(tovrel_.SetDword(L"Max Volume", c.value));
    }
    MixerControl mixer;
    ASSERT_EQ(S_OK, mixer.Build(GUID_NULL, 0, 0, nullptr));
    EXPECT_EQ(c.expected, mixer.maxVolume());
    EXPECT_EQ(c.expected, StoredMaxVolume());
  }
}

TEST_F(MixerControlTest, VolumeAndBalanceReachTheTunerLinesControl) {
  ASSERT_TRUE(tovrel_.SetDword(L"Max Volume", 32767));
  MixerControl mixer;
  ASSERT_EQ(S_OK, mixer.Build(GUID_NULL, 0, 0, nullptr));
  DWORD* tv = g_mixer.values[1];

  ASSERT_EQ(S_OK, mixer.SetVolume(0));
  EXPECT_EQ(32767u, tv[0]);
  EXPECT_EQ(32767u, tv[1]);
  ASSERT_EQ(S_OK, mixer.SetBalance(-600));
  EXPECT_EQ(32767u, tv[0]);
  EXPECT_EQ(8230u, tv[1]);
  LONG value = 1;
  ASSERT_EQ(S_OK, mixer.GetBalance(&value));
  EXPECT_EQ(-600, value);
  ASSERT_EQ(S_OK, mixer.SetVolume(-600));  // the balance stays
  EXPECT_EQ(8230u, tv[0]);
  EXPECT_EQ(2067u, tv[1]);
  ASSERT_EQ(S_OK, mixer.SetBalance(25000));  // clamped: the left channel goes silent
  EXPECT_EQ(0u, tv[0]);
  EXPECT_EQ(8230u, tv[1]);

  ASSERT_EQ(S_OK, mixer.SetVolume(-30000));  // clamped to -10000: both channels 0
  EXPECT_EQ(0u, tv[0]);
  EXPECT_EQ(0u, tv[1]);
  ASSERT_EQ(S_OK, mixer.GetBalance(&value));
  EXPECT_EQ(0, value);
  ASSERT_EQ(S_OK, mixer.GetVolume(&value));
  EXPECT_EQ(-10000, value);
  EXPECT_EQ(E_POINTER, mixer.GetVolume(nullptr));
  EXPECT_EQ(1000u, g_mixer.values[0][0]);  // the other line untouched
}

TEST_F(MixerControlTest, FailuresOfTheMixerAreReportedWithTheirCodes) {
  {
    MixerControl closed;
    LONG value = 0;
    EXPECT_EQ(errors::kMixerNotOpen, closed.GetVolume(&value));
  }
  {
    ASSERT_TRUE(board_.Set(L"", L"TunerShortName", REG_SZ, L"Aux", 8));
    MixerControl mixer;
    ASSERT_EQ(S_OK, mixer.Build(GUID_NULL, 0, 0, nullptr));
    EXPECT_EQ(errors::kMixerLineNotFound, mixer.SetVolume(0));
  }
  {
    ASSERT_TRUE(board_.Set(L"", L"TunerShortName", REG_SZ, L"TV Tuner", 18));
    g_mixer.setResult = MMSYSERR_ERROR;
    MixerControl mixer;
    ASSERT_EQ(S_OK, mixer.Build(GUID_NULL, 0, 0, nullptr));
    EXPECT_EQ(errors::kMixerSetValuesFailed, mixer.SetVolume(0));
  }
  g_mixer.devices = 0;
  MixerControl none;
  EXPECT_EQ(errors::kMixerNoDevice, none.Build(GUID_NULL, 0, 0, nullptr));
}

// The sound card's capture filter is looked for by the mixer's name: Wine has none.
TEST_F(MixerControlTest, NullRendererPathWithoutTheCardsCaptureFilterIsOutOfMemory) {
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  {
    IGraphBuilder* graph = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     reinterpret_cast<void**>(&graph)));
    {
      NullAudioRenderer path;
      EXPECT_EQ(E_OUTOFMEMORY, path.Build(GUID_NULL, 0, 0, graph));
    }
    EXPECT_EQ(0u, graph->Release());
  }
  CoUninitialize();
}

}  // namespace
