// The menu background drawer: commands before and after a table, fades on an injected tick
// count, the scaled rectangles, clipping against the frame and the sample, the vector blend
// against the scalar one over every input, capture, identity, and commands against drawing.
#include "filters/deinterlace/menu_background_drawer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "filters/base/allocator.h"

namespace deinterlace {
namespace {

struct Ticks : TickSource {
  DWORD now = 1000;
  DWORD Now() override { return now; }
};

// The filter's stand-in: answers IUnknown and the drawer's interfaces, counts references.
struct Owner : IUnknown {
  MenuBackgroundDrawer* drawer = nullptr;
  std::atomic<long> refs{1};
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return drawer->QueryDrawerInterface(iid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
};

constexpr int kWidth = 64, kHeight = 16;

struct Rig {
  Owner owner;
  Ticks ticks;
  MenuBackgroundDrawer drawer{&owner, true};
  std::vector<BYTE> frame = std::vector<BYTE>(2 * kWidth * kHeight, 200);
  Rig() {
    owner.drawer = &drawer;
    drawer.SetTickSource(&ticks);
    drawer.SetGeometry(2 * kWidth, 0, kWidth, kHeight);
  }
  void Draw(long size = 2 * kWidth * kHeight) { drawer.Draw(frame.data(), frame.data(), size); }
  BYTE Luma(int x, int y) const { return frame[2 * kWidth * y + 2 * x]; }
  int Weight(LONG index) {
    MenuRect rect;
    EXPECT_TRUE(drawer.Rect(index, &rect));
    return rect.current;
  }
};

constexpr DWORD Opacity(int a) { return static_cast<DWORD>(a) << 24; }

TEST(MenuBackgroundDrawer, CommandsNeedATable) {
  Rig rig;
  MenuBackgroundDrawer& d = rig.drawer;
  EXPECT_EQ(d.MenuBackground_ResetAll(), E_FAIL);
  EXPECT_EQ(d.MenuBackground_SetRect(0, 0, 0, 8, 8, Opacity(255)), E_FAIL);
  EXPECT_EQ(d.MenuBackground_Fade(0, 1, 0), E_FAIL);
  EXPECT_EQ(d.MenuBackground_FadeAll(1, 0), E_FAIL);
  EXPECT_EQ(d.MenuBackground_SetFade(0, 0, 0, 0), E_FAIL);
  EXPECT_EQ(d.MenuBackgroundScaled_SetRect(0, 0, 0, 8, 8), E_FAIL);
  EXPECT_EQ(d.MenuBackgroundScaled_SetFade(0, 0, 0, 0), E_FAIL);
  EXPECT_EQ(d.FrameCapture_SetCaptureEnabled(0), S_OK);
  EXPECT_EQ(d.VideoBlackout_SetBlackout(1), S_OK);
  EXPECT_TRUE(d.Blackout());
  rig.Draw();
  EXPECT_EQ(rig.Luma(0, 0), 200);

  // A negative count changes nothing; a table too large to hold fails as an allocation does and
  // leaves none.
  for (LONG big : {MenuBackgroundDrawer::kMaxRects + 1, 0x7FFFFFFFL}) {
    ASSERT_EQ(d.MenuBackground_SetCount(1), S_OK);
    EXPECT_EQ(d.MenuBackground_SetCount(-1), E_INVALIDARG);
    EXPECT_EQ(d.MenuBackgroundScaled_SetCount(-1), E_INVALIDARG);
    EXPECT_EQ(d.MenuBackground_ResetAll(), S_OK);
    EXPECT_EQ(d.MenuBackground_SetCount(big), E_OUTOFMEMORY) << big;
    EXPECT_EQ(d.MenuBackground_ResetAll(), E_FAIL) << big;
    ASSERT_EQ(d.MenuBackground_SetCount(1), S_OK);
    EXPECT_EQ(d.MenuBackgroundScaled_SetCount(big), E_OUTOFMEMORY) << big;
    EXPECT_EQ(d.MenuBackground_SetRect(0, 0, 0, 8, 8, Opacity(255)), E_FAIL) << big;
  }
  ASSERT_EQ(d.MenuBackground_SetCount(0), S_OK);
  EXPECT_EQ(d.MenuBackground_ResetAll(), S_OK);
  EXPECT_EQ(d.MenuBackground_FadeAll(1, 0), S_OK);
  EXPECT_EQ(d.MenuBackground_SetRect(0, 0, 0, 8, 8, Opacity(255)), E_FAIL);
  rig.Draw();
  EXPECT_EQ(rig.Luma(0, 0), 200);
}

TEST(MenuBackgroundDrawer, OpacitiesAndImmediateFades) {
  Rig rig;
  MenuBackgroundDrawer& d = rig.drawer;
  ASSERT_EQ(d.MenuBackground_SetCount(2), S_OK);
  ASSERT_EQ(d.MenuBackground_SetRect(0, 0, 0, 8, 2, 0), S_OK);  // opacity 0: weight 256
  ASSERT_EQ(d.MenuBackground_SetRect(1, 16, 0, 8, 2, Opacity(128)), S_OK);
  EXPECT_EQ(d.MenuBackground_FadeAll(1, 0), S_OK);
  rig.Draw();
  EXPECT_EQ(rig.Luma(0, 0), 200);
  EXPECT_EQ(rig.Luma(16, 0), (200 * 128) >> 8);
  EXPECT_EQ(rig.Luma(24, 0), 200);
  EXPECT_EQ(d.MenuBackground_Fade(1, 0, 0), S_OK);  // hidden at once
  rig.frame.assign(rig.frame.size(), 200);
  rig.Draw();
  EXPECT_EQ(rig.Luma(16, 0), 200);
  EXPECT_EQ(d.MenuBackground_Fade(1, 1, -5), S_OK);  // a negative time is immediate too
  EXPECT_EQ(rig.Weight(1), 128);
}

TEST(MenuBackgroundDrawer, FadesFollowTheTickCount) {
  Rig rig;
  MenuBackgroundDrawer& d = rig.drawer;
  ASSERT_EQ(d.MenuBackground_SetCount(3), S_OK);
  for (LONG i = 0; i < 3; ++i) ASSERT_EQ(d.MenuBackground_SetRect(i, 16 * i, 0, 8, 1, Opacity(82)), S_OK);
  ASSERT_EQ(d.MenuBackground_Fade(0, 1, 500), S_OK);  // 256 -> 174
  ASSERT_EQ(d.MenuBackgroundScaled_SetFade(1, 256, 0, 10000000), S_OK);  // past int32 products
  ASSERT_EQ(d.MenuBackgroundScaled_SetFade(2, 999, -7, 100), S_OK);      // weights clamped
  rig.ticks.now += 250;
  rig.Draw();
  EXPECT_EQ(rig.Weight(0), 215);
  EXPECT_EQ(rig.Luma(0, 0), (200 * 215) >> 8);
  rig.ticks.now = 1000 + 5000000;
  rig.Draw();
  EXPECT_EQ(rig.Weight(1), 128);
  rig.ticks.now = 1000 + 500;
  rig.Draw();
  EXPECT_EQ(rig.Weight(0), 174);
  rig.ticks.now = 1000 + 100000;  // done: later draws keep the end weight
  rig.Draw();
  EXPECT_EQ(rig.Weight(0), 174);
  EXPECT_EQ(rig.Weight(2), 0);
  MenuRect clamped;
  ASSERT_TRUE(d.Rect(2, &clamped));
  EXPECT_EQ(clamped.start, 256);
}

TEST(MenuBackgroundDrawer, ScaledRectanglesCoverTheirShareOfTheFrame) {
  Owner owner;
  MenuBackgroundDrawer d(&owner, true);
  d.SetGeometry(1440, 0, 720, 480);
  ASSERT_EQ(d.MenuBackgroundScaled_SetCount(1), S_OK);
  ASSERT_EQ(d.MenuBackgroundScaled_SetRect(0, 0, 0, 1024, 1024), S_OK);
  MenuRect rect;
  ASSERT_TRUE(d.Rect(0, &rect));
  EXPECT_EQ(rect.px, 0);
  EXPECT_EQ(rect.py, 0);
  EXPECT_EQ(rect.pw, 720);
  EXPECT_EQ(rect.ph, 480);
  std::vector<BYTE> frame(1440 * 480, 99);
  d.Draw(frame.data(), frame.data(), static_cast<long>(frame.size()));
  EXPECT_EQ(frame[1440 * 240 + 720], 99);  // invisible until a fade
  ASSERT_EQ(d.MenuBackgroundScaled_SetFade(0, 256, 0, 0), S_OK);
  d.Draw(frame.data(), frame.data(), static_cast<long>(frame.size()));
  EXPECT_EQ(frame[1440 * 479 + 1438], 0);
  EXPECT_EQ(frame[1440 * 479 + 1439], 128);
}

TEST(MenuBackgroundDrawer, RectanglesAreClippedToTheFrameAndTheSample) {
  struct Case {
    LONG x, y, w, h;
    int x0, y0, x1, y1;  // drawn pixels
  };
  const Case cases[] = {
      {8, -4, 32, 16, 8, 0, 40, 12},      // rows above the frame
      {-8, 2, 32, 8, 0, 0, 0, 0},         // left of the frame: not placed, never drawn
      {-1, 0, 64, 16, 0, 0, 0, 0},
      {50, 10, 100, 100, 50, 10, 64, 16}, // past its end
      {3, 1, 5, 2, 3, 1, 8, 3},           // narrower than its lead
      {-100, -100, 10, 10, 0, 0, 0, 0},   // wholly outside
      {70, 0, 8, 8, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    Rig rig;
    std::vector<BYTE> guarded(rig.frame.size() + 64, 200);
    ASSERT_EQ(rig.drawer.MenuBackground_SetCount(1), S_OK);
    ASSERT_EQ(rig.drawer.MenuBackground_SetRect(0, c.x, c.y, c.w, c.h, Opacity(255)), S_OK);
    ASSERT_EQ(rig.drawer.MenuBackground_Fade(0, 1, 0), S_OK);
    rig.drawer.Draw(guarded.data() + 32, guarded.data() + 32, static_cast<long>(rig.frame.size()));
    for (int i = 0; i < 32; ++i) ASSERT_EQ(guarded[i], 200) << i;
    for (size_t i = guarded.size() - 32; i < guarded.size(); ++i) ASSERT_EQ(guarded[i], 200) << i;
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const bool inside = x >= c.x0 && x < c.x1 && y >= c.y0 && y < c.y1;
        ASSERT_EQ(guarded[32 + 2 * kWidth * y + 2 * x], inside ? (200 * 1) >> 8 : 200)
            << c.x << "," << c.y << " pixel " << x << "," << y;
      }
    }
  }
  // A sample that ends inside the rectangle: its rows are drawn down to the last that fits.
  Rig rig;
  ASSERT_EQ(rig.drawer.MenuBackground_SetCount(1), S_OK);
  ASSERT_EQ(rig.drawer.MenuBackground_SetRect(0, 0, 0, kWidth, kHeight, Opacity(128)), S_OK);
  ASSERT_EQ(rig.drawer.MenuBackground_Fade(0, 1, 0), S_OK);
  rig.Draw(2 * kWidth * 5 + 10);
  EXPECT_EQ(rig.Luma(kWidth - 1, 4), 100);
  EXPECT_EQ(rig.Luma(0, 5), 200);
}

TEST(MenuBackgroundDrawer, VectorBlendEqualsTheScalarFormulaOverEveryInput) {
  // Every byte value as luma and as chroma, every weight, every start alignment and tail.
  std::vector<std::uint8_t> source(2 * 256 + 64);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 7 + i / 2);
  for (int weight = 0; weight <= 256; ++weight) {
    for (int offset = 0; offset < 16; ++offset) {
      const int pixels = 256 - offset;
      std::vector<std::uint8_t> scalar(source.size(), 0xAB), vector(source.size(), 0xAB);
      BlendPixels(source.data() + offset, scalar.data() + offset, pixels, weight);
      BlendPixelsSse2(source.data() + offset, vector.data() + offset, pixels, weight);
      ASSERT_EQ(scalar, vector) << "weight " << weight << " offset " << offset;
    }
    for (int c = 0; c < 256; ++c) {
      const std::uint8_t pair[2] = {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c)};
      std::uint8_t out[2];
      BlendPixels(pair, out, 1, weight);
      ASSERT_EQ(out[0], (c * weight) / 256);
      const int d = (c - 128) * weight;
      ASSERT_EQ(out[1], (d >= 0 ? d / 256 : -((-d + 255) / 256)) + 128) << c << " " << weight;
    }
  }
}

TEST(MenuBackgroundDrawer, CaptureHoldsTheLatestSampleAndCopiesWhatItHas) {
  HRESULT hr = S_OK;
  CUnknown* object = CMemAllocator::CreateInstance(nullptr, &hr);
  object->NonDelegatingAddRef();
  IMemAllocator* allocator = nullptr;
  ASSERT_EQ(object->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&allocator)), S_OK);
  ALLOCATOR_PROPERTIES request{1, 64, 1, 0}, actual{};
  ASSERT_EQ(allocator->SetProperties(&request, &actual), S_OK);
  ASSERT_EQ(allocator->Commit(), S_OK);

  Rig rig;
  MenuBackgroundDrawer& d = rig.drawer;
  LONG w = 0, h = 0, size = 0;
  BYTE copy[64];
  EXPECT_EQ(d.FrameCapture_GetFrameInfo(&w, &h, &size), E_FAIL);
  EXPECT_EQ(d.FrameCapture_GetFrame(copy), E_FAIL);
  IMediaSample* sample = nullptr;
  ASSERT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
  BYTE* data = nullptr;
  sample->GetPointer(&data);
  for (int i = 0; i < 64; ++i) data[i] = static_cast<BYTE>(i);
  sample->SetActualDataLength(40);
  d.HoldSample(sample);
  sample->Release();
  IMediaSample* other = nullptr;
  EXPECT_EQ(allocator->GetBuffer(&other, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);  // still held

  EXPECT_EQ(d.FrameCapture_GetFrameInfo(nullptr, &h, &size), E_POINTER);
  ASSERT_EQ(d.FrameCapture_GetFrameInfo(&w, &h, &size), S_OK);
  EXPECT_EQ(w * 1000 + h, kWidth * 1000 + kHeight);
  EXPECT_EQ(size, 40);
  sample->SetActualDataLength(10);  // shrinks after GetFrameInfo: only 10 bytes are copied
  std::memset(copy, 0xEE, sizeof(copy));
  EXPECT_EQ(d.FrameCapture_GetFrame(nullptr), E_FAIL);  // as every GetFrame that copies nothing
  ASSERT_EQ(d.FrameCapture_GetFrame(copy), S_OK);
  EXPECT_EQ(copy[9], 9);
  EXPECT_EQ(copy[10], 0xEE);

  d.ReleaseSample();
  ASSERT_EQ(allocator->GetBuffer(&other, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
  ASSERT_EQ(d.FrameCapture_SetCaptureEnabled(0), S_OK);
  d.HoldSample(other);  // capture off: not held
  other->Release();
  EXPECT_EQ(d.FrameCapture_GetFrameInfo(&w, &h, &size), E_FAIL);
  allocator->Decommit();
  allocator->Release();
  object->NonDelegatingRelease();
}

TEST(MenuBackgroundDrawer, InterfacesShareTheOwnersIdentity) {
  Rig rig;
  const IID iids[] = {IID_IMenuBackground, IID_IMenuBackgroundScaled, IID_IFrameCapture, IID_IVideoBlackout};
  for (const IID& iid : iids) {
    IUnknown* part = nullptr;
    ASSERT_EQ(rig.owner.QueryInterface(iid, reinterpret_cast<void**>(&part)), S_OK);
    EXPECT_EQ(rig.owner.refs, 2);
    IUnknown* identity = nullptr;
    ASSERT_EQ(part->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&rig.owner));
    for (const IID& otherIid : iids) {
      IUnknown* other = nullptr;
      ASSERT_EQ(part->QueryInterface(otherIid, reinterpret_cast<void**>(&other)), S_OK);
      other->Release();
    }
    identity->Release();
    part->Release();
    EXPECT_EQ(rig.owner.refs, 1);
  }
  void* none = nullptr;
  EXPECT_EQ(rig.drawer.QueryDrawerInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  // The two SetCount and SetFade slots keep their meanings.
  IMenuBackground* pixels = nullptr;
  IMenuBackgroundScaled* scaled = nullptr;
  ASSERT_EQ(rig.owner.QueryInterface(IID_IMenuBackground, reinterpret_cast<void**>(&pixels)), S_OK);
  ASSERT_EQ(rig.owner.QueryInterface(IID_IMenuBackgroundScaled, reinterpret_cast<void**>(&scaled)), S_OK);
  ASSERT_EQ(pixels->SetCount(1), S_OK);
  ASSERT_EQ(pixels->SetFade(0, Opacity(255), Opacity(255), 0), S_OK);
  EXPECT_EQ(rig.Weight(0), 1);
  ASSERT_EQ(scaled->SetFade(0, 100, 100, 0), S_OK);
  EXPECT_EQ(rig.Weight(0), 100);
  pixels->Release();
  scaled->Release();
}

TEST(MenuBackgroundDrawer, CommandsAgainstDrawing) {
  Rig rig;
  std::atomic<bool> done{false};
  std::thread commands([&] {
    for (int round = 0; round < 1000; ++round) {
      rig.drawer.MenuBackground_SetCount(round % 5);
      rig.drawer.MenuBackground_SetRect(round % 3, round % 70 - 5, round % 20 - 2, round % 40, round % 9, Opacity(200));
      rig.drawer.MenuBackgroundScaled_SetRect(round % 4, round % 1100, 512, 600, 700);
      rig.drawer.MenuBackground_FadeAll(round % 2, round % 50);
      rig.drawer.SetGeometry(2 * kWidth, 0, kWidth - round % 8, kHeight - round % 4);
    }
    done = true;
  });
  int draws = 0;
  while (!done || draws < 2) {
    rig.ticks.now += 7;
    rig.Draw();
    ++draws;
  }
  commands.join();
  EXPECT_GT(draws, 1);
}

}  // namespace
}  // namespace deinterlace
