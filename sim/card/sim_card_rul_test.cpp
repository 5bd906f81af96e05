// The second family's numbered filters: the capture filter's outputs by tuner, the field-planar
// video type, the encoder's "MPEG Stream" and the TV-audio modes the broadcast offers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filters/include/field_video.h"
#include "sim/card/sim_card_fixture.h"

using namespace simcard_testing;

namespace {

std::vector<std::wstring> OutputNames(IBaseFilter* filter) {
  std::vector<std::wstring> names;
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(&pins))) return names;
  for (ComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin.Reset()) {
    PIN_INFO info{};
    pin->QueryPinInfo(&info);
    if (info.pFilter) info.pFilter->Release();
    if (info.dir == PINDIR_OUTPUT) names.push_back(info.achName);
  }
  return names;
}

TEST_F(SimCardTest, NumberedFiltersHaveTheLayoutOfTheirTuner) {
  ASSERT_EQ(S_OK, SimCard_RegisterFamilyCard(0, kSimFamilyRul, 3, TRUE));
  struct Case {
    UINT role;
    GUID category;
    const wchar_t* name;
    std::vector<std::wstring> outputs;
  };
  const Case cases[] = {
      {kSimRoleCapture, kCategoryVideoInput, L"DORU Capture 1", {L"Video", L"Audio PCM"}},
      {kSimRoleCapture, kCategoryVideoInput, L"DORU Capture 2", {L"Video", L"VBI", L"Audio PCM"}},
      {kSimRoleCapture, kCategoryVideoInput, L"DORU Capture 3", {L"Video", L"VBI", L"Audio PCM"}},
      {kSimRoleEncoder, kCategoryEncoder, L"DORU Encode 2", {L"MPEG Stream"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.name, c.name + wcslen(c.name)));
    ComPtr<IBaseFilter> filter = Bind(0, c.role, c.category, c.name);
    ASSERT_TRUE(filter);
    EXPECT_EQ(c.outputs, OutputNames(filter.Get()));
  }

  // The video pin offers the field-planar type first, sized for its planes.
  ComPtr<IBaseFilter> capture = Bind(0, kSimRoleCapture, kCategoryVideoInput, L"DORU Capture 1");
  ComPtr<IEnumMediaTypes> types;
  ASSERT_EQ(S_OK, PinNamed(capture.Get(), L"Video")->EnumMediaTypes(&types));
  AM_MEDIA_TYPE* type = nullptr;
  ASSERT_EQ(S_OK, types->Next(1, &type, nullptr));
  EXPECT_EQ(MEDIATYPE_FieldVideo, type->majortype);
  EXPECT_EQ(MEDIASUBTYPE_FieldPlanar420, type->subtype);
  EXPECT_EQ(field_video::MakePlaneLayout(720, 480).totalBytes, type->lSampleSize);
  CoTaskMemFree(type->pbFormat);
  CoTaskMemFree(type);

  // GetAvailableTVAudioModes answers the mode the broadcast is set to.
  ComPtr<IBaseFilter> audioFilter = Bind(0, kSimRoleTvAudio, kCategoryTvAudio, L"DORU TvAudio 2");
  ComPtr<IAMTVAudio> audio;
  ASSERT_EQ(S_OK, audioFilter->QueryInterface(IID_IAMTVAudio, reinterpret_cast<void**>(audio.GetAddressOf())));
  for (DWORD mode : {0x01ul, 0x22ul, 0x31ul}) {
    ASSERT_EQ(S_OK, SimCard_SetTvAudioMode(capturePath_.c_str(), mode));
    long available = 0;
    EXPECT_EQ(S_OK, audio->GetAvailableTVAudioModes(&available));
    EXPECT_EQ(static_cast<long>(mode), available);
  }
}

}  // namespace
