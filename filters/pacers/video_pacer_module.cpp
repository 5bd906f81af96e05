// The "VideoPacer.ax" module: the live video sync filter and the settings page.
#include "common/trace.h"
#include "filters/base/factory.h"
#include "filters/include/field_video.h"
#include "filters/pacers/live_sync_page.h"
#include "filters/pacers/pacer_ids.h"
#include "filters/pacers/video_pacer.h"

VORN_MODULE_TRACE(kTraceKeyTovrel)

namespace {

const AMOVIESETUP_MEDIATYPE kPinTypes[] = {
    {&MEDIATYPE_Video, &MEDIASUBTYPE_YUY2},
    {&MEDIATYPE_Video, &MEDIASUBTYPE_Tiled420},
};
const AMOVIESETUP_PIN kPins[] = {
    {L"Input", FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, L"Output", 2, kPinTypes},
    {L"Output", FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, L"Input", 2, kPinTypes},
};
const AMOVIESETUP_FILTER kFilterSetup = {&CLSID_VideoPacer, L"Zarn Live Video Sync Filter",
                                         MERIT_DO_NOT_USE, 2, kPins};

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"Zarn Live Video Sync Filter", &CLSID_VideoPacer, &VideoPacer::CreateInstance, nullptr, &kFilterSetup},
    {L"Zarn Live Sync Property Page", &CLSID_LiveSyncPage, &LiveSyncPage::CreateInstance, nullptr, nullptr},
};
VORN_FILTER_MODULE_ENTRY_POINTS()
