// The deinterlacing filter's module: one filter under three class identifiers, registered with
// one record (merit 0x200000, an input and an output pin of any video type), and its six pages.
#include "filters/base/factory.h"
#include "filters/deinterlace/tesk_filter.h"
#include "filters/deinterlace/tesk_pages.h"

namespace {

const AMOVIESETUP_MEDIATYPE kPinTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_NULL}};
const AMOVIESETUP_PIN kPins[] = {
    {L"Input", FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kPinTypes},
    {L"Output", FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kPinTypes},
};
constexpr DWORD kMerit = 0x200000;
const AMOVIESETUP_FILTER kSetup = {&deinterlace::CLSID_QfaTesk, L"Zarn (Qfa) Tesk Filter", kMerit, 2, kPins};
const AMOVIESETUP_FILTER kSetupRv30 = {&deinterlace::CLSID_QfaTeskRv30, L"Zarn (Qfa) Tesk Filter", kMerit, 2, kPins};
const AMOVIESETUP_FILTER kSetupRv35 = {&deinterlace::CLSID_QfaTeskRv35, L"Zarn (Qfa) Tesk Filter", kMerit, 2, kPins};

}  // namespace

using namespace deinterlace;

const CFactoryTemplate g_Templates[] = {
    {L"Zarn (Qfa) Tesk", &CLSID_QfaTesk, &TeskFilter::CreateInstance, nullptr, &kSetup},
    {L"Zarn (Qfa) Deinterlacer Properties", &CLSID_TeskModePage, &TeskModePage::CreateInstance, nullptr, nullptr},
    {L"Zarn (Qfa) Deinterlacer Properties", &CLSID_TeskMmxModePage, &TeskModePage::CreateMmxInstance, nullptr,
     nullptr},
    {L"Zarn (Qfa) Contrast Properties", &CLSID_TeskContrastPage, &TeskContrastPage::CreateInstance, nullptr, nullptr},
    {L"Zarn (Qfa) Sharpness Properties", &CLSID_TeskSharpnessPage, &TeskSharpnessPage::CreateInstance, nullptr,
     nullptr},
    {L"Zarn MenuBack Properties", &CLSID_TeskMenuBackPage, &MenuBackgroundPage::CreateInstance, nullptr, nullptr},
    {L"Zarn PlnrCnvt Properties", &CLSID_TeskFieldOrderPage, &TeskFieldOrderPage::CreateInstance, nullptr, nullptr},
    {L"Zarn (Qfa) Tesk for RV30", &CLSID_QfaTeskRv30, &TeskFilter::CreateInstance, nullptr, &kSetupRv30},
    {L"Zarn (Qfa) Tesk for RV35", &CLSID_QfaTeskRv35, &TeskFilter::CreateInstance, nullptr, &kSetupRv35},
};
const int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);

STDAPI DllRegisterServer() { return AMovieDllRegisterServer2(TRUE); }
STDAPI DllUnregisterServer() { return AMovieDllRegisterServer2(FALSE); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return DllEntryPoint(instance, reason, reserved);
}
