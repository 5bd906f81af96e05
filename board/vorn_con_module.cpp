// VornCon.dll: the in-process server of HighQualityVideoControl (threading model "Both",
// aggregatable), its registration and its type library.
#include <windows.h>
#include <objbase.h>

#include "board/high_quality_video_control.h"
#include "board/inproc_module.h"
#include "common/trace.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

namespace {

const board::InprocClass kClass = {
    board::kHighQualityVideoControlClass,
    {0xD79E4235, 0x4DDD, 0x4E07, {0xA6, 0xEC, 0x5F, 0x2D, 0xA8, 0xF3, 0x5E, 0xBC}},
    L"{E7A3E7ED-031C-4315-A460-BFC6CD3DBA94}",
    L"VornCon",
    L"VornCon.HighQualityVideoControl.1",
    L"VornCon.HighQualityVideoControl",
    L"HighQualityVideoControl Class"};

board::InprocModule g_module(
    kClass,
    [](IUnknown* outer, REFIID iid, void** out) { return board::CHighQualityVideoControl::Create(outer, iid, out); },
    &board::CHighQualityVideoControl::Objects);

}  // namespace

VORN_INPROC_MODULE_ENTRY_POINTS(g_module)
