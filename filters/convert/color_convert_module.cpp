// The tiled colour converter's module: one filter, registered with its two pins.
#include "filters/base/factory.h"
#include "filters/convert/color_convert_filter.h"

namespace {

const AMOVIESETUP_MEDIATYPE kInputTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_IYUV}};
const AMOVIESETUP_MEDIATYPE kOutputTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_YUY2}};
const AMOVIESETUP_PIN kPins[] = {
    {L"Input", FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kInputTypes},
    {L"Out", FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kOutputTypes},
};
// Registered as IYUV with merit 0x600000, as installed systems have it, although the input takes
// only the tiled subtype at run time.
const AMOVIESETUP_FILTER kFilterSetup = {&convert::CLSID_QfaCfc, L"Zarn (Qfa) Color Format Converter", 0x600000, 2,
                                         kPins};

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"Zarn (Qfa) Color Format Converter", &convert::CLSID_QfaCfc, &convert::CColorConvertFilter::CreateInstance,
     nullptr, &kFilterSetup},
};
VORN_FILTER_MODULE_ENTRY_POINTS()
