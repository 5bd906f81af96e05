// The board control's work behind its COM interfaces: board initialisation, the first
// object's set-up and the last object's teardown, the colour key, the colour-format switch,
// mute and view flags, and the ProcAmp registers, over the board link and the panel settings.
//
// Every operation holds the board-access mutex for its whole run (across all processes);
// the shared sections are touched only under it. Lock order: the board-access mutex, then the
// request thread's own request lock (taken inside each port request).
#pragma once

#include <windows.h>

#include <array>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "board/board_request_thread.h"
#include "board/panel_settings.h"
#include "board/register_block.h"
#include "common/locks.h"
#include "common/shared_memory.h"
#include "common/timeouts.h"

namespace board {

enum ColorFormat : LONG { kYuv422 = 0, kYuv444 = 1, kRgb = 2 };

// BoardViewState: a reference count, then [0] the colour format, [1..4] the source rectangle,
// [5..8] the view rectangle, [9] the colour key, [10] the format found at the first start.
struct BoardViewStateLayout {
  LONG refs;
  LONG values[11];
};
static_assert(sizeof(BoardViewStateLayout) == 48, "BoardViewState is shared across processes");

// Where the controller finds its outside world; tests point it elsewhere.
struct ControllerSetup {
  std::wstring enableKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn Corporation\\TunerBrdInfo";
  std::wstring settingsDirectory;  // empty: the module's own directory
  std::wstring accessMutex = L"Global\\3D9E8413-3A9E-4580-8403-DD1928BC9C82";
  std::wstring instanceMutex = L"Global\\146AB06B-F7A2-48e2-A747-86793D04CD5A";
  std::wstring viewOwnerMutex = L"Global\\E07157E3-3F81-4560-A261-F5360D4F785E";
  std::wstring viewStateSection = L"Global\\D3D84982-8B34-436d-8517-E3C2F6DBD454";
  std::wstring registerCacheSection = L"Global\\5CD8E6DD-7688-456d-9934-FF47EBB78CCE";
  // The longest MEMORY_REALLOC_DELAY / IO_MUTE_DELAY waited (in ms): the board-access mutex of
  // every process is held across them.
  DWORD delayLimit = timeouts::kBoardDelay;
};

class BoardController final : private RegisterShadow {
 public:
  explicit BoardController(ControllerSetup setup = {});
  ~BoardController();
  BoardController(const BoardController&) = delete;
  BoardController& operator=(const BoardController&) = delete;

  // Object construction and release (the first object of the system sets the board up, the
  // last one puts it back).
  HRESULT Construct();
  HRESULT Release();

  // View ownership (one holder in the whole system) and the view flags.
  HRESULT InitializeView();
  HRESULT UninitializeView();
  HRESULT ShowView(LONG show);
  HRESULT IsShowView(LONG* show);
  HRESULT SetColorKey(DWORD color);
  HRESULT GetColorKey(DWORD* color);
  HRESULT SetSrcSize(const RECT* rect);
  HRESULT GetSrcSize(RECT* rect);
  HRESULT GetSrcPosition(RECT* rect);
  HRESULT SetSrcPosition(const RECT* rect);
  HRESULT GetViewPosition(RECT* rect);
  HRESULT SetViewPosition(const RECT* rect);
  HRESULT GetZoomMode(LONG* mode);
  HRESULT SetZoomMode(LONG mode);

  // IVideoProperty.
  HRESULT InitializeProperty();
  HRESULT UninitializeProperty();
  static HRESULT GetAvailableProcAmpControl(LONG* property);
  static HRESULT GetProcAmpControlRange(LONG property, LONG* minimum, LONG* maximum);
  HRESULT GetProcAmpControl(LONG property, LONG* value, LONG flush);
  HRESULT SetProcAmpControl(LONG property, LONG value, LONG flush);

  // IScreenMode, IHardwareInfo, IDirectControl.
  HRESULT SetColorFormat(LONG format);
  HRESULT GetColorFormat(LONG* format);
  HRESULT GetAvailableDestSize(SIZE* minimum, SIZE* maximum);
  HRESULT GetDisplayPanelId(BYTE* id);
  HRESULT GetDisplayPanelSize(LONG* height, LONG* width);
  HRESULT ResetOstrel();
  HRESULT MuteTv(LONG enable);
  HRESULT IsMuteTv(LONG* enable);

  // The crop offsets (left, right, top, bottom) that hide the source part of a view cut by
  // the panel: each source edge moves by the scaled distance between the clipped and the full
  // view edge; left and right rounded down to even. E_INVALIDARG for an empty or inverted view.
  static HRESULT CropOffsets(const RECT& view, const RECT& clipped, const RECT& source, LONG out[4]);
  // The 16 bytes of 0x5150 for wide zoom from an HNLS line ("p0,p1,...,p6"), the view's
  // horizontal extent and the panel's; E_FAIL for fewer than seven numbers, a zero divisor or
  // an empty result.
  static HRESULT WideZoomBytes(const std::wstring& hnls, LONG left, LONG right, LONG panelLeft,
                               LONG panelRight, BYTE bytes[16]);

  // The colour-key window bytes at 0x50E5 (lower Cr, Y, Cb, upper Cr, Y, Cb) for a COLORREF.
  static std::array<BYTE, 6> ColorKeyWindow(DWORD color);

 private:
  // RegisterShadow: the blocks of the read-back list.
  bool Store(std::uint16_t address, int width, std::uint32_t value) override;
  bool FlushPending() override;

  RegisterBlock& Block(std::uint16_t start) { return *blocks_.at(start); }
  HRESULT InitializeBoard();
  HRESULT FirstInstanceSetup();
  HRESULT LastInstanceTeardown();
  HRESULT ReadBack();
  HRESULT ReadColorFormat(LONG* format);
  HRESULT ChangeColorFormat(LONG format);
  HRESULT ApplyFormatSection(LONG format);
  HRESULT CopyBackFromCache(std::uint16_t start);
  HRESULT WriteCalibrationMode(BYTE mode);
  HRESULT BracketBegin(BYTE mode = 1);
  HRESULT BracketEnd();
  HRESULT Strobe();
  HRESULT WriteColorKey(DWORD color);
  HRESULT WriteMute(bool muted);
  // Whether a source rectangle lies inside the source-size rectangle (SetSource takes no other).
  bool InSourceSize(const RECT& rect) const;
  HRESULT SetSource(const RECT& rect);
  HRESULT SetView(const RECT& rect);
  HRESULT WriteCrop(const LONG offsets[4]);
  HRESULT DistortionCheck(const RECT& view, LONG sourceHeight);
  HRESULT SetZoom(bool on);
  LONG& State(int index) { return viewState_.As<BoardViewStateLayout>()->values[index]; }
  BYTE* CacheArea(std::uint16_t start);
  long Option(const wchar_t* key) const;
  // A delay option in ms: none when absent or not positive, at most the set-up's limit.
  DWORD DelayOption(const wchar_t* key) const;

  const ControllerSetup setup_;
  NamedMutex access_;    // every operation; first in the lock order
  NamedMutex instance_;
  NamedMutex viewOwner_;
  SharedMemory viewState_;
  SharedMemory registerCache_;
  bool viewStateOpen_ = false;
  bool cacheOpen_ = false;

  BoardRequestThread thread_;
  PanelSettings settings_;
  std::map<std::uint16_t, std::unique_ptr<RegisterBlock>> blocks_;
  std::vector<std::uint16_t> readBackOrder_;
  std::set<std::uint16_t> pending_;
  BYTE panelId_ = 0;
  bool portOpen_ = false;
  bool instanceRegistered_ = false;
  bool viewInitialized_ = false;
  bool propertyInitialized_ = false;
  DWORD reallocDelay_ = 0;
  DWORD ioMuteDelay_ = 0;
  bool calibrationMode_ = false;
  bool controlColorFormat_ = false;

  // View geometry.
  RECT sourceSize_ = {};
  RECT panel_ = {};
  POINT sourceOrigin_ = {};
  long sourceHeightLowerLimit_ = 0;
  RECT currentSource_ = {};
  RECT currentView_ = {};
  bool viewClipped_ = false;
  bool viewOffPanel_ = false;
  // The last answer of the distortion check: -1 none yet (the first check writes its section,
  // putting back what another object may have left), 0 after this object applied
  // FULLSCREEN_SETTING itself.
  int distortionApplied_ = -1;
};

}  // namespace board
