// The one communications port of the serial port server: opened with settings held as names,
// configured from tables of names, and used for write-then-read transfers.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "common/handles.h"
#include "common/locks.h"

// The line settings of the port (the platform's DCB codes). Layout as in the server's
// interfaces.
struct PortState {
  std::uint32_t baudrate;
  std::uint8_t byteSize;
  std::uint8_t parity;
  std::uint8_t stopBits;
};

namespace serial_settings {

struct NamedValue {
  const wchar_t* name;
  int value;
};

// Exact, case-sensitive lookup in row order; -1 when the name is not in the table.
int Lookup(const NamedValue* table, std::size_t rows, const wchar_t* name);
template <std::size_t N>
int Lookup(const NamedValue (&table)[N], const wchar_t* name) {
  return Lookup(table, N, name);
}

extern const NamedValue kBaudRates[15];
extern const NamedValue kStopBits[3];
extern const NamedValue kParities[5];
extern const NamedValue kByteSizes[5];
extern const NamedValue kDtrControls[3];
extern const NamedValue kRtsControls[4];

}  // namespace serial_settings

// Everything a port is configured with besides the line state. The defaults are the server's
// settings: COM1, 57600 8N1, DTR and RTS on, 4096-byte queues, 1000 ms time-outs.
struct SerialSettings {
  int portIndex = 0;  // the device is "\\.\COM<index + 1>"
  const wchar_t* baud = L"57600";
  const wchar_t* stopBits = L"1";
  const wchar_t* parity = L"Non";
  const wchar_t* byteSize = L"8";
  DWORD inQueue = 4096;
  DWORD outQueue = 4096;
  // DCB flags, all off.
  DWORD outxCtsFlow = 0, outxDsrFlow = 0, dsrSensitivity = 0, txContinueOnXoff = 0,
        outX = 0, inX = 0, discardNulls = 0;
  const wchar_t* dtrControl = L"Enable";
  const wchar_t* rtsControl = L"Enable";
  DWORD abortOnError = 0;
  WORD xonLimit = 0, xoffLimit = 0;
  char xonChar = 0, xoffChar = 0, errorChar = ' ', eofChar = 0, evtChar = 0;
  DWORD timeoutConstant = 1000;
  DWORD readMultiplier = 0;
  DWORD writeConstant = 1000;   // kept with the settings; the time-out call uses timeoutConstant
  DWORD writeMultiplier = 0;
  DWORD thirdConstant = 1000;
};

// The DCB that SetState gives to SetCommState for a state and the stored settings.
DCB BuildDcb(const SerialSettings& settings, const PortState& state);

// The largest reply one transfer reads: the input queue's size.
constexpr DWORD kMaxReadSize = 4096;

class SerialPort {
 public:
  explicit SerialPort(const SerialSettings& settings = SerialSettings());
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;
  virtual ~SerialPort();

  // Opens and configures the port; S_OK at once when it is open. Any failing step closes the
  // port again and returns that step's HRESULT. Bytes left queued by an earlier holder of the
  // line are discarded.
  virtual HRESULT Open();
  virtual void Close();
  virtual bool IsOpen() const;
  // Configures the open port's line (the stored settings stay as they are).
  virtual HRESULT SetState(const PortState& state);
  virtual HRESULT GetState(PortState* state);
  // Read interval, read total and write total time-outs in ms. 0 and MAXDWORD (which the
  // platform reads as "wait for ever" and "return at once") are refused with E_INVALIDARG.
  virtual HRESULT SetTimeouts(DWORD timeoutMs);
  // Discards what is left of earlier replies, writes all bytes, then reads up to *readSize bytes. S_OK with a full reply, S_FALSE with
  // *readSize = the bytes read when fewer came before the time-outs ran out. A short or failed
  // write is a failure with *readSize = 0; a failed read returns its HRESULT with *readSize =
  // the bytes read.
  virtual HRESULT Transfer(DWORD writeSize, const BYTE* write, DWORD* readSize, BYTE* read);

  const SerialSettings& settings() const noexcept { return settings_; }
  // The device name, "\\.\COM1" for index 0.
  const wchar_t* deviceName() const noexcept { return deviceName_; }

 private:
  CriticalSection lock_;
  UniqueFileHandle port_;
  SerialSettings settings_;
  wchar_t deviceName_[32] = {};
};
