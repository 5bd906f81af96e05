// Test-side control of the simulated picture board from a program running under Wine: sends
// commands through the board's control file, waits for their acknowledgement, and reads the
// decoded frames it logged. The board runs on the host, on the far end of COM1's pty.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace board_sim {

// One line of frames.log.
struct LoggedFrame {
  double ms = 0;                // since the board started
  std::string direction;        // "RX" towards the board, "TX" from it, "--" control
  std::string event;            // "frame", "badsum", "garbage", "partial", "none", "control"
  std::string op;               // "write", "read", "reset", "write-reply", "read-reply", ...
  int addr = -1;                // register address, -1 when none
  int count = -1;
  int status = -1;
  std::vector<std::uint8_t> data;  // written data (requests) or read data (not logged: -1)
  std::vector<std::uint8_t> raw;
  std::string fault;            // the injected faults that shaped a reply
};

class BoardSim {
 public:
  // True when this run is a Wine session whose COM1 is the session's pty (the only case in
  // which a test may open COM1) and the board is listening.
  static bool Available();
  // The board's directory as a Windows path, from VORN_RUN_DIR (empty when not in a session).
  static std::wstring Directory();

  BoardSim();

  // Sends one command line ("fault noreply op=read count=1", "reset-all", ...) and waits up to
  // timeoutMs for its acknowledgement. S_OK when done, E_INVALIDARG when the board refused it,
  // HRESULT_FROM_WIN32(ERROR_TIMEOUT) without an answer.
  HRESULT Command(const std::string& line, DWORD timeoutMs = 5000);
  // Faults cleared, power-on profile reloaded, log cleared.
  HRESULT ResetAll() { return Command("reset-all"); }

  std::vector<LoggedFrame> Frames() const;
  // Waits until at least `count` frames match op (and direction when not empty).
  bool WaitForFrames(const std::string& direction, const std::string& op, size_t count,
                     DWORD timeoutMs = 3000) const;
  // The whole register array as the board holds it now.
  std::vector<std::uint8_t> Registers();

 private:
  std::wstring dir_;
  unsigned seq_ = 0;
};

std::vector<std::uint8_t> FromHex(const std::string& hex);

// A frame around a body (bytes 3 .. L-2): 0xAA 0x00, the length, the body and the 8-bit sum.
std::vector<std::uint8_t> MakeFrame(const std::vector<std::uint8_t>& body);
// The board's register read request for `count` bytes at `addr`.
std::vector<std::uint8_t> ReadRequest(std::uint16_t addr, std::uint8_t count);

}  // namespace board_sim
