// The host demo: what a host application sees of the system against the simulated hardware. It
// grows with every subsystem. With the release trace switched to a log file in the session's run
// directory it shows the cross-process named objects every module relies on, the serial port
// server talking to the picture board, the first device manager, live television on a window
// with sound, the second and third families' device managers, the picture board and the mapping
// service, then undoes what it registered and prints what the modules traced.
//   vorn_demo.exe           the host session (run through scripts/demo.sh)
//   vorn_demo.exe --peer    the second process of the named-objects step
//   vorn_demo.exe --live-preview <report>   the live preview's own process
//   vorn_demo.exe --board-preview <report>  the picture board preview's own process
//   vorn_demo.exe --second-family <report>  the second family's session (a card of two tuners)
//   vorn_demo.exe --third-family <report>   the third family's session
#include <windows.h>
#include <objbase.h>

#include <string>

#include "common/format.h"
#include "common/handles.h"
#include "common/path.h"
#include "sim/demo/demo_support.h"

using namespace demo;

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wstring(argv[1]) == L"--peer") return NamedObjectsPeer();
  if (argc > 2 && std::wstring(argv[1]) == L"--live-preview") return LivePreviewProcess(argv[2]);
  if (argc > 2 && std::wstring(argv[1]) == L"--board-preview") return BoardPreviewProcess(argv[2]);
  if (argc > 2 && std::wstring(argv[1]) == L"--second-family") return SecondFamilyProcess(argv[2]);
  if (argc > 2 && std::wstring(argv[1]) == L"--third-family") return ThirdFamilyProcess(argv[2]);

  Say(FormatW(L"host demo: process %lu, modules in %ls", GetCurrentProcessId(), BinFolder().c_str()));
  const std::wstring run = RunFolder();
  if (run.empty()) {
    Say(L"host demo: no Wine session (VORN_RUN_DIR is not set); run scripts/demo.sh");
    return 2;
  }

  Session session;
  Verdict& verdict = session.verdict;
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (!verdict.Check(L"CoInitializeEx(apartment-threaded)", com)) return 1;

  Step(L"Release trace");
  const std::wstring log = PathString::Combine(WideString(run), WideString(L"host-trace.log")).str();
  TraceSwitch trace;
  verdict.Check(FormatW(L"trace = 2 (log file), log = %ls, under the Lumacrest2 and Tovrel RELTrace keys", log.c_str()),
                trace.SwitchOn(log));

  NamedObjectsStep(session);
  PortServerStep(session);
  DeviceManagerStep(session);
  LivePreviewStep(session);
  // The system's renderer is still the platform's stand-in here (the board's renderer replaces it).
  SecondFamilyStep(session);
  ThirdFamilyStep(session);
  BoardPreviewStep(session);
  MappingServiceStep(session);

  Step(L"Unregistering what the session registered");
  session.undo.RunAll(verdict);
  CoUninitialize();

  Step(L"Release trace log");
  verdict.Check(L"trace settings put back", trace.PutBack());
  PrintTraceLog(log, verdict);

  if (verdict.ok()) {
    Say(L"\nhost demo: ok");
    // The run script takes only this mark for success: a process that the platform ends after a
    // crash can still exit with status 0.
    const std::wstring mark = PathString::Combine(WideString(run), WideString(L"demo-finished")).str();
    UniqueFileHandle file(CreateFileW(mark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      Say(L"host demo: the end mark could not be written");
      return 1;
    }
    return 0;
  }
  Say(FormatW(L"\nhost demo: FAILED (%d failures)", verdict.failures()));
  return 1;
}
