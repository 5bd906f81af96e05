// VornConEx.dll: the in-process server of the preview control Lumacrest2Ex (threading model
// "Both"), its registration and its type library. The board control VornCon.dll is loaded from
// this module's own directory.
#include <windows.h>
#include <objbase.h>

#include "board/inproc_module.h"
#include "board/lumacrest2_ex.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/path.h"
#include "common/trace.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

namespace {

const board::InprocClass kClass = {
    board::kLumacrest2ExClass,
    {0xB7624224, 0x0E49, 0x4740, {0xBB, 0x15, 0x6E, 0xA0, 0x37, 0xD4, 0x32, 0x70}},
    L"{44FCA83E-38EE-45CA-877E-4750142789C7}",
    L"VornConEx",
    L"VornConEx.Lumacrest2Ex.1",
    L"VornConEx.Lumacrest2Ex",
    L"Lumacrest2Ex Class"};

// The control cannot be aggregated.
HRESULT CreateLumacrest2Ex(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return GuardHr(E_FAIL, [&] {
    return board::Lumacrest2Ex::Create(iid, out, ModulePath::OfModule(ThisModule()).GetFolder().str());
  });
}

board::InprocModule g_module(kClass, &CreateLumacrest2Ex, &board::Lumacrest2Ex::Objects);

}  // namespace

VORN_INPROC_MODULE_ENTRY_POINTS(g_module)
