// The "AudioPacer.ax" module: the live audio sync filter and the settings page.
#include "common/trace.h"
#include "filters/base/factory.h"
#include "filters/pacers/audio_pacer.h"
#include "filters/pacers/live_sync_page.h"
#include "filters/pacers/pacer_ids.h"

VORN_MODULE_TRACE(kTraceKeyTovrel)

namespace {

const AMOVIESETUP_MEDIATYPE kPinTypes[] = {{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM}};
const AMOVIESETUP_PIN kPins[] = {
    {L"Input", FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, L"Output", 1, kPinTypes},
    {L"Output", FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, L"Input", 1, kPinTypes},
};
const AMOVIESETUP_FILTER kFilterSetup = {&CLSID_AudioPacer, L"Zarn Live Audio Sync Filter",
                                         MERIT_DO_NOT_USE, 2, kPins};

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"Zarn Live Audio Sync Filter", &CLSID_AudioPacer, &AudioPacer::CreateInstance, nullptr, &kFilterSetup},
    {L"Zarn Live Sync Property Page", &CLSID_LiveSyncPage, &LiveSyncPage::CreateInstance, nullptr, nullptr},
};
VORN_FILTER_MODULE_ENTRY_POINTS()
