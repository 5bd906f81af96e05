// The deinterlacing filter's module: one filter under three class identifiers, registered with
// one record (merit 0x200000, an input and an output pin of any video type).
#include "filters/base/factory.h"
#include "filters/deinterlace/tesk_filter.h"

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

const CFactoryTemplate g_Templates[] = {
    {L"Zarn (Qfa) Tesk", &deinterlace::CLSID_QfaTesk, &deinterlace::TeskFilter::CreateInstance, nullptr, &kSetup},
    {L"Zarn (Qfa) Tesk for RV30", &deinterlace::CLSID_QfaTeskRv30, &deinterlace::TeskFilter::CreateInstance, nullptr,
     &kSetupRv30},
    {L"Zarn (Qfa) Tesk for RV35", &deinterlace::CLSID_QfaTeskRv35, &deinterlace::TeskFilter::CreateInstance, nullptr,
     &kSetupRv35},
};
const int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);

STDAPI DllRegisterServer() { return AMovieDllRegisterServer2(TRUE); }
STDAPI DllUnregisterServer() { return AMovieDllRegisterServer2(FALSE); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return DllEntryPoint(instance, reason, reserved);
}
