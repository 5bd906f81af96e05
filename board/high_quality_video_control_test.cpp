// HighQualityVideoControl as COM sees it: the module's registration and class object, the
// interfaces and aggregation, and the view geometry, wide zoom and crop it writes to the board.
#include "board/high_quality_video_control.h"

#include <gtest/gtest.h>
#include <wrl/client.h>


#include "board/board_test_support.h"
#include "common/errors.h"
#include "common/testing/child.h"
#include "common/testing/registry_fixture.h"
#include "common/trace.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

namespace {

using board::BoardController;
using board::CHighQualityVideoControl;
using Microsoft::WRL::ComPtr;

using GetClassObjectFn = HRESULT(__stdcall*)(REFCLSID, REFIID, void**);
using RegisterFn = HRESULT(__stdcall*)();

std::wstring ClassesValue(const std::wstring& key, const wchar_t* name) {
  wchar_t value[512] = {};
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
    return L"<missing>";
  return value;
}

}  // namespace

TEST(VornConModule, RegistersItsClassAndRefusesAggregationForAnInterfaceOtherThanIUnknown) {
  // The board is not enabled in this prefix's registry: creation stops at the first check.
  testing_support::ScratchRegistryKey noBoard(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                              L"SOFTWARE\\Zarn Corporation\\TunerBrdInfo");
  const HMODULE module = LoadLibraryW(testing_support::BinPath(L"VornCon.dll").c_str());
  ASSERT_NE(module, nullptr);
  const auto reg = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
  const auto unreg = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
  const auto get = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  ASSERT_TRUE(reg && unreg && get);
  ASSERT_EQ(reg(), S_OK);
  const std::wstring key = L"CLSID\\{B71C13AA-78B0-411C-A96C-0C4F85D08B50}";
  EXPECT_EQ(ClassesValue(key + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  EXPECT_NE(ClassesValue(key + L"\\InprocServer32", nullptr).find(L"VornCon.dll"), std::wstring::npos);
  EXPECT_EQ(ClassesValue(L"VornCon.HighQualityVideoControl.1\\CLSID", nullptr), L"{B71C13AA-78B0-411C-A96C-0C4F85D08B50}");
  EXPECT_EQ(ClassesValue(key + L"\\TypeLib", nullptr), L"{D79E4235-4DDD-4E07-A6EC-5F2DA8F35EBC}");

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(get(board::kHighQualityVideoControlClass, IID_PPV_ARGS(&factory)), S_OK);
  IUnknown* object = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(factory->CreateInstance(static_cast<IUnknown*>(factory.Get()), __uuidof(IVideoView),
                                    reinterpret_cast<void**>(&object)),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, __uuidof(IVideoView), reinterpret_cast<void**>(&object)),
            errors::kBoardNotEnabled);
  factory.Reset();

  EXPECT_EQ(unreg(), S_OK);
  EXPECT_EQ(ClassesValue(key, nullptr), L"<missing>");
  EXPECT_EQ(ClassesValue(L"VornCon.HighQualityVideoControl.1", nullptr), L"<missing>");
  FreeLibrary(module);
}

TEST(BoardControllerMaths, CropOffsetsAndWideZoomBytes) {
  LONG crop[4] = {};
  // A 1366-wide view starting 100 left of the panel over a 720-wide source.
  ASSERT_EQ(BoardController::CropOffsets({-100, 0, 1266, 768}, {0, 0, 1266, 768}, {0, 0, 720, 480}, crop), S_OK);
  EXPECT_EQ(crop[0], 52);  // 720/1366*100 = 52.7 -> 53, rounded down to even
  EXPECT_EQ(crop[1], 0);
  EXPECT_EQ(crop[2], 0);
  EXPECT_EQ(crop[3], 0);
  EXPECT_EQ(BoardController::CropOffsets({10, 10, 10, 50}, {10, 10, 10, 50}, {0, 0, 720, 480}, crop), E_INVALIDARG);
  EXPECT_EQ(BoardController::CropOffsets({10, 50, 60, 10}, {10, 50, 60, 10}, {0, 0, 720, 480}, crop), E_INVALIDARG);

  BYTE b[16] = {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
  ASSERT_EQ(BoardController::WideZoomBytes(L"1,10,-0x12345,0x11,0x22,0x33,044", 0, 1366, 0, 1366, b), S_OK);
  // c = 1 * 1366 / 10 = 136: start 136, end 1230
  const BYTE expected[16] = {0xDC, 0x5B, 0x58, 0x88, 0x5C, 0xCE, 0x40, 0x00,
                             0x5A, 0x41, 0x23, 0x45, 0x11, 0x22, 0x33, 0x24};
  EXPECT_EQ(std::vector<BYTE>(b, b + 16), std::vector<BYTE>(expected, expected + 16));
  EXPECT_EQ(BoardController::WideZoomBytes(L"1,0,0,0,0,0,0", 0, 1366, 0, 1366, b), E_FAIL);  // zero divisor
  EXPECT_EQ(BoardController::WideZoomBytes(L"1,10,0,0,0,0", 0, 1366, 0, 1366, b), E_FAIL);   // six numbers
  EXPECT_EQ(BoardController::WideZoomBytes(L"1,1,0,0,0,0,0", 0, 1366, 0, 1366, b), E_FAIL);  // nothing left
}

namespace {

// An outer object for the aggregation test: holds the inner unknown, answers IUnknown itself.
class Outer final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown) {
      *out = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(iid, out) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  IUnknown* inner = nullptr;
  ULONG refs = 1;
};

class ControlObject : public board_testing::PanelFixture {
 protected:
  std::string PanelText() const override {
    return board_testing::PanelFile("", "HNLS_720X480=1,10,-0x12345,0x11,0x22,0x33,044\r\n");
  }
  std::vector<int> WrittenAddresses() const {
    std::vector<int> out;
    for (const auto& f : Requests("write")) out.push_back(f.addr);
    return out;
  }
};

}  // namespace

TEST_F(ControlObject, InterfacesAggregationAndTheirOwnInitializePairs) {
  ComPtr<IVideoView> view;
  ASSERT_EQ(CHighQualityVideoControl::Create(nullptr, IID_PPV_ARGS(&view), setup_), S_OK);
  ComPtr<IVideoProperty> property;
  ComPtr<IScreenMode> mode;
  ComPtr<IHardwareInfo> hardware;
  ComPtr<IDirectControl> direct;
  ComPtr<IClassFactory> notThere;
  ASSERT_EQ(view.As(&property), S_OK);
  ASSERT_EQ(view.As(&mode), S_OK);
  ASSERT_EQ(view.As(&hardware), S_OK);
  ASSERT_EQ(view.As(&direct), S_OK);
  EXPECT_EQ(view.As(&notThere), E_NOINTERFACE);

  EXPECT_EQ(property->Initialize(0), S_OK);
  EXPECT_EQ(property->Initialize(0), E_FAIL);  // the property pair, not the view's
  EXPECT_EQ(view->ShowView(1), errors::kBoardNotInit);
  EXPECT_EQ(view->Initialize(0), S_OK);
  EXPECT_EQ(view->ShowView(1), S_OK);
  unsigned char id = 0;
  EXPECT_EQ(hardware->GetDisplayPanelId(&id), S_OK);
  EXPECT_EQ(id, 7);
  long h = 0, w = 0;
  EXPECT_EQ(hardware->GetDisplayPanelSize(&h, &w), S_OK);
  EXPECT_EQ(std::make_pair(w, h), std::make_pair(1366L, 768L));
  EXPECT_EQ(mode->SetRegistry(0), E_NOTIMPL);
  property.Reset();
  mode.Reset();
  hardware.Reset();
  direct.Reset();
  EXPECT_EQ(view.Detach()->Release(), 0u);

  Outer outer;
  IUnknown* inner = nullptr;
  ASSERT_EQ(CHighQualityVideoControl::Create(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner), setup_), S_OK);
  outer.inner = inner;
  IVideoView* aggregated = nullptr;
  ASSERT_EQ(outer.QueryInterface(__uuidof(IVideoView), reinterpret_cast<void**>(&aggregated)), S_OK);
  IUnknown* identity = nullptr;
  ASSERT_EQ(aggregated->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));  // delegates to the outer object
  identity->Release();
  aggregated->Release();
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(inner->Release(), 0u);
}

TEST_F(ControlObject, GeometryWritesOnlyTheRegistersItMust) {
  ComPtr<IVideoView> view;
  ASSERT_EQ(CHighQualityVideoControl::Create(nullptr, IID_PPV_ARGS(&view), setup_), S_OK);
  ASSERT_EQ(view->Initialize(0), S_OK);
  RECT r = {0, 0, 720, 480};
  ASSERT_EQ(view->SetSrcSize(&r), S_OK);

  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  r = {2000, 100, 2400, 400};  // wholly off the panel
  EXPECT_EQ(view->SetViewPosition(&r), S_OK);
  EXPECT_TRUE(WrittenAddresses().empty());

  r = {100, 100, 500, 400};  // the current size 720 x 480 -> new size and position
  ASSERT_EQ(view->SetViewPosition(&r), S_OK);
  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  r = {200, 150, 600, 450};  // same size: the position only
  ASSERT_EQ(view->SetViewPosition(&r), S_OK);
  EXPECT_EQ(WrittenAddresses(), (std::vector<int>{0x5040}));
  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  r = {200, 150, 700, 550};  // same position: the size only
  ASSERT_EQ(view->SetViewPosition(&r), S_OK);
  EXPECT_EQ(WrittenAddresses(), (std::vector<int>{0x5160}));

  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  r = {1166, 150, 1566, 450};  // past the right edge: crop offsets, the clipped view
  ASSERT_EQ(view->SetViewPosition(&r), S_OK);
  const auto writes = Requests("write");
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0].addr, 0x5034);
  // 1.8 source pixels per view pixel, 200 cut: trunc(-359.5) = -359, rounded down to even.
  EXPECT_EQ(((writes[0].data[2] & 7) << 8) | writes[0].data[3], 358);
  RECT got = {};
  EXPECT_EQ(view->GetViewPosition(&got), S_OK);
  EXPECT_EQ(got.left, 1166);

  EXPECT_EQ(view->SetZoomMode(1), S_FALSE);  // wide only when the view is the panel
  r = {0, 0, 1366, 768};
  ASSERT_EQ(view->SetViewPosition(&r), S_OK);
  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  ASSERT_EQ(view->SetZoomMode(1), S_OK);
  const auto zoom = Requests("write");
  ASSERT_EQ(zoom.size(), 2u);
  EXPECT_EQ(zoom[0].addr, 0x5150);
  EXPECT_EQ(zoom[0].data[0], 0xDC);  // strobe set, then cleared
  EXPECT_EQ(zoom[1].data[0], 0x5C);
  EXPECT_EQ(zoom[1].data[3], 0x88);
  long on = 0;
  EXPECT_EQ(view->GetZoomMode(&on), S_OK);
  EXPECT_EQ(on, 1);
  EXPECT_EQ(view->Uninitialize(0), S_OK);
}

TEST_F(ControlObject, AViewWithoutAreaIsTakenLikeOneOffThePanelAndNotKept) {
  ComPtr<IVideoView> view;
  ASSERT_EQ(CHighQualityVideoControl::Create(nullptr, IID_PPV_ARGS(&view), setup_), S_OK);
  ASSERT_EQ(view->Initialize(0), S_OK);
  RECT shown = {100, 100, 500, 400};
  ASSERT_EQ(view->SetViewPosition(&shown), S_OK);
  const RECT noArea[] = {
      {500, 500, 10, 10},    // inverted both ways, its corners on the panel
      {100, 400, 500, 100},  // inverted height
      {300, 100, 300, 400},  // no width
      {100, 200, 500, 200},  // no height
  };
  for (RECT r : noArea) {
    SCOPED_TRACE(testing::Message() << r.left << "," << r.top << "," << r.right << "," << r.bottom);
    ASSERT_EQ(board_.Command("clear-log"), S_OK);
    EXPECT_EQ(view->SetViewPosition(&r), S_OK);
    EXPECT_TRUE(WrittenAddresses().empty());
    RECT got = {};
    EXPECT_EQ(view->GetViewPosition(&got), S_OK);
    EXPECT_EQ(std::vector<LONG>({got.left, got.top, got.right, got.bottom}), std::vector<LONG>({100, 100, 500, 400}));
  }
  EXPECT_EQ(view->Uninitialize(0), S_OK);
}
