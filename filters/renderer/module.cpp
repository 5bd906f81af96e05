// The renderer module "VornVRen.ax": the video renderer, registered with its one input.
#include "common/device/filter_loader.h"
#include "common/trace.h"
#include "filters/base/factory.h"
#include "filters/renderer/property_pages.h"
#include "filters/renderer/video_renderer.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

namespace {

const AMOVIESETUP_MEDIATYPE kPinTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_YUY2}};
const AMOVIESETUP_PIN kPins[] = {{L"", TRUE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kPinTypes}};
const AMOVIESETUP_FILTER kFilterSetup = {&vren::CLSID_VornVideoRenderer, L"Zarn Lumacrest2 Renderer", 0x200000, 1, kPins};

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"Zarn Lumacrest2 Renderer", &vren::CLSID_VornVideoRenderer, &vren::VideoRenderer::CreateInstance, nullptr,
     &kFilterSetup},
    {L"Quality", &vren::CLSID_QualityPage, &vren::QualityPage::CreateInstance, nullptr, nullptr},
    {L"Field Order", &vren::CLSID_FieldOrderPage, &vren::FieldOrderPage::CreateInstance, nullptr, nullptr},
    {L"Zoom Mode", &vren::CLSID_ZoomModePage, &vren::ZoomModePage::CreateInstance, nullptr, nullptr},
};
const int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);

STDAPI DllRegisterServer() { return AMovieDllRegisterServer2(TRUE); }
STDAPI DllUnregisterServer() { return AMovieDllRegisterServer2(FALSE); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  if (reason == DLL_PROCESS_DETACH) FilterLoader::OnProcessDetach(reserved);
  return DllEntryPoint(instance, reason, reserved);
}
