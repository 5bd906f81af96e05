#include "board/board_controller.h"

#include <algorithm>
#include <cstdlib>

#include "common/errors.h"
#include "common/format.h"
#include "common/hresult.h"
#include "common/registry.h"

namespace board {

namespace {

// The read-back list in its order; the first object caches these, the last one writes them back.
constexpr struct {
  std::uint16_t start;
  std::size_t size;
} kReadBack[] = {{0x4000, 133}, {0xA700, 130}, {0x5000, 16}, {0x5010, 16}, {0x505C, 1}, {0x506A, 2},
                 {0x50EE, 23},  {0x50E4, 1},   {0x50E5, 6},  {0x5150, 16}, {0x5136, 2}, {0x505D, 3},
                 {0x5095, 1},   {0x5034, 8},   {0x5160, 4},  {0x5040, 4}};
constexpr std::uint16_t kPanelId = 0x5062;
constexpr std::uint16_t kCalibration = 0x5095;
constexpr std::uint16_t kStrobe = 0x50EE;

constexpr const wchar_t kDefaults[] = L"DEFALUT_VALUES";
constexpr const wchar_t kCommon[] = L"COMMON_PARAMETERS";

bool operator==(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
LONG Width(const RECT& r) { return r.right - r.left; }
LONG Height(const RECT& r) { return r.bottom - r.top; }

}  // namespace

BoardController::BoardController(ControllerSetup setup) : setup_(std::move(setup)) {
  for (const auto& b : kReadBack) {
    blocks_[b.start] = std::make_unique<RegisterBlock>(&thread_, b.start, b.size);
    readBackOrder_.push_back(b.start);
  }
  blocks_[kPanelId] = std::make_unique<RegisterBlock>(&thread_, kPanelId, 1);
  access_.Open(setup_.accessMutex.c_str());
  instance_.SetName(setup_.instanceMutex.c_str());
  viewOwner_.SetName(setup_.viewOwnerMutex.c_str());
}

BoardController::~BoardController() { thread_.Stop(); }

long BoardController::Option(const wchar_t* key) const {
  long value = 0;
  return settings_.ReadInt(kDefaults, key, &value) ? value : 0;
}

DWORD BoardController::DelayOption(const wchar_t* key) const {
  const long value = Option(key);
  return value <= 0 ? 0 : std::min(static_cast<DWORD>(value), setup_.delayLimit);
}

BYTE* BoardController::CacheArea(std::uint16_t start) {
  if (!cacheOpen_) return nullptr;
  std::size_t offset = sizeof(LONG);
  for (const auto& b : kReadBack) {
    if (b.start == start) return registerCache_.As<BYTE>() + offset;
    offset += b.size;
  }
  return nullptr;
}

// --- Shadow of the register blocks ------------------------------------------------------------

bool BoardController::Store(std::uint16_t address, int width, std::uint32_t value) {
  for (auto& [start, block] : blocks_) {
    if (start != kPanelId && block->Store(address, width, value)) {
      pending_.insert(start);
      return true;
    }
  }
  return false;
}

bool BoardController::FlushPending() {
  bool ok = true;
  for (std::uint16_t start : pending_) ok &= SUCCEEDED(Block(start).Write());
  pending_.clear();
  return ok;
}

// --- Calibration-mode bracket ------------------------------------------------------------------
// Reading taken: the bracket (mode 1 before, unless the shadow holds 1 already; mode 2 after)
// runs only when UTILIZE_CAL_MODE is on, and only around the operations whose text names it:
// mute, the colour key, the colour-format switch (mode 4 before its re-allocation) and the
// settings-section step. ShowView and the ProcAmp writes have none. The teardown writes modes
// 4 and the saved mode whatever the setting, as its text lists them without a condition.

HRESULT BoardController::WriteCalibrationMode(BYTE mode) {
  RegisterBlock& block = Block(kCalibration);
  if ((block.data()[0] & 0x07) == mode) return S_OK;  // a write of the current mode is skipped
  block.data()[0] = static_cast<BYTE>((block.data()[0] & ~0x07) | mode);
  const HRESULT hr = block.Write();
  // After a mode of 2, 3 or 4 the board is back in mode 1 as far as the shadow knows.
  if (SUCCEEDED(hr) && mode >= 2) block.data()[0] = static_cast<BYTE>((block.data()[0] & ~0x07) | 1);
  return hr;
}

HRESULT BoardController::BracketBegin(BYTE mode) {
  return calibrationMode_ ? WriteCalibrationMode(mode) : S_OK;
}

HRESULT BoardController::BracketEnd() { return calibrationMode_ ? WriteCalibrationMode(2) : S_OK; }

HRESULT BoardController::Strobe() {
  RegisterBlock& block = Block(kStrobe);
  block.data()[0] |= 0x80;
  const HRESULT hr = block.Write();
  block.data()[0] &= 0x7F;
  if (SUCCEEDED(hr) && reallocDelay_ > 0) Sleep(reallocDelay_);
  return hr;
}

// --- Construction and release -----------------------------------------------------------------

HRESULT BoardController::ReadBack() {
  for (std::uint16_t start : readBackOrder_) RETURN_IF_FAILED(Block(start).Read());
  return S_OK;
}

HRESULT BoardController::InitializeBoard() {
  if (RegistryKeyPath(WideString(setup_.enableKey)).ReadDword(WideString(L"Kelv2"), 0) != 1)
    return errors::kBoardNotEnabled;
  if (FAILED(thread_.Start()) || thread_.OpenPort() != 1) return errors::kBoardPortNotOpened;
  portOpen_ = true;
  RegisterBlock& panel = Block(kPanelId);
  if (FAILED(panel.Read())) return errors::kBoardPanelUnreadable;
  panelId_ = panel.data()[0];
  const std::wstring name = PanelSettings::FileNameForPanel(panelId_);
  if (FAILED(settings_.Load(name.c_str(), setup_.settingsDirectory.empty() ? nullptr : setup_.settingsDirectory.c_str())) ||
      !settings_.CheckSchema())
    return errors::kBoardNotAnswering;
  if (FAILED(ReadBack())) {
    std::vector<RegisterBlock*> list;
    for (std::uint16_t start : readBackOrder_) list.push_back(&Block(start));
    if (FAILED(ResetBoard(thread_, 1, list))) return errors::kBoardNotAnswering;
  }
  std::size_t cacheSize = sizeof(LONG);
  for (const auto& b : kReadBack) cacheSize += b.size;
  if (FAILED(viewState_.Create(setup_.viewStateSection.c_str(), 0, sizeof(BoardViewStateLayout))) ||
      FAILED(registerCache_.Create(setup_.registerCacheSection.c_str(), 0, static_cast<DWORD>(cacheSize))))
    return E_UNEXPECTED;
  viewStateOpen_ = cacheOpen_ = true;
  ++viewState_.As<BoardViewStateLayout>()->refs;
  ++*registerCache_.As<LONG>();
  reallocDelay_ = DelayOption(L"MEMORY_REALLOC_DELAY");
  ioMuteDelay_ = DelayOption(L"IO_MUTE_DELAY");
  calibrationMode_ = Option(L"UTILIZE_CAL_MODE") > 0;
  controlColorFormat_ = Option(L"CONTROL_COLORFORMAT") > 0;
  return S_OK;
}

HRESULT BoardController::Construct() {
  LockGuard guard(access_, INFINITE);
  if (!guard.owns()) return E_UNEXPECTED;
  const bool first = !instance_.AlreadyExists();
  RETURN_IF_FAILED(InitializeBoard());
  if (first) RETURN_IF_FAILED(FirstInstanceSetup());
  if (!instance_.Create()) return E_FAIL;
  instanceRegistered_ = true;
  long v[7] = {};
  const wchar_t* keys[6] = {L"LIMIT_SRCACT_LEFT", L"LIMIT_SRCACT_TOP", L"LIMIT_SRCACT_WIDTH",
                            L"LIMIT_SRCACT_HEIGTH", L"PANEL_WIDTH", L"PANEL_HEIGHT"};
  for (int i = 0; i < 6; ++i) settings_.ReadInt(kCommon, keys[i], &v[i]);
  settings_.ReadInt(L"MEASURES_TO_DISTORTED_PICTUE", L"SRC_HEIGHT_LOWER_LIMITS", &v[6]);
  sourceOrigin_ = {v[0], v[1]};
  sourceSize_ = {0, 0, v[2], v[3]};
  panel_ = {0, 0, v[4], v[5]};
  sourceHeightLowerLimit_ = v[6];
  // The view the board shows now.
  const BYTE* pos = Block(0x5040).data();
  const BYTE* size = Block(0x5160).data();
  const LONG x = ((pos[0] & 7) << 8) | pos[1], y = ((pos[2] & 7) << 8) | pos[3];
  const LONG w = ((size[0] & 7) << 8) | size[1], h = ((size[2] & 7) << 8) | size[3];
  currentView_ = {x, y, x + w, y + h};
  if (first) {
    // The source the board shows now (width 12 bits, height 11, origin 9 each): a board that
    // shows another source than the settings' full one gets the first SetSource written.
    const BYTE* src = Block(0x5000).data();
    const LONG sx = (((src[6] & 1) << 8) | src[7]) - sourceOrigin_.x;
    const LONG sy = (((src[8] & 1) << 8) | src[9]) - sourceOrigin_.y;
    currentSource_ = {sx, sy, sx + (((src[2] & 0x0F) << 8) | src[3]), sy + (((src[4] & 7) << 8) | src[5])};
    std::copy(&currentSource_.left, &currentSource_.left + 4, &State(1));
    std::copy(&currentView_.left, &currentView_.left + 4, &State(5));
  } else {
    currentSource_ = {State(1), State(2), State(3), State(4)};
  }
  return S_OK;
}

HRESULT BoardController::FirstInstanceSetup() {
  if (!viewStateOpen_ || !cacheOpen_) return E_UNEXPECTED;
  Block(kStrobe).data()[0] &= 0x7F;
  for (const auto& b : kReadBack) {
    BYTE* area = CacheArea(b.start);
    if (!area) return E_FAIL;
    std::copy_n(Block(b.start).data(), b.size, area);
  }
  HRESULT hr = [&]() -> HRESULT {
    RegisterBlock& crop = Block(0x5034);
    std::fill_n(crop.data(), crop.size(), 0);
    RETURN_IF_FAILED(crop.Write());
    long key = 0;
    if (!settings_.ReadInt(kDefaults, L"DEFAULT_COLORKEY", &key)) return E_UNEXPECTED;
    State(9) = key;
    RETURN_IF_FAILED(WriteColorKey(static_cast<DWORD>(key)));
    LONG current = 0;
    RETURN_IF_FAILED(ReadColorFormat(&current));
    State(0) = State(10) = current;
    long wanted = current;
    settings_.ReadInt(kDefaults, L"DEFAULT_COLORFORMAT", &wanted);
    if (wanted == -1) wanted = current;
    // Another format goes through SetColorFormat whole: a number that names no format is
    // refused there (and the set-up undone below) instead of reaching the board as one.
    return wanted == current ? ApplyFormatSection(current) : SetColorFormat(wanted);
  }();
  if (SUCCEEDED(hr)) return S_OK;
  if (FAILED(LastInstanceTeardown())) ResetBoard(thread_, 0, {});
  return E_UNEXPECTED;
}

HRESULT BoardController::LastInstanceTeardown() {
  if (!portOpen_) return S_OK;
  if (!viewStateOpen_ || !cacheOpen_) return E_FAIL;
  bool ok = SUCCEEDED(WriteMute(true));
  ok &= SUCCEEDED(SetColorFormat(State(10)));
  if (calibrationMode_) ok &= SUCCEEDED(WriteCalibrationMode(1));
  for (std::uint16_t start : readBackOrder_) {
    if (start == kCalibration) continue;
    ok &= SUCCEEDED(CopyBackFromCache(start));
  }
  ok &= SUCCEEDED(WriteCalibrationMode(4));
  ok &= SUCCEEDED(Strobe());
  const BYTE* saved = CacheArea(kCalibration);
  ok &= saved && SUCCEEDED(WriteCalibrationMode(saved[0] & 0x07));
  return ok ? S_OK : E_FAIL;
}

HRESULT BoardController::Release() {
  LockGuard guard(access_, INFINITE);
  HRESULT hr = S_OK;
  const bool wasRegistered = instanceRegistered_;
  instance_.Close();
  instanceRegistered_ = false;
  if (wasRegistered && !instance_.AlreadyExists()) hr = LastInstanceTeardown();
  if (viewStateOpen_) --viewState_.As<BoardViewStateLayout>()->refs;
  if (cacheOpen_) --*registerCache_.As<LONG>();
  viewState_.Close();
  registerCache_.Close();
  viewStateOpen_ = cacheOpen_ = false;
  viewOwner_.Close();
  viewInitialized_ = false;
  if (portOpen_) thread_.ClosePort();
  portOpen_ = false;
  thread_.Stop();
  return hr;
}

HRESULT BoardController::CopyBackFromCache(std::uint16_t start) {
  const BYTE* area = CacheArea(start);
  if (!area) return E_FAIL;
  RegisterBlock& block = Block(start);
  std::copy_n(area, block.size(), block.data());
  return block.Write();
}

// --- Colour format -----------------------------------------------------------------------------

HRESULT BoardController::ReadColorFormat(LONG* format) {
  RETURN_IF_FAILED(Block(0x506A).Read());
  const BYTE code = Block(0x506A).data()[1] & 0x0F;
  if (code == 1 || code == 2) return *format = kYuv422, S_OK;
  if (code == 3 || code == 4) return *format = kRgb, S_OK;
  if (code > 4) return E_FAIL;
  RETURN_IF_FAILED(Block(0x5010).Read());
  const BYTE space = (Block(0x5010).data()[1] >> 3) & 0x03;
  *format = space == 0 || space == 2 ? kYuv444 : kRgb;
  return S_OK;
}

HRESULT BoardController::ApplyFormatSection(LONG format) {
  const wchar_t* section = L"FULLSCREEN_SETTING";
  if (format != kYuv422) {
    RETURN_IF_FAILED(CopyBackFromCache(0x4000));
    RETURN_IF_FAILED(CopyBackFromCache(0xA700));
    section = L"WINDOWMODE_SETTING";
  }
  RETURN_IF_FAILED(settings_.ApplySection(section, *this));
  long set = 0, t1 = 0, t2 = 0;
  if (settings_.ReadInt(section, L"IO_SYNC_SET", &set)) {
    if (!settings_.ReadInt(section, L"IO_SYNC_THRESH1", &t1) || !settings_.ReadInt(section, L"IO_SYNC_THRESH2", &t2))
      t1 = t2 = 0;
    BYTE* sync = Block(0x505D).data();
    sync[0] = static_cast<BYTE>((sync[0] & 0xC0) | ((set & 7) << 3) | (t1 & 7));
    sync[1] = static_cast<BYTE>((sync[1] & 0xFE) | ((t2 >> 8) & 1));
    sync[2] = static_cast<BYTE>(t2 & 0xFF);
    RETURN_IF_FAILED(Block(0x505D).Write());
  }
  RETURN_IF_FAILED(BracketEnd());
  State(0) = format;
  // FULLSCREEN_SETTING is what the board holds now: the distortion check's last answer is
  // "measure off", and only a check that turns the measure on writes a section again.
  if (format == kYuv422) distortionApplied_ = 0;
  return S_OK;
}

HRESULT BoardController::ChangeColorFormat(LONG format) {
  const BYTE code = format == kYuv422 ? 2 : 0;
  const BYTE space = format == kRgb ? 1 : 2;
  if (controlColorFormat_) {
    const bool ok = [&] {
      if (FAILED(BracketBegin(1))) return false;
      BYTE* mute = Block(0x5136).data();
      mute[0] = static_cast<BYTE>((mute[0] & ~0x07) | 0x01 | 0x04);
      if (FAILED(Block(0x5136).Write())) return false;
      if (ioMuteDelay_ > 0) Sleep(ioMuteDelay_);
      BYTE* cs = Block(0x5010).data();
      cs[1] = static_cast<BYTE>((cs[1] & ~0x18) | (space << 3));
      if (FAILED(Block(0x5010).Write())) return false;
      BYTE* fc = Block(0x506A).data();
      fc[1] = static_cast<BYTE>((fc[1] & ~0x0F) | code);
      if (FAILED(Block(0x506A).Write())) return false;
      if (FAILED(BracketBegin(4))) return false;
      if (FAILED(Strobe())) return false;
      mute[0] = static_cast<BYTE>(mute[0] & ~0x04);
      Block(0x5136).Write();  // its failure does not undo the switch
      return true;
    }();
    if (!ok) return E_FAIL;
  }
  return ApplyFormatSection(format);
}

HRESULT BoardController::SetColorFormat(LONG format) {
  if (format < kYuv422 || format > kRgb) return E_INVALIDARG;
  LockGuard guard(access_, INFINITE);
  if (!viewStateOpen_) return E_UNEXPECTED;
  const LONG before = State(0);
  if (format == before) return S_OK;
  RETURN_IF_FAILED(ChangeColorFormat(format));
  const RECT view = {State(5), State(6), State(7), State(8)};
  // No view stored yet (the first object's set-up switches before it knows the panel): an
  // empty view is no panel's, and there is nothing to set again.
  if (format != kYuv422 || Width(view) <= 0 || Height(view) <= 0 || !(view == panel_)) return S_OK;
  // Back to YUV422 on the whole panel: the board's geometry is read again, then the stored
  // source and view are set anew (source first).
  for (std::uint16_t start : {0x5000, 0x506A, 0x50EE, 0x5034, 0x5160, 0x5040})
    RETURN_IF_FAILED(Block(static_cast<std::uint16_t>(start)).Read());
  const RECT source = {State(1), State(2), State(3), State(4)};
  // A stored source this object cannot set (the board's power-on registers as the first object
  // decoded them, or another object's larger source) is left alone like an empty one: the
  // format has changed, and the answer must say so.
  if (Width(source) <= 0 || Height(source) <= 0 || !InSourceSize(source)) return S_OK;
  currentSource_ = currentView_ = RECT{};
  RETURN_IF_FAILED(SetSource(source));
  return SetView(view);
}

HRESULT BoardController::GetColorFormat(LONG* format) {
  if (!format) return E_POINTER;
  LockGuard guard(access_, INFINITE);
  if (!viewStateOpen_) return E_UNEXPECTED;
  *format = State(0);
  return S_OK;
}

// --- Colour key, mute, view flags -------------------------------------------------------------

std::array<BYTE, 6> BoardController::ColorKeyWindow(DWORD color) {
  const int r = color & 0xFF, g = (color >> 8) & 0xFF, b = (color >> 16) & 0xFF;
  const int y = (r * 306 + g * 601 + b * 117) >> 10;
  const int cb = (b * 512 - g * 339 - r * 173) / 1024;  // C++ division truncates toward zero
  const int cr = (r * 512 - g * 429 - b * 83) / 1024;
  const auto upper = [](int v) { return static_cast<BYTE>(v > 125 ? 255 : v + 129); };
  return {static_cast<BYTE>(cr + 127),         static_cast<BYTE>(std::max(y - 1, 0)),
          static_cast<BYTE>(cb + 127),         upper(cr),
          static_cast<BYTE>(y > 253 ? 255 : y + 1), upper(cb)};
}

HRESULT BoardController::WriteColorKey(DWORD color) {
  const auto window = ColorKeyWindow(color);
  std::copy(window.begin(), window.end(), Block(0x50E5).data());
  RETURN_IF_FAILED(BracketBegin());
  RETURN_IF_FAILED(Block(0x50E5).Write());
  RETURN_IF_FAILED(BracketEnd());
  if (viewStateOpen_) State(9) = static_cast<LONG>(color);
  return S_OK;
}

HRESULT BoardController::WriteMute(bool muted) {
  BYTE& picture = Block(0x50E4).data()[0];
  picture = static_cast<BYTE>(muted ? picture & ~0x01 : picture | 0x01);
  RETURN_IF_FAILED(BracketBegin());
  RETURN_IF_FAILED(Block(0x50E4).Write());
  return BracketEnd();
}

HRESULT BoardController::InitializeView() {
  LockGuard guard(access_, INFINITE);
  // The view-owner mutex exists while anyone holds the view, this object included.
  if (viewInitialized_) return errors::kBoardViewHeld;
  // One atomic create: an owner elsewhere is refused, never raced.
  const HRESULT hr = viewOwner_.CreateExclusive();
  if (hr == S_FALSE) return errors::kBoardViewHeld;
  if (FAILED(hr)) return E_FAIL;
  viewInitialized_ = true;
  return S_OK;
}

HRESULT BoardController::UninitializeView() {
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return S_OK;
  const RECT home = {0, 0, 720, 480};
  if (SUCCEEDED(SetView(home)) && viewStateOpen_) std::copy(&home.left, &home.left + 4, &State(5));
  viewOwner_.Close();
  viewInitialized_ = false;
  return S_OK;
}

HRESULT BoardController::ShowView(LONG show) {
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return errors::kBoardNotInit;
  BYTE& flags = Block(0x505C).data()[0];
  flags = static_cast<BYTE>(show ? flags | 0x04 : flags & ~0x04);
  return Block(0x505C).Write();  // a failed write is reported (it used to read as success)
}

HRESULT BoardController::IsShowView(LONG* show) {
  if (!show) return E_POINTER;
  LockGuard guard(access_, INFINITE);
  *show = (Block(0x505C).data()[0] & 0x04) ? 1 : 0;
  return S_OK;
}

HRESULT BoardController::SetColorKey(DWORD color) {
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return errors::kBoardNotInit;
  return WriteColorKey(color);
}

HRESULT BoardController::GetColorKey(DWORD* color) {
  if (!color) return E_POINTER;
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return errors::kBoardNotInit;
  if (!viewStateOpen_) return E_UNEXPECTED;
  *color = static_cast<DWORD>(State(9));
  return S_OK;
}

HRESULT BoardController::MuteTv(LONG enable) {
  LockGuard guard(access_, INFINITE);
  // A failed write is reported (it used to read as success).
  return WriteMute(enable != 0);
}

HRESULT BoardController::IsMuteTv(LONG* enable) {
  if (!enable) return E_POINTER;
  LockGuard guard(access_, INFINITE);
  RETURN_IF_FAILED(Block(0x50E4).Read());  // a failed read is reported, never "muted"
  *enable = (Block(0x50E4).data()[0] & 0x01) ? 0 : 1;
  return S_OK;
}

HRESULT BoardController::ResetOstrel() {
  LockGuard guard(access_, INFINITE);
  return ResetBoard(thread_, 0, {});
}

// --- Settings answers --------------------------------------------------------------------------

HRESULT BoardController::GetAvailableDestSize(SIZE* minimum, SIZE* maximum) {
  if (!minimum || !maximum) return E_POINTER;
  LockGuard guard(access_, INFINITE);
  long v[4] = {};
  const wchar_t* keys[4] = {L"AVAILABEL_DEST_MIN_WIDTH", L"AVAILABEL_DEST_MIN_HEIGHT",
                            L"AVAILABEL_DEST_MAX_WIDTH", L"AVAILABEL_DEST_MAX_HEIGHT"};
  for (int i = 0; i < 4; ++i)
    if (!settings_.ReadInt(kCommon, keys[i], &v[i])) return E_FAIL;
  *minimum = {v[0], v[1]};
  *maximum = {v[2], v[3]};
  return S_OK;
}

HRESULT BoardController::GetDisplayPanelId(BYTE* id) {
  if (!id) return E_POINTER;
  *id = panelId_;
  return S_OK;
}

HRESULT BoardController::GetDisplayPanelSize(LONG* height, LONG* width) {
  if (!height || !width) return E_POINTER;
  LockGuard guard(access_, INFINITE);
  long h = 0, w = 0;
  if (!settings_.ReadInt(kCommon, L"PANEL_HEIGHT", &h) || !settings_.ReadInt(kCommon, L"PANEL_WIDTH", &w)) return E_FAIL;
  *height = h;
  *width = w;
  return S_OK;
}

// --- ProcAmp -----------------------------------------------------------------------------------

HRESULT BoardController::InitializeProperty() {
  LockGuard guard(access_, INFINITE);
  if (propertyInitialized_) return E_FAIL;
  propertyInitialized_ = true;
  return S_OK;
}

HRESULT BoardController::UninitializeProperty() {
  LockGuard guard(access_, INFINITE);
  propertyInitialized_ = false;
  return S_OK;
}

HRESULT BoardController::GetAvailableProcAmpControl(LONG* property) {
  if (!property) return E_POINTER;
  if (*property < 0) {
    *property = kProcAmpProperties;
    return S_OK;
  }
  return ProcAmp(*property).width > 0 ? S_OK : S_FALSE;
}

HRESULT BoardController::GetProcAmpControlRange(LONG property, LONG* minimum, LONG* maximum) {
  if (!minimum || !maximum) return E_POINTER;
  const ProcAmpRow& row = ProcAmp(property);
  if (row.width <= 0) return S_FALSE;
  *minimum = row.minimum;
  *maximum = row.maximum;
  return S_OK;
}

HRESULT BoardController::GetProcAmpControl(LONG property, LONG* value, LONG flush) {
  LockGuard guard(access_, INFINITE);
  if (!propertyInitialized_) return errors::kBoardNotInit;
  if (flush == 1 && (FAILED(Block(0x4000).Read()) || FAILED(Block(0xA700).Read()))) return E_FAIL;
  const ProcAmpRow& row = ProcAmp(property);
  if (row.width <= 0) return E_INVALIDARG;
  if (!value) return E_POINTER;
  for (std::uint16_t start : {std::uint16_t{0x4000}, std::uint16_t{0xA700}}) {
    std::uint32_t v = 0;
    if (Block(start).Load(row.address, row.width, &v)) {
      *value = static_cast<LONG>(v);
      return S_OK;
    }
  }
  return E_FAIL;
}

HRESULT BoardController::SetProcAmpControl(LONG property, LONG value, LONG flush) {
  LockGuard guard(access_, INFINITE);
  if (!propertyInitialized_) return errors::kBoardNotInit;
  const ProcAmpRow& row = ProcAmp(property);
  if (row.width <= 0 || value < row.minimum || value > row.maximum) return E_INVALIDARG;
  if (!Store(row.address, row.width, static_cast<std::uint32_t>(value))) return E_FAIL;
  if (flush == 1 && !FlushPending()) return E_FAIL;
  return S_OK;
}

}  // namespace board

// --- View geometry -------------------------------------------------------------------------------

namespace board {

namespace {

// Whether two rectangles share an area: an empty or inverted one meets nothing.
bool Meets(const RECT& a, const RECT& b) {
  return std::max(a.left, b.left) < std::min(a.right, b.right) && std::max(a.top, b.top) < std::min(a.bottom, b.bottom);
}
RECT Clip(const RECT& r, const RECT& to) {
  return {std::max(r.left, to.left), std::max(r.top, to.top), std::min(r.right, to.right), std::min(r.bottom, to.bottom)};
}
// An 11-bit (or wider) value as the board holds it: high bits in the even byte's low bits.
void Put11(BYTE* at, LONG value, BYTE highMask = 0x07) {
  at[0] = static_cast<BYTE>((at[0] & ~highMask) | ((value >> 8) & highMask));
  at[1] = static_cast<BYTE>(value & 0xFF);
}
LONG Get11(const BYTE* at) { return ((at[0] & 7) << 8) | at[1]; }

}  // namespace

HRESULT BoardController::CropOffsets(const RECT& view, const RECT& clipped, const RECT& source, LONG out[4]) {
  if (Width(view) <= 0 || Height(view) <= 0) return E_INVALIDARG;  // never divide by them
  const double sx = static_cast<double>(Width(source)) / Width(view);
  const double sy = static_cast<double>(Height(source)) / Height(view);
  const auto moved = [](double scale, LONG distance) { return static_cast<LONG>(scale * distance + 0.5); };
  const LONG left = std::abs(moved(sx, clipped.left - view.left));
  const LONG right = std::abs(moved(sx, clipped.right - view.right));
  out[0] = left & ~1;
  out[1] = right & ~1;
  out[2] = std::abs(moved(sy, clipped.top - view.top));
  out[3] = std::abs(moved(sy, clipped.bottom - view.bottom));
  return S_OK;
}

HRESULT BoardController::WriteCrop(const LONG offsets[4]) {
  RegisterBlock& crop = Block(0x5034);
  for (int i = 0; i < 4; ++i) Put11(crop.data() + 2 * i, offsets[i]);
  return crop.Write();
}

HRESULT BoardController::DistortionCheck(const RECT& view, LONG sourceHeight) {
  const bool applies = Width(view) == Width(panel_) && Height(view) == Height(panel_) &&
                       sourceHeight <= sourceHeightLowerLimit_;
  if (!viewStateOpen_ || State(0) != kYuv422 || distortionApplied_ == static_cast<int>(applies)) return S_OK;
  distortionApplied_ = applies;
  return settings_.ApplySection(applies ? L"MEASURES_TO_DISTORTED_PICTUE" : L"FULLSCREEN_SETTING", *this);
}

bool BoardController::InSourceSize(const RECT& rect) const {
  return rect.left >= 0 && rect.top >= 0 && rect.right <= sourceSize_.right && rect.bottom <= sourceSize_.bottom &&
         rect.left <= rect.right && rect.top <= rect.bottom;
}

HRESULT BoardController::SetSource(const RECT& rect) {
  if (!InSourceSize(rect)) return E_INVALIDARG;
  if (rect == currentSource_) return S_OK;
  const RECT clipped = Clip(currentView_, panel_);
  LONG visibleHeight = Height(rect);  // the rows of the source the panel shows
  if (viewClipped_ && Meets(currentView_, panel_)) {
    LONG offsets[4];
    RETURN_IF_FAILED(CropOffsets(currentView_, clipped, rect, offsets));
    RETURN_IF_FAILED(WriteCrop(offsets));
    visibleHeight -= offsets[2] + offsets[3];
  }
  RETURN_IF_FAILED(DistortionCheck(clipped, visibleHeight));
  RETURN_IF_FAILED(SetZoom(false));
  BYTE* s = Block(0x5000).data();
  Put11(s + 2, Width(rect), 0x0F);
  Put11(s + 4, Height(rect));
  Put11(s + 6, rect.left + sourceOrigin_.x, 0x01);
  Put11(s + 8, rect.top + sourceOrigin_.y, 0x01);
  RETURN_IF_FAILED(BracketBegin());
  RETURN_IF_FAILED(Block(0x5000).Write());
  RETURN_IF_FAILED(BracketEnd());
  currentSource_ = rect;
  return S_OK;
}

HRESULT BoardController::SetView(const RECT& rect) {
  if (rect == currentView_) return S_OK;
  if (!Meets(rect, panel_)) {
    viewOffPanel_ = true;  // nothing to show on the panel: nothing written
    return S_OK;
  }
  const RECT clipped = Clip(rect, panel_);
  LONG visibleHeight = Height(currentSource_);  // the rows of the source the panel shows
  if (!(clipped == rect)) {
    LONG offsets[4];
    RETURN_IF_FAILED(CropOffsets(rect, clipped, currentSource_, offsets));
    RETURN_IF_FAILED(WriteCrop(offsets));
    viewClipped_ = true;
    visibleHeight -= offsets[2] + offsets[3];
  } else if (viewClipped_) {
    const LONG zero[4] = {};
    RETURN_IF_FAILED(WriteCrop(zero));
    viewClipped_ = false;
  }
  BYTE* pos = Block(0x5040).data();
  BYTE* size = Block(0x5160).data();
  const bool sameSize = Get11(size) == Width(clipped) && Get11(size + 2) == Height(clipped);
  const bool samePosition = Get11(pos) == clipped.left && Get11(pos + 2) == clipped.top;
  RETURN_IF_FAILED(SetZoom(false));
  RETURN_IF_FAILED(BracketBegin());
  if (!sameSize) RETURN_IF_FAILED(DistortionCheck(clipped, visibleHeight));
  if (!samePosition || sameSize) {
    Put11(pos, clipped.left);
    Put11(pos + 2, clipped.top);
    RETURN_IF_FAILED(Block(0x5040).Write());
  }
  if (!sameSize) {
    Put11(size, Width(clipped));
    Put11(size + 2, Height(clipped));
    RETURN_IF_FAILED(Block(0x5160).Write());
  }
  RETURN_IF_FAILED(BracketEnd());
  currentView_ = rect;
  viewOffPanel_ = false;
  return S_OK;
}

HRESULT BoardController::WideZoomBytes(const std::wstring& hnls, LONG left, LONG right, LONG panelLeft,
                                       LONG panelRight, BYTE b[16]) {
  long p[7] = {};
  std::size_t start = 0;
  for (int i = 0; i < 7; ++i) {
    if (start > hnls.size()) return E_FAIL;  // fewer than seven numbers
    const std::size_t comma = hnls.find(L',', start);
    const std::wstring item = hnls.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
    if (item.find_first_not_of(L" \t") == std::wstring::npos) return E_FAIL;
    p[i] = ParseIntValue(item);
    start = comma == std::wstring::npos ? hnls.size() + 1 : comma + 1;
  }
  const long p0 = static_cast<std::uint16_t>(p[0]), p1 = static_cast<std::uint16_t>(p[1]);
  if (p1 == 0) return E_FAIL;  // a zero divisor from the settings file
  // 64-bit: a wide panel from the settings file times a large p0 passes the 32-bit range.
  const long long c = p0 * (static_cast<long long>(right) - left) / p1;
  const long long firstWide = std::max<long long>(left + c, panelLeft);
  const long long lastWide = std::min<long long>(right - c, panelRight);
  if (lastWide < firstWide) return E_FAIL;
  const LONG first = static_cast<LONG>(firstWide), last = static_cast<LONG>(lastWide);  // within the panel
  b[3] = static_cast<BYTE>(first & 0xFF);
  b[2] = static_cast<BYTE>((b[2] & ~7) | ((first >> 8) & 7));
  b[5] = static_cast<BYTE>(last & 0xFF);
  b[4] = static_cast<BYTE>((b[4] & ~7) | ((last >> 8) & 7));
  b[1] = static_cast<BYTE>((b[1] & ~1) | (p[2] < 0 ? 1 : 0));
  const unsigned long magnitude = p[2] < 0 ? 0UL - static_cast<unsigned long>(p[2]) : static_cast<unsigned long>(p[2]);
  b[9] = static_cast<BYTE>((b[9] & ~0x1F) | ((magnitude >> 16) & 0x1F));
  b[10] = static_cast<BYTE>((magnitude >> 8) & 0xFF);
  b[11] = static_cast<BYTE>(magnitude & 0xFF);
  for (int i = 0; i < 4; ++i) b[12 + i] = static_cast<BYTE>(p[3 + i]);
  b[7] = 0;
  b[6] = static_cast<BYTE>(b[6] & ~0x1F);
  b[0] = static_cast<BYTE>((b[0] & ~0x03) | 0x04 | 0x80);
  return S_OK;
}

HRESULT BoardController::SetZoom(bool on) {
  RegisterBlock& zoom = Block(0x5150);
  if (((zoom.data()[0] & 0x04) != 0) == on) return S_OK;
  if (on) {
    if (!(currentView_ == panel_)) return S_FALSE;  // wide only on the whole panel
    std::wstring hnls;
    const std::wstring key = FormatW(L"HNLS_%3dX%3d", static_cast<int>(Width(currentSource_)),
                                     static_cast<int>(Height(currentSource_)));
    if (!settings_.ReadText(L"HNLS_PARAMTERS", key.c_str(), &hnls)) return E_FAIL;
    BYTE bytes[16];
    std::copy_n(zoom.data(), 16, bytes);
    RETURN_IF_FAILED(WideZoomBytes(hnls, currentView_.left, currentView_.right, panel_.left, panel_.right, bytes));
    std::copy_n(bytes, 16, zoom.data());
  } else {
    zoom.data()[0] = static_cast<BYTE>((zoom.data()[0] & ~0x06) | 0x80);
  }
  RETURN_IF_FAILED(zoom.Write());  // with the strobe bit set, then again without it
  zoom.data()[0] &= 0x7F;
  return zoom.Write();
}

HRESULT BoardController::SetZoomMode(LONG mode) {
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return errors::kBoardNotInit;
  // The state it has already, or wide zoom off the whole panel: nothing is written, the
  // calibration bracket included.
  const bool on = mode == 1;
  if (((Block(0x5150).data()[0] & 0x04) != 0) == on) return S_OK;
  if (on && !(currentView_ == panel_)) return S_FALSE;
  RETURN_IF_FAILED(BracketBegin());
  const HRESULT hr = SetZoom(on);
  if (FAILED(hr)) return hr;  // a failed write is reported (it used to read as success)
  const HRESULT end = BracketEnd();
  return FAILED(end) ? end : hr;
}

HRESULT BoardController::GetZoomMode(LONG* mode) {
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return errors::kBoardNotInit;
  if (!mode) return E_POINTER;
  *mode = (Block(0x5150).data()[0] & 0x04) ? 1 : 0;
  return S_OK;
}

HRESULT BoardController::SetSrcSize(const RECT* rect) {
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return E_FAIL;
  if (!rect) return E_POINTER;
  long maxW = 0, maxH = 0;
  settings_.ReadInt(kCommon, L"LIMIT_SRCACT_WIDTH", &maxW);
  settings_.ReadInt(kCommon, L"LIMIT_SRCACT_HEIGTH", &maxH);
  if (rect->left != 0 || rect->top != 0 || rect->right < 0 || rect->bottom < 0 || rect->right > maxW ||
      rect->bottom > maxH)
    return E_INVALIDARG;
  sourceSize_ = {0, 0, rect->right, rect->bottom};
  return SetSource(sourceSize_);
}

HRESULT BoardController::GetSrcSize(RECT* rect) {
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return E_FAIL;
  if (!rect) return E_POINTER;
  *rect = sourceSize_;
  return S_OK;
}

HRESULT BoardController::GetSrcPosition(RECT* rect) {
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return E_FAIL;
  if (!rect) return E_POINTER;
  *rect = currentSource_;
  return S_OK;
}

HRESULT BoardController::SetSrcPosition(const RECT* rect) {
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return E_FAIL;
  if (!rect) return E_POINTER;
  long minW = 0, minH = 0;
  if (!settings_.ReadInt(kCommon, L"MIN_SRCACT_WIDTH", &minW) || !settings_.ReadInt(kCommon, L"MIN_SRCACT_HEIGHT", &minH))
    return E_FAIL;
  if (Width(*rect) < minW || Height(*rect) < minH) return S_OK;  // too small: ignored
  RETURN_IF_FAILED(SetSource(*rect));
  if (viewStateOpen_) std::copy(&rect->left, &rect->left + 4, &State(1));
  return S_OK;
}

HRESULT BoardController::GetViewPosition(RECT* rect) {
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return E_FAIL;
  if (!rect) return E_POINTER;
  *rect = currentView_;
  return S_OK;
}

HRESULT BoardController::SetViewPosition(const RECT* rect) {
  LockGuard guard(access_, INFINITE);
  if (!viewInitialized_) return E_FAIL;
  if (!rect) return E_POINTER;
  // An empty or inverted rectangle has no area and so meets no panel: as a view wholly off the
  // panel it is taken with S_OK, and nothing is written, read back or shared.
  if (Width(*rect) <= 0 || Height(*rect) <= 0) return S_OK;
  if (viewStateOpen_ && State(0) == kYuv444) {
    long b[4] = {};
    const wchar_t* keys[4] = {L"MIN_VIEW_WIDTH", L"MAX_VIEW_WIDTH", L"MIN_VIEW_HEIGHT", L"MAX_VIEW_HEIGHT"};
    for (int i = 0; i < 4; ++i)
      if (!settings_.ReadInt(kCommon, keys[i], &b[i])) return E_FAIL;
    if (Width(*rect) < b[0] || Width(*rect) > b[1] || Height(*rect) < b[2] || Height(*rect) > b[3]) return S_OK;
  }
  RETURN_IF_FAILED(SetView(*rect));
  if (viewStateOpen_) std::copy(&rect->left, &rect->left + 4, &State(5));
  return S_OK;
}

}  // namespace board
