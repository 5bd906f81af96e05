// What a device object's IOutputData keeps between calls and works out at Start, for every
// family: the output-type choices with the host's callbacks, the four status words given to the
// MPEG analyzer, and the wait for a channel change to settle before recording starts.
#pragma once

#include <windows.h>

#include <wrl/client.h>

#include <cstdint>
#include <vector>

#include "common/locks.h"
#include "devices/idl/device_manager.h"

namespace output_data {

// --- Status words ---------------------------------------------------------------------------

struct OutputStatus {
  DWORD a = 0, b = 0, c = 0, d = 0;
};

// A version text "a.b.c.d" (numbers split at '.', ' ' or ','; a missing number counts as 0)
// packed as a * 100000000 + b * 10000000 + c * 100000 + d.
DWORD PackFileVersion(const wchar_t* text);
// The packed "FileVersion" string of the file's first translation; 0 without version
// information.
DWORD ReadFileVersion(const wchar_t* path);
// The packed version of the driver file `driverFile` in the system's "drivers" folder.
DWORD ReadDriverVersion(const wchar_t* driverFile);

// Word A: top byte 0x80, with 0x10 for capability bit 0 and 0x08 for capability bit 1.
DWORD StatusWordA(ULONG capability) noexcept;
// Word D from the device-state slots 2 (band) and 3 (tuner functions): top byte 0x08 for band
// bit 5, else 0x14 for band bit 6, else 0x04; bit 1 for function bit 0, bit 0 for function bit 1.
DWORD StatusWordD(std::int32_t band, std::int32_t functions) noexcept;

// --- Channel settling ---------------------------------------------------------------------

// How long a start at `now` still waits after a channel change at `changed`: the rest of
// `interval`. The elapsed time is the unsigned difference (safe over the counter's wrap): a start
// in the change's own millisecond waits the whole interval.
DWORD SettleWaitMs(DWORD now, DWORD changed, DWORD interval) noexcept;

// --- The output-type choices --------------------------------------------------------------

// QueryInterface of an object whose one interface is IOutputDataCB (the host's callbacks and
// the choices' dispatcher).
inline HRESULT QueryOutputDataCallback(IOutputDataCB* self, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IOutputDataCB) {
    *out = self;
    self->AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

// For each output type (1 MPEG, 2 PCM, 3 INDEX) the subtype and the host's callback chosen
// last; the callbacks are referenced while kept. The store is also the one callback the
// callback filter calls: it hands each OnData to the callback kept for that type (nothing
// when none).
class OutputTypeChoices {
 public:
  OutputTypeChoices();
  ~OutputTypeChoices();
  OutputTypeChoices(const OutputTypeChoices&) = delete;
  OutputTypeChoices& operator=(const OutputTypeChoices&) = delete;

  // Whether `subtype` may be chosen: one of `listed`, or 100 to 200.
  static bool Allowed(ULONG subtype, const std::vector<ULONG>& listed) noexcept;

  // Keeps the choice of a type (1 to 3; others are ignored), releasing the callback it replaces.
  void Keep(ULONG type, ULONG subtype, IOutputDataCB* callback);
  // Forgets every choice and releases the callbacks.
  void Clear() noexcept;
  // The kept subtype of a type (0 until chosen).
  ULONG subtype(ULONG type) const noexcept;
  // The three records {type, subtype} for the host (array from CoTaskMemAlloc).
  HRESULT Records(long* count, _SHAL_OUTPUTDTATA_TYPE** types) const;
  // The callback the callback filter is given.
  IOutputDataCB* dispatcher() const noexcept { return dispatcher_.Get(); }

 private:
  class Dispatcher;
  Microsoft::WRL::ComPtr<IOutputDataCB> dispatcher_;
  Dispatcher* dispatch_ = nullptr;  // dispatcher_'s object
  ULONG subtypes_[3] = {0, 0, 0};
};

}  // namespace output_data
