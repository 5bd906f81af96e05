// The caption relay's module: the filter and its channel page.
#include "filters/base/factory.h"

#include <ks.h>
#include <ksmedia.h>

#include "filters/caption/caption_relay_filter.h"

namespace {

const AMOVIESETUP_MEDIATYPE kInputTypes[] = {{&KSDATAFORMAT_TYPE_VBI, &GUID_NULL}};
const AMOVIESETUP_MEDIATYPE kOutputTypes[] = {{&MEDIATYPE_AUXLine21Data, &MEDIASUBTYPE_Line21_BytePair}};
const AMOVIESETUP_PIN kPins[] = {
    {L"Input", FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kInputTypes},
    {L"Output", FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kOutputTypes},
};
const AMOVIESETUP_FILTER kFilterSetup = {&caption::CLSID_CcRelay, L"CcRelay", 0x200000, 2, kPins};

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"CcRelay", &caption::CLSID_CcRelay, &caption::CCcRelayFilter::CreateInstance, nullptr, &kFilterSetup},
    {L"CcRelay Property Page", &caption::CLSID_CcChannelPage, &caption::CcChannelPage::CreateInstance, nullptr,
     nullptr},
};
VORN_FILTER_MODULE_ENTRY_POINTS()
