// The elements of a device manager's preview video chain. Every element (an optional filter,
// the closed-caption chain, the renderer slot) answers one interface, which the chain builder
// walks in list order: create, prepare, connect, configure, and the disconnect steps.
//
// What differs between the three device-manager families is carried by `ChainSettings`: the
// device object supplies the board, the tuner, its own module and the name of its RecRunning
// event; the family chooses how an optional filter is created.
//
// Elements take no lock: the chain builder's lock serialises every call.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <string>

#include "common/errors.h"

// How an optional filter with a module file is made.
enum class FilterCreation {
  ModuleFileOnly,  // family 1: the module file when one is named, else the class identifier
  ClassFirst,      // family 2: the class identifier, then the module file
  ModuleFirst,     // family 3: the module file, then the class identifier
};

struct ChainSettings {
  DWORD boardType = 0;    // device item value 2
  DWORD tunerNumber = 0;  // device item value 8 (0-based; registry keys say "Tuner<n+1>")
  HMODULE module = nullptr;  // the device manager's module: module files lie beside it
  // The device's RecRunning event as the device object names it ("Global\EventName_RecRunning_...");
  // empty: no event (the "norec" settings always apply).
  std::wstring recRunningEvent;
  FilterCreation creation = FilterCreation::ModuleFileOnly;
};

// GetOutputPin's rules: 0x8007F046 (and a null pin) for a null out-pointer, a name or no pin;
// else the pin with a reference for the caller.
inline HRESULT HandOutOutputPin(IPin* pin, const wchar_t* name, IPin** out) {
  if (out) *out = nullptr;
  if (!out || name || !pin) return errors::kChainNullPointer;
  pin->AddRef();
  *out = pin;
  return S_OK;
}

class FilterWrapper {
 public:
  virtual ~FilterWrapper() = default;
  FilterWrapper() = default;
  FilterWrapper(const FilterWrapper&) = delete;
  FilterWrapper& operator=(const FilterWrapper&) = delete;

  // Creates the element's filters in `graph` (referenced while they are in it).
  virtual HRESULT CreateFilter(IFilterGraph* graph) = 0;
  virtual HRESULT RemoveFromGraph() = 0;
  // Connects the element behind `upstream`; the extras are the builder's further pins.
  virtual HRESULT Connect(IPin* upstream, IPin* extra1, IPin* extra2) = 0;
  virtual HRESULT Prepare() { return S_OK; }
  // Settings that need the connected chain.
  virtual HRESULT Configure() { return S_OK; }
  virtual HRESULT Disconnect() = 0;
  virtual HRESULT BeforeDisconnect() { return S_OK; }
  virtual HRESULT AfterDisconnect() { return S_OK; }
  virtual bool HasOutput() const { return true; }
  // The pin the next element connects to (referenced); `name` must be null.
  virtual HRESULT GetOutputPin(const wchar_t* name, IPin** out) = 0;
  virtual HRESULT QueryFilterInterface(REFIID iid, void** out) = 0;
};
