// What a host-level test needs around the device managers: the system's modules and the doubles
// registered as regsvr32 would, the simulated cards in the device categories, the file modules
// checked beside tamDevice.dll, the settings file written beside it, registry values the test
// asks for, and the driver stand-in attached to tamDevice.dll. Remove (also run by the
// destructor) undoes all of it: registrations, cards, the settings file and every registry
// value and key exactly as they were.
//
// COM must be initialised on the thread that installs (the filter modules register through the
// filter mapper).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/registry.h"
#include "common/settings_file.h"
#include "sim/card/sim_card.h"
#include "sim/host/registry_journal.h"
#ifdef VORN_TEST_PROGRAM
#include "common/testing/paths.h"
#endif

namespace sim_host {

// Registers or unregisters an in-process server as regsvr32 does (LoadLibrary, then the entry
// point), keeping the module loaded in `module` when it is given.
HRESULT CallServerEntry(const std::wstring& path, const char* entry, HMODULE* module = nullptr);

// The keys the device managers read their board settings from.
RegistryKeyPath BoardInfoKey();  // HKLM "SOFTWARE\Zarn Corporation\TunerBrdInfo"
// "...\TunerBrdInfo\BoardType<board type>\Tuner<tuner number + 1>\<subKey>", for the board type
// and tuner number (values 2 and 8) of a device item.
RegistryKeyPath TunerKey(DWORD boardType, DWORD tunerNumber, const wchar_t* subKey);
RegistryKeyPath TovrelKey();  // HKLM "SOFTWARE\Zarn Corporation\Tovrel" (its RELTrace below)

// The modules registered, in order, and the file modules that must lie beside tamDevice.dll.
extern const wchar_t* const kRegisteredModules[5];
extern const wchar_t* const kFileModules[13];

// The sound path that bypasses the audio filter driver, reaching "DirectSound: SimSound": the
// values written through `journal` (its Restore puts back what was there).
HRESULT BypassSound(RegistryJournal& journal);

class SimEnvironment {
 public:
  // The modules are taken from `binFolder` ("Z:\...\bin").
  explicit SimEnvironment(std::wstring binFolder);
#ifdef VORN_TEST_PROGRAM
  SimEnvironment() : SimEnvironment(testing_support::BinFolder()) {}
#endif
  ~SimEnvironment() { Remove(); }
  SimEnvironment(const SimEnvironment&) = delete;
  SimEnvironment& operator=(const SimEnvironment&) = delete;

  // Checks the file modules, registers the modules, puts `cards` (0..15) in the device
  // categories and writes the settings file's defaults. A failure undoes what was done and
  // error() names what failed.
  HRESULT Install(const std::vector<UINT>& cards = {0});
  // Undoes everything (also after a failed or partial Install): S_OK or the first failure.
  HRESULT Remove() noexcept;
  const std::wstring& error() const noexcept { return error_; }

  const std::wstring& binFolder() const noexcept { return bin_; }
  // The loaded tamDevice.dll (null before Install).
  HMODULE tamModule() const noexcept;
  // The device path of a card's filter (SimCard_GetDevicePath); empty when not installed.
  std::wstring DevicePath(UINT card, UINT role = kSimRoleCapture) const;

  // tamDevice.ini beside tamDevice.dll. Values written here are part of what Remove undoes
  // (a file that existed before gets its content back).
  SettingsFile settings() const;
  HRESULT SetSetting(const wchar_t* section, const wchar_t* key, const std::wstring& value);

  // Registry values the test asks for, undone by Remove.
  RegistryJournal& registry() noexcept { return registry_; }
  // The Tovrel release trace: "trace" and "log".
  HRESULT SetTrace(DWORD trace, const std::wstring& logPath);
  // The sound path that bypasses the audio filter driver, reaching "DirectSound: SimSound".
  HRESULT BypassSound();

  // Connects the driver stand-in to `stateName` (null: its default), adds the installed cards
  // by their capture paths and attaches it to tamDevice.dll; Remove detaches it.
  HRESULT AttachDriver(const wchar_t* stateName, UINT* patched = nullptr);

 private:
  struct Server {
    std::wstring name;
    UniqueModule module;
  };
  HRESULT Fail(HRESULT hr, std::wstring what);
  HMODULE Loaded(const wchar_t* name) const noexcept;
  HRESULT RegisterCards(const std::vector<UINT>& cards);
  HRESULT RestoreSettings() noexcept;

  std::wstring bin_;
  std::wstring error_;
  std::vector<Server> servers_;  // registered, in order
  std::vector<UINT> cards_;
  HMODULE attached_ = nullptr;
  RegistryJournal registry_;
  bool settingsTouched_ = false, settingsExisted_ = false;
  std::string settingsBefore_;
};

}  // namespace sim_host
