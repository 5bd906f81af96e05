// What every step of the host demo shares: its output lines, the verdict of each action, the
// folders it works in, and starting the system's programs the way an installer would.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/errors.h"
#include "sim/card/sim_card.h"
#include "sim/host/device_item.h"
#include "sim/host/registry_journal.h"

struct IDevice;

namespace demo {

// One line of output, flushed at once (the programs started by the demo print nothing).
void Say(const std::wstring& text);
// Sends the output lines to `file` from now on (null: the standard output again).
void SayTo(FILE* file);
// A step's title.
void Step(const wchar_t* title);

// "0x80004001 E_NOTIMPL": the code and, for the codes a host meets here, its name.
std::wstring HrText(HRESULT hr);

// The verdict of the whole run: any action whose answer is not the one the built system gives
// marks it failed.
class Verdict {
 public:
  // Prints "  <action>: <hr>" and records a failure when hr is not `expected`.
  bool Check(const std::wstring& action, HRESULT hr, HRESULT expected = S_OK);
  // Prints a failure that has no HRESULT of its own and records it.
  void Fail(const std::wstring& what);
  bool ok() const { return failures_ == 0; }
  int failures() const { return failures_; }

 private:
  int failures_ = 0;
};

// What the session registered or attached, undone in reverse order at its end.
class Undo {
 public:
  void Add(std::wstring action, std::function<HRESULT()> undo);
  // Runs every undo action, last first, each checked for S_OK.
  void RunAll(Verdict& verdict);

 private:
  std::vector<std::pair<std::wstring, std::function<HRESULT()>>> actions_;
};

struct Session {
  Verdict verdict;
  Undo undo;
};

// The folder of the demo program, where every built module lies ("...\bin\").
std::wstring BinFolder();
// A module beside the demo program.
std::wstring BinPath(const wchar_t* name);
// The device manager's folder as it ships, below the demo's ("...\bin\e2e"): tamDevice.dll with
// the system's own QfaTesk.ax and the outside modules' doubles beside it.
std::wstring DeviceManagerFolder();
// The deinterlacing module this process has loaded ("...\bin\e2e\QfaTesk.ax"), empty when none.
std::wstring LoadedDeinterlacer();
// The session's run directory as a Windows path (VORN_RUN_DIR, "Z:\tmp\vorn-run.xxxxxx"), empty
// when the demo is not running in a session.
std::wstring RunFolder();

// Registers an in-process server of `folder` (empty: beside the demo) as regsvr32 does and keeps
// it loaded; unregistering and unloading it become part of the session's undo list. False (the
// failure recorded) when the registration failed.
bool RegisterInproc(Session& session, const wchar_t* name, HMODULE* module, const std::wstring& folder = {});

// Runs a program with arguments and waits (bounded) for it: S_OK when it ran, `exitCode`
// receives its exit code (STILL_ACTIVE when it had to be ended).
HRESULT RunProgram(const std::wstring& path, const std::wstring& arguments, DWORD* exitCode,
                   DWORD timeoutMs = 30000);
// Runs a local server with a registration switch ("/RegServer", "-UnregServer", ...): the
// server's exit code is the registration's HRESULT.
HRESULT RunServerSwitch(const wchar_t* program, const wchar_t* switchText);
// Whether a process of that image name ("VornPort.exe") runs now.
HRESULT ProcessRunning(const wchar_t* imageName, bool* running);

// A BSTR owned for one scope.
class Bstr {
 public:
  explicit Bstr(const std::wstring& text)
      : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

// Milliseconds since a GetTickCount64 value (printed with %lu: the formatter of the target's C
// runtime knows no 64-bit or size_t lengths).
inline unsigned long MsSince(ULONGLONG start) { return static_cast<unsigned long>(GetTickCount64() - start); }

// Bytes as "AA 00 09 ...".
std::wstring HexBytes(const unsigned char* data, size_t size);

// The release trace of the system's two settings keys switched to one log file (records to the
// log only); what it replaced or created is undone by PutBack (or at destruction).
class TraceSwitch {
 public:
  TraceSwitch() = default;
  TraceSwitch(const TraceSwitch&) = delete;
  TraceSwitch& operator=(const TraceSwitch&) = delete;
  ~TraceSwitch() { PutBack(); }

  HRESULT SwitchOn(const std::wstring& logPath);
  HRESULT PutBack();

 private:
  sim_host::RegistryJournal journal_;
};
// Prints how many records the log holds, from which modules, and a few of them.
void PrintTraceLog(const std::wstring& path, Verdict& verdict);

// The steps, in the order a host session meets the subsystems.
void NamedObjectsStep(Session& session);
int NamedObjectsPeer();
void PortServerStep(Session& session);
void DeviceManagerStep(Session& session);
// How a device is recorded: the files' prefix in the run directory ("recording" gives
// "recording-mpeg.mpg", "recording-pcm.raw" and "recording-index.dat"), the record types chosen
// (bit n: type n), the MPEG subtype, the class's answer to an unlisted MPEG subtype, and how long.
struct RecordingPlan {
  const wchar_t* prefix = L"recording";
  unsigned types = 0xE;
  ULONG mpegSubtype = 1;
  HRESULT unlistedSubtype = errors::kDmInvalidArg;
  DWORD recordMs = 3000;
  std::function<void()> whileRecording;  // called once the recording runs
};
// Records from the tuned device into the run directory; the bytes received.
ULONG RecordOutputData(Verdict& verdict, IDevice* device, const RecordingPlan& plan = RecordingPlan());
void MappingServiceStep(Session& session);
void LivePreviewStep(Session& session);
// The live preview's own process (--live-preview <report file>): its lines go to the report.
int LivePreviewProcess(const std::wstring& reportPath);
// The simulated card's SimCard_GetDevicePath.
using CardPathFn = decltype(&SimCard_GetDevicePath);
// A device-manager class as a host process meets it.
struct DeviceClass {
  CLSID clsid;
  const wchar_t* name;    // "rulDeviceManager"
  const wchar_t* module;  // "rulDevice.dll"
};
// A new object of the class in this process (CoCreateInstance), the driver stand-in attached to
// the class's module. False (the failure recorded) when either failed.
bool CreateDeviceManager(Verdict& verdict, const DeviceClass& deviceClass, Microsoft::WRL::ComPtr<IDeviceSetup>* setup);
// The body of a step's own process: its lines go to the report at `reportPath`, COM initialised
// multithreaded around it; the process's exit code is the failures it recorded.
int ReportProcess(const std::wstring& reportPath, const std::function<void(Verdict&)>& body);
// In a preview process: card 0's capture device given to a new tamDeviceManager of this process
// (the driver stand-in attached) through a device item with `capabilities`. False (the failure
// recorded) when a step failed.
bool OpenCardDevice(Verdict& verdict, CardPathFn cardPath, long capabilities, std::wstring* path,
                    Microsoft::WRL::ComPtr<IDeviceSetup>* setup, Microsoft::WRL::ComPtr<IHalItem>* item);
// Runs vorn_demo.exe <switchText> <report in the run directory> (bounded) and prints its report.
// Used by every step that runs in a process of its own.
void RunPreviewProcess(Verdict& verdict, const wchar_t* switchText, const wchar_t* reportName);
// The preview on the picture board: the system's renderer keying the picture onto the panel.
void BoardPreviewStep(Session& session);
int BoardPreviewProcess(const std::wstring& reportPath);
// The second family's device manager with a card of two tuners, and the third family's: each
// session in a process of its own (--second-family / --third-family <report>).
void SecondFamilyStep(Session& session);
int SecondFamilyProcess(const std::wstring& reportPath);
void ThirdFamilyStep(Session& session);
int ThirdFamilyProcess(const std::wstring& reportPath);
// "IDeviceInfoDetail, IInputSwitch, ...": the device interfaces a device manager lists.
std::wstring InterfaceNames(IDevice* device, Verdict& verdict);

}  // namespace demo
