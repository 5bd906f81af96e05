// Security attributes that let processes of other users and services open the system's
// named objects. Every Global\ object is created with one of these.
#pragma once

#include <windows.h>

#include <memory>

class OpenSecurity {
 public:
  static constexpr DWORD kSectionAllAccess = 0xF001F;  // all access to a section
  static constexpr DWORD kPipeAllAccess = 0x1F01FF;    // all access to a file (pipes)

  // A descriptor with a NULL DACL: full access for everyone (mutexes, events).
  static OpenSecurity NullDacl();
  // A descriptor whose DACL holds one access-allowed entry for Everyone with `mask`.
  static OpenSecurity Everyone(DWORD mask);

  OpenSecurity(OpenSecurity&&) noexcept = default;
  OpenSecurity& operator=(OpenSecurity&&) noexcept = default;
  ~OpenSecurity();

  // Null when the descriptor could not be built (the last error tells why).
  SECURITY_ATTRIBUTES* get() noexcept;
  bool valid() const noexcept { return state_ && state_->ok; }
  // The Win32 error recorded when building failed (0 when valid).
  DWORD error() const noexcept { return state_ ? state_->error : ERROR_OUTOFMEMORY; }

 private:
  struct State {
    SECURITY_ATTRIBUTES attributes{};
    SECURITY_DESCRIPTOR descriptor{};
    PSID everyone = nullptr;
    PACL acl = nullptr;
    bool ok = false;
    DWORD error = 0;
  };
  OpenSecurity();
  std::unique_ptr<State> state_;  // heap-held: the attributes point into the descriptor
};
