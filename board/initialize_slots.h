// Two interfaces of one object whose Initialize and Uninitialize have one signature: each
// interface's pair forwards to InitializeOf / UninitializeOf, told apart by the interface.
#pragma once

#include <windows.h>

namespace board {

template <class Itf>
class InitializeSlots : public Itf {
 public:
  STDMETHODIMP Initialize(long reserve) final { return InitializeOf(static_cast<Itf*>(this), reserve); }
  STDMETHODIMP Uninitialize(long reserve) final { return UninitializeOf(static_cast<Itf*>(this), reserve); }
  virtual HRESULT InitializeOf(Itf* itf, long reserve) = 0;
  virtual HRESULT UninitializeOf(Itf* itf, long reserve) = 0;

 protected:
  ~InitializeSlots() = default;
};

}  // namespace board
