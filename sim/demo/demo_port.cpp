// The serial port server as a host meets it: VornPort.exe registered, LumacrestPort created
// through COM (the server started by COM, calls marshalled by VornPortPS.dll), the port opened
// for this process, one register read sent to the picture board on COM1 and its reply shown.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "common/format.h"
#include "common/local_server.h"
#include "portserver/VornPort.h"
#include "sim/board/board_sim_client.h"
#include "sim/demo/demo_support.h"

namespace demo {
namespace {

constexpr std::uint16_t kPanelIdRegister = 0x5062;
constexpr size_t kOneByteReply = 11;  // header 3, command 2, status 2, address 2, data 1, sum 1

// The read reply's fields, checked: status 0, the register asked for, a correct sum.
bool DecodeReadReply(const unsigned char* reply, size_t size, std::uint16_t address, unsigned* value) {
  if (size != kOneByteReply || reply[0] != 0xAA || reply[1] != 0x00 || reply[2] != size) return false;
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < size; ++i) sum += reply[i];
  if ((sum & 0xFF) != reply[size - 1]) return false;
  if (reply[3] != 0x00 || reply[4] != 0x80 || reply[5] != 0 || reply[6] != 0) return false;
  if (((reply[7] << 8) | reply[8]) != address) return false;
  *value = reply[9];
  return true;
}

}  // namespace

void PortServerStep(Session& session) {
  Verdict& verdict = session.verdict;
  Step(L"Serial port server: VornPort.exe and the picture board on COM1");
  // COM1 may be opened only when the session mapped it to its pty and the board listens there.
  if (!board_sim::BoardSim::Available()) {
    verdict.Fail(L"no simulated picture board in this session (run scripts/demo.sh)");
    return;
  }
  board_sim::BoardSim board;
  Say(FormatW(L"  picture board listening, its directory %ls", board_sim::BoardSim::Directory().c_str()));
  verdict.Check(L"board: clear its frame log", board.Command("clear-log"));

  if (!verdict.Check(L"VornPort.exe /RegServer", RunServerSwitch(L"VornPort.exe", L"/RegServer"))) return;
  session.undo.Add(L"VornPort.exe /UnregServer", [] { return RunServerSwitch(L"VornPort.exe", L"/UnregServer"); });

  Microsoft::WRL::ComPtr<IKelvPortEx> port;
  const ULONGLONG before = GetTickCount64();
  const HRESULT created = local_server::CreateInstance(CLSID_LumacrestPort, IID_IKelvPortEx,
                                                       reinterpret_cast<void**>(port.GetAddressOf()));
  if (!verdict.Check(FormatW(L"CoCreateInstance(LumacrestPort, local server) in %lu ms", MsSince(before)),
                     created))
    return;

  const DWORD self = GetCurrentProcessId();
  if (!verdict.Check(FormatW(L"OpenPort(process %lu)", self), port->OpenPort(self))) return;

  KELVPORT_STATE state{};
  if (verdict.Check(L"GetState", port->GetState(&state)))
    Say(FormatW(L"    line: %lu bit/s, %u data bits, parity %u, stop bits code %u", state.baudrate, state.byteSize,
                state.parity, state.stopBits));

  std::vector<std::uint8_t> request = board_sim::ReadRequest(kPanelIdRegister, 1);
  unsigned char reply[kOneByteReply] = {};
  unsigned long replySize = sizeof(reply);
  Say(FormatW(L"    request: read 1 byte at 0x%04X (panel identifier): %ls", kPanelIdRegister,
              HexBytes(request.data(), request.size()).c_str()));
  if (verdict.Check(L"SendCommand", port->SendCommand(static_cast<unsigned long>(request.size()), request.data(),
                                                      &replySize, reply))) {
    Say(FormatW(L"    reply (%lu bytes): %ls", replySize, HexBytes(reply, replySize).c_str()));
    unsigned panel = 0;
    if (DecodeReadReply(reply, replySize, kPanelIdRegister, &panel)) {
      Say(FormatW(L"    status 0000, register 0x%04X = %u: the panel identifier", kPanelIdRegister, panel));
    } else {
      verdict.Fail(L"the reply is not a well-formed read reply for the panel identifier");
    }
  }
  // What the board saw on its end of the line.
  if (board.WaitForFrames("TX", "read-reply", 1)) {
    for (const board_sim::LoggedFrame& f : board.Frames()) {
      if (f.direction != "RX" && f.direction != "TX") continue;
      Say(FormatW(L"    board log: %hs %hs addr %04X%ls", f.direction.c_str(), f.op.c_str(), f.addr,
                  f.status >= 0 ? FormatW(L" status %04X", f.status).c_str() : L""));
    }
  } else {
    verdict.Fail(L"the board logged no reply");
  }

  verdict.Check(FormatW(L"ClosePort(process %lu)", self), port->ClosePort(self));
  port.Reset();
  Say(L"  released LumacrestPort (the server leaves by itself after its linger time)");
}

}  // namespace demo
