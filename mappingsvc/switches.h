// The command-line switches of MappingSvc.exe.
#pragma once

namespace mappingsvc {

enum class Switch {
  None,         // run: as the service when the AppID names one, else as a plain local server
  RegServer,    // register the local server (no service)
  UnregServer,  // remove the service and every registration
  Service,      // register and install the service
};

// The first known switch of `arguments` (the command line without the program name). A switch
// begins a word with "-" or "/", ends at a blank or tab and is compared without regard to case;
// unknown switches (such as COM's "-Embedding") are passed over.
Switch ParseSwitch(const wchar_t* arguments) noexcept;

}  // namespace mappingsvc
