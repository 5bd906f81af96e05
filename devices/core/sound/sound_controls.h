// The sound controls of a family's preview graph (volume, balance, mix) on their way to the
// sound path the graph holds. What the families answer differently, without a sound path, with
// the graph not built and for a null out-pointer, stands in their rules.
#pragma once

#include <windows.h>

#include <memory>

#include "common/device/filter_graph_holder.h"
#include "devices/core/sound/sound_path.h"

// How the getters meet a null out-pointer.
enum class NullOutCheck {
  None,    // passed on to the sound path
  Inside,  // E_INVALIDARG, once the sound path and the graph are there
  First,   // E_INVALIDARG before anything else
};

struct SoundControlRules {
  HRESULT noSound;    // without a sound path
  HRESULT notBuilt;   // with the graph not built
  bool soundFirst;    // the sound path is looked for before the graph
  NullOutCheck outs;  // the getters' null out-pointers
};

// Forwards to `sound` (the graph's sound path, null without one) while `graph` is built; a
// success answers S_OK. Not locked: the owner serialises the calls.
class SoundControls {
 public:
  SoundControls(const SoundControlRules& rules, const FilterGraphHolder& graph, const std::unique_ptr<FilterHolder>& sound)
      : rules_(rules), graph_(graph), sound_(sound) {}

  HRESULT SetVolume(LONG volume);
  HRESULT GetVolume(LONG* volume);
  HRESULT SetBalance(LONG balance);
  HRESULT GetBalance(LONG* balance);
  HRESULT SetMix(ULONG left, ULONG right);
  HRESULT GetMix(ULONG* left, ULONG* right);

 private:
  // `outsGiven`: the call's out-pointers are all there (true for the setters).
  template <class F>
  HRESULT Forward(bool outsGiven, F&& call);

  const SoundControlRules rules_;
  const FilterGraphHolder& graph_;
  const std::unique_ptr<FilterHolder>& sound_;
};
