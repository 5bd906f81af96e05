// The shared private types: sizes and offsets of the field-video layouts and the parameter table
// (compiled for both targets), the plane offsets of built field-planar frames, the six-in-eight
// packing, and the interface identifiers with their __uuidof bindings.
#include <gtest/gtest.h>

#include <cstddef>

#include "filters/base/testkit/field_frame_builder.h"
#include "filters/include/field_video.h"
#include "filters/include/filter_interfaces.h"
#include "filters/include/parameter_table_layout.h"

using namespace field_video;

namespace {

static_assert(sizeof(FieldFrameHeader) == 48);
static_assert(sizeof(FieldVideoFormat) == 40);
static_assert(sizeof(deinterlace::ParameterRecord) == 56);
#if !defined(_WIN64)
static_assert(sizeof(deinterlace::ParameterTableLayout) == 1600);
static_assert(offsetof(deinterlace::ParameterTableLayout, records) == 8 &&
              offsetof(deinterlace::ParameterTableLayout, textRecords) == 412 &&
              offsetof(deinterlace::ParameterTableLayout, key) == 816);
#endif

TEST(FieldVideo, PlaneOffsetsOf720x480) {
  graph_testkit::FieldPlanarFrameBuilder frame(720, 480);
  const PlaneLayout& l = frame.Layout();
  EXPECT_EQ(l.pitch, 1024);
  EXPECT_EQ(l.chromaPitch, 512);
  const std::uint32_t p = 1024u * 480u;  // 491520
  EXPECT_EQ(l.planeBytes, p);
  EXPECT_EQ(l.luma[0], 48u);
  EXPECT_EQ(l.luma[1], 48u + 245760u);
  EXPECT_EQ(l.u[0], 48u + 491520u);
  EXPECT_EQ(l.u[1], 48u + 614400u);
  EXPECT_EQ(l.v[0], 48u + 737280u);
  EXPECT_EQ(l.v[1], 48u + 860160u);
  EXPECT_EQ(l.totalBytes, 48u + 983040u);
  EXPECT_EQ(frame.Bytes().size(), l.totalBytes);
}

TEST(FieldVideo, PlaneOffsetsOf352x240) {
  graph_testkit::FieldPlanarFrameBuilder frame(352, 240);
  const PlaneLayout& l = frame.Layout();
  EXPECT_EQ(l.pitch, 512);
  const std::uint32_t p = 512u * 240u;  // 122880
  EXPECT_EQ(l.luma[1], 48u + p / 2);
  EXPECT_EQ(l.u[0], 48u + p);
  EXPECT_EQ(l.u[1], 48u + p * 5 / 4);
  EXPECT_EQ(l.v[0], 48u + p * 3 / 2);
  EXPECT_EQ(l.v[1], 48u + p * 7 / 4);
  EXPECT_EQ(l.totalBytes, 48u + 2 * p);
  // A negative (top-down) height describes the same frame; any width but 352 has pitch 1024.
  EXPECT_EQ(MakePlaneLayout(352, -240).totalBytes, l.totalBytes);
  EXPECT_EQ(RowPitch(704), 1024);
}

TEST(FieldVideo, TheBuilderPutsFieldsRowsAndSamplesWhereTheLayoutSays) {
  graph_testkit::FieldPlanarFrameBuilder frame(720, 480);
  frame.Fill([](int x, int y) { return static_cast<std::uint8_t>(x + 3 * y); },
             [](int x, int y) { return static_cast<std::uint8_t>(100 + x + y); },
             [](int x, int y) { return static_cast<std::uint8_t>(200 + x - y); });
  // Frame row 3 is row 1 of the field stored second (the first field is the top one).
  const std::uint8_t* bytes = frame.Bytes().data();
  EXPECT_EQ(bytes[frame.Layout().luma[1] + 1024 + 0], static_cast<std::uint8_t>(9));
  EXPECT_EQ(bytes[frame.Layout().luma[1] + 1024 + 8], static_cast<std::uint8_t>(6 + 9));  // sample 6: next group
  EXPECT_EQ(bytes[frame.Layout().u[0] + 512 + 1], static_cast<std::uint8_t>(100 + 1 + 2));  // row 2 = field 0 row 1
  EXPECT_EQ(frame.Luma(719, 479), static_cast<std::uint8_t>(719 + 3 * 479));
  EXPECT_EQ(frame.V(359, 478), static_cast<std::uint8_t>(200 + 359 - 478));
  // The two unused bytes of every group stay untouched.
  EXPECT_EQ(bytes[frame.Layout().luma[0] + 6], 0);
  EXPECT_EQ(bytes[frame.Layout().luma[0] + 7], 0);

  frame.Header().FrameFlags = kFrameDropMask;
  frame.Header().startTime = 1234;
  EXPECT_TRUE(IsDropped(*reinterpret_cast<const std::uint32_t*>(bytes)));
  EXPECT_EQ(*reinterpret_cast<const std::int64_t*>(bytes + 8), 1234);
  EXPECT_TRUE(IsDropped(0xFFFFFFFFu));
  EXPECT_TRUE(IsDropped(0x10000000u));
  EXPECT_FALSE(IsDropped(kFrameFill | kFrameBlack));
}

TEST(FieldVideo, SixSamplesInEightBytes) {
  std::uint8_t packed[32];
  for (int i = 0; i < 32; ++i) packed[i] = static_cast<std::uint8_t>(i);
  std::uint8_t samples[18] = {};
  SampleGroup6of8::Unpack(packed, 18, samples);
  const std::uint8_t expected[18] = {0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, 16, 17, 18, 19, 20, 21};
  for (int i = 0; i < 18; ++i) EXPECT_EQ(samples[i], expected[i]) << i;
  EXPECT_EQ(SampleGroup6of8::RowBytes(720), 960u);
  EXPECT_EQ(SampleGroup6of8::RowBytes(384), 512u);
  EXPECT_EQ(SampleGroup6of8::RowBytes(360), 480u);
  EXPECT_EQ(SampleGroup6of8::Offset(719), 957u);
}

TEST(SharedInterfaces, IdentifiersAndUuidofBindingsAgree) {
  EXPECT_EQ(__uuidof(ITeskControl), IID_ITeskControl);
  EXPECT_EQ(__uuidof(ITeskSettings), IID_ITeskSettings);
  EXPECT_EQ(__uuidof(IPlanarFieldOrder), IID_IPlanarFieldOrder);
  EXPECT_EQ(__uuidof(IPacerSettings), IID_IPacerSettings);
  EXPECT_EQ(__uuidof(IKelvTransmit), IID_IKelvTransmit);
  EXPECT_EQ(__uuidof(KivraNtsc2), IID_KivraNtsc2);
  EXPECT_EQ(__uuidof(KivraNtscZoom), IID_KivraNtscZoom);
  GUID parsed{};
  ASSERT_EQ(CLSIDFromString(L"{316C7048-AC84-4582-AF0C-D40E7B678C22}", &parsed), S_OK);
  EXPECT_EQ(parsed, IID_ITeskControl);
  ASSERT_EQ(CLSIDFromString(L"{DEC630F8-9E50-4549-8F37-9ECA69980CEA}", &parsed), S_OK);
  EXPECT_EQ(parsed, IID_IPacerSettings);
  ASSERT_EQ(CLSIDFromString(L"{E32D59C8-0EFA-11D4-A57A-00400541C5CE}", &parsed), S_OK);
  EXPECT_EQ(parsed, IID_KivraNtsc2);
  ASSERT_EQ(CLSIDFromString(L"{2B97C5F1-F794-4934-9030-D66FD0966AB0}", &parsed), S_OK);
  EXPECT_EQ(parsed, MEDIASUBTYPE_FieldPlanar420);
  ASSERT_EQ(CLSIDFromString(L"{1D958614-365C-4FB5-906D-D16C72C9D177}", &parsed), S_OK);
  EXPECT_EQ(parsed, FORMAT_FieldVideoPal);
}

// The pacer settings vtable: setters return nothing, getters the value (slots 3..10).
class Settings final : public IPacerSettings {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP_(void) SetAllocatorBuffers(LONG v) override { values[0] = v; }
  STDMETHODIMP_(LONG) GetAllocatorBuffers() override { return values[0]; }
  STDMETHODIMP_(void) SetDelay(LONG v) override { values[1] = v; }
  STDMETHODIMP_(LONG) GetDelay() override { return values[1]; }
  STDMETHODIMP_(void) SetTimeStamping(LONG v) override { values[2] = v; }
  STDMETHODIMP_(LONG) GetTimeStamping() override { return values[2]; }
  STDMETHODIMP_(void) SetHwTimeStamp(LONG v) override { values[3] = v; }
  STDMETHODIMP_(LONG) GetHwTimeStamp() override { return values[3]; }
  LONG values[4] = {0, 0, 1, 0};
};

TEST(SharedInterfaces, PacerSettingsSlotsAreInTheAgreedOrder) {
  Settings settings;
  // Called through the raw table as a module built elsewhere would.
  using Setter = void(STDMETHODCALLTYPE*)(IPacerSettings*, LONG);
  using Getter = LONG(STDMETHODCALLTYPE*)(IPacerSettings*);
  IPacerSettings* p = &settings;
  void** vtable = *reinterpret_cast<void***>(p);
  reinterpret_cast<Setter>(vtable[5])(p, -40);  // SetDelay
  EXPECT_EQ(settings.values[1], -40);
  EXPECT_EQ(reinterpret_cast<Getter>(vtable[8])(p), 1);  // GetTimeStamping
  reinterpret_cast<Setter>(vtable[9])(p, 1);             // SetHwTimeStamp
  EXPECT_EQ(reinterpret_cast<Getter>(vtable[10])(p), 1);
}

}  // namespace
