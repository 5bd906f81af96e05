// The mapping service as a host meets it: MappingSvc.exe registered as a local server,
// CZarnMMFSupport created through COM (calls marshalled by the type library), a global section
// created by the service for this process under a scrambled name, and seen from the host.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <string>

#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/local_server.h"
#include "mappingsvc/mmf_support.h"
#include "sim/demo/demo_support.h"

namespace demo {
namespace {

constexpr wchar_t kTunerInfoName[] = L"Global\\VornDemo_TunerInfo";
constexpr INT64 kTunerInfoSize = 4096;
constexpr DWORD kServerLeaveWaitMs = 15000;  // bound of the wait for the server to leave

// Callers pass the name scrambled with the service's key: character i XOR key character i mod
// the key's length.
std::wstring Scramble(std::wstring name) {
  const std::wstring key = mappingsvc::kNameKey;
  for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<wchar_t>(name[i] ^ key[i % key.size()]);
  return name;
}

// The section's size as the host sees it: S_OK and the region size of a view.
HRESULT OpenFromHost(const wchar_t* name, SIZE_T* size) {
  *size = 0;
  UniqueHandle section(OpenFileMappingW(FILE_MAP_READ, FALSE, name));
  if (!section) return HResultFromLastError();
  UniqueMappedView view(MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0));
  if (!view) return HResultFromLastError();
  MEMORY_BASIC_INFORMATION info{};
  if (!VirtualQuery(view.get(), &info, sizeof(info))) return HResultFromLastError();
  *size = info.RegionSize;
  return S_OK;
}

}  // namespace

void MappingServiceStep(Session& session) {
  Verdict& verdict = session.verdict;
  Step(L"Mapping service: MappingSvc.exe");
  if (!verdict.Check(L"MappingSvc.exe -RegServer", RunServerSwitch(L"MappingSvc.exe", L"-RegServer"))) return;
  session.undo.Add(L"MappingSvc.exe -UnregServer", [] { return RunServerSwitch(L"MappingSvc.exe", L"-UnregServer"); });

  {
    Microsoft::WRL::ComPtr<IZarnMMFSupport> support;
    const ULONGLONG before = GetTickCount64();
    const HRESULT created = local_server::CreateInstance(CLSID_ZarnMMFSupport, IID_IZarnMMFSupport,
                                                         reinterpret_cast<void**>(support.GetAddressOf()));
    if (!verdict.Check(FormatW(L"CoCreateInstance(CZarnMMFSupport, local server) in %lu ms",
                               MsSince(before)),
                       created))
      return;

    SIZE_T size = 0;
    if (OpenFromHost(kTunerInfoName, &size) == S_OK) {
      verdict.Fail(FormatW(L"%ls exists before the service created it", kTunerInfoName));
      return;
    }
    Bstr name(Scramble(kTunerInfoName));
    for (int call = 1; call <= 2; ++call) {
      LONG first = -1;
      if (!verdict.Check(FormatW(L"CreateTunerInfo(scrambled \"%ls\", %lu bytes), call %d", kTunerInfoName,
                                 static_cast<unsigned long>(kTunerInfoSize), call),
                         support->CreateTunerInfo(name.get(), kTunerInfoSize, &first)))
        return;
      Say(FormatW(L"    first creation: %ls", first == 1 ? L"yes" : first == 0 ? L"no (it existed)" : L"?"));
      if (first != (call == 1 ? 1 : 0)) verdict.Fail(L"unexpected first-creation flag");
    }
    if (verdict.Check(FormatW(L"host: OpenFileMapping(%ls)", kTunerInfoName), OpenFromHost(kTunerInfoName, &size)))
      Say(FormatW(L"    the server keeps the section; a view of it spans %lu bytes", static_cast<unsigned long>(size)));
  }

  // The server keeps its sections until it stops; started by COM as a plain local server, it
  // stops with its last object, and the section goes with it.
  Say(L"  released CZarnMMFSupport, the server's last object");
  const ULONGLONG released = GetTickCount64();
  SIZE_T size = 0;
  bool running = true;
  HRESULT looked = S_OK;
  while (SUCCEEDED(looked = ProcessRunning(L"MappingSvc.exe", &running)) &&
         (running || OpenFromHost(kTunerInfoName, &size) == S_OK) && GetTickCount64() - released < kServerLeaveWaitMs)
    Sleep(100);
  if (FAILED(looked)) {
    verdict.Check(L"list the running processes", looked);
    return;
  }
  if (running) {
    verdict.Fail(FormatW(L"MappingSvc.exe still runs %lu ms after its last object", MsSince(released)));
  } else {
    Say(FormatW(L"    MappingSvc.exe has left (within %lu ms)", MsSince(released)));
  }
  verdict.Check(FormatW(L"host: OpenFileMapping(%ls) now", kTunerInfoName), OpenFromHost(kTunerInfoName, &size),
                HResultFromWin32(ERROR_FILE_NOT_FOUND));
}

}  // namespace demo
