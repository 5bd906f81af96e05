// Test support: captures what the process passes to OutputDebugString, without a debugger.
// The call raises a continuable exception carrying the text (0x4001000A with wide text on
// Windows, 0x40010006 with narrow text under Wine); a vectored handler records it and lets
// the program go on.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

  // Every text captured so far (one entry per OutputDebugString call), in order.
  std::vector<std::wstring> Texts() const;
  // The captured texts that contain `needle`.
  std::vector<std::wstring> Containing(const std::wstring& needle) const;
  void Clear();

 private:
  static LONG CALLBACK Handler(EXCEPTION_POINTERS* info);
  void* handler_ = nullptr;
};

}  // namespace testing_support
