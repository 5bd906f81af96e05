// The third family's own filters of the simulated card: registered with their own classes under
// the "TAVO" names, with the pins the family's graphs look for, and the TV audio filter answering
// the configured mode.
#include "sim/card/sim_card_fixture.h"

namespace {

using namespace simcard_testing;

TEST_F(SimCardTest, TavoRolesHaveFiltersOfTheirOwn) {
  ASSERT_EQ(S_OK, SimCard_RegisterFamilyCard(0, kSimFamilyPex, 0, TRUE));
  const struct {
    const GUID* category;
    const wchar_t* name;
    const CLSID* clsid;
    const wchar_t* pins[2];
  } roles[] = {
      {&kCategoryVideoInput, SIM_CARD_PEX_PREVIEW_NAME, &kClsidSimPexPreview, {L"Preview", L"Audio PCM"}},
      {&kCategoryEncoder, SIM_CARD_PEX_ENCODER_NAME, &kClsidSimPexEncoder, {L"MPEG Stream", nullptr}},
  };
  for (const auto& r : roles) {
    SCOPED_TRACE(r.clsid->Data1);
    std::vector<Device> devices = FindDevices(*r.category, r.name);
    ASSERT_EQ(1u, devices.size());
    CLSID clsid = GUID_NULL;
    ASSERT_EQ(S_OK, devices[0].filter->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualGUID(*r.clsid, clsid));
    for (const wchar_t* pin : r.pins) {
      if (pin) {
        EXPECT_TRUE(PinNamed(devices[0].filter.Get(), pin));
      }
    }
    ComPtr<IKsPropertySet> properties;
    EXPECT_EQ(S_OK, devices[0].filter.As(&properties));
  }
  // Nothing registered yet: nothing to signal.
  EXPECT_EQ(S_FALSE, SimCard_SignalKsEvent(capturePath_.c_str(), &kSimKsEncoderSet, 3));

  std::vector<Device> audio = FindDevices(kCategoryTvAudio, SIM_CARD_PEX_TVAUDIO_NAME);
  ASSERT_EQ(1u, audio.size());
  ComPtr<IAMTVAudio> tvAudio;
  ASSERT_EQ(S_OK, audio[0].filter->QueryInterface(IID_IAMTVAudio, reinterpret_cast<void**>(tvAudio.GetAddressOf())));
  for (DWORD mode : {0x01u, 0x31u, 0x42u}) {
    ASSERT_EQ(S_OK, SimCard_SetTvAudioMode(capturePath_.c_str(), mode));
    long available = 0;
    ASSERT_EQ(S_OK, tvAudio->GetAvailableTVAudioModes(&available));
    EXPECT_EQ(static_cast<long>(mode), available);
  }

  ASSERT_EQ(S_OK, SimCard_RegisterFamilyCard(0, kSimFamilyPex, 0, FALSE));
  EXPECT_TRUE(FindDevices(kCategoryVideoInput, SIM_CARD_PEX_PREVIEW_NAME).empty());
}

}  // namespace
