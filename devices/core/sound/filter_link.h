// The audio link between the capture filter's audio output and the sound path. In the live
// audio-video sync mode (sound-path kind 4) it holds the system's audio pacer, loaded from its
// module file beside the device manager, set up from the board's "LiveAVSyncParams" and made
// the source of the graph's reference clock (the system clock on board type 19); in every
// other mode it holds nothing and hands the capture pin on as it is. Creating it also makes
// sure the sound path's buffer watch settings exist in the registry.
//
// The second and third families call the same object their audio sync wrapper (set up, get
// output, release): Create, OutputPin and Remove here.
//
// No lock of its own: the preview graph serialises the calls.
#pragma once

#include <windows.h>
#include <dshow.h>

#include "common/module.h"

class FilterLink {
 public:
  static constexpr int kLiveSyncKind = 4;
  static constexpr int kSystemClockBoardType = 19;
  // The pacer settings when the board's key holds none.
  static constexpr DWORD kDefaultDelayMs = 300;
  static constexpr DWORD kDefaultAllocatorBuffers = 0;
  static constexpr DWORD kDefaultHwTimeStamp = 1;

  // `module`: the module beside which "AudioPacer.ax" lies (the device manager's).
  explicit FilterLink(HMODULE module = ThisModule()) : module_(module) {}
  FilterLink(const FilterLink&) = delete;
  FilterLink& operator=(const FilterLink&) = delete;
  virtual ~FilterLink() { Remove(); }

  // Kind 4: loads and adds the pacer, (board type 19) the system clock, the pacer's pins, its
  // settings and the graph clock, then the registry's buffer watch settings; keeps the graph.
  // Any other kind: S_OK, nothing held. E_FAIL when created already, E_INVALIDARG for a null
  // graph; other failures are returned as they came, with nothing left in the graph.
  HRESULT Create(int soundPathKind, IFilterGraph* graph, int boardType, int tunerNumber);
  // Keeps the capture pin (referenced) and connects it to the pacer's input when there is a
  // pacer. E_FAIL when a pin is attached, E_INVALIDARG for a null pin.
  HRESULT Attach(IPin* upstream);
  // Disconnects the capture pin from the pacer (only when connected to it) and releases it.
  void Detach();
  // The pin the sound path connects to: the pacer's output, else the attached pin (not
  // referenced).
  IPin* OutputPin() const noexcept { return pacerOut_ ? pacerOut_ : upstream_; }
  // Detaches, removes the pacer from the graph and releases everything.
  void Remove();

  IBaseFilter* pacer() const noexcept { return pacer_; }

 private:
  HRESULT ApplyPacerSettings(int boardType, int tunerNumber);
  HRESULT SetGraphClock(IFilterGraph* graph);
  static void EnsureAudioBufferSettings();

  const HMODULE module_;
  IFilterGraph* graph_ = nullptr;  // owned reference once created
  IPin* upstream_ = nullptr;       // owned reference while attached
  IBaseFilter* pacer_ = nullptr;
  IPin* pacerIn_ = nullptr;
  IPin* pacerOut_ = nullptr;
  IUnknown* clock_ = nullptr;  // the system clock, board type 19 only
};
