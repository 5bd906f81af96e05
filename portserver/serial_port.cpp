#include "portserver/serial_port.h"

#include <cwchar>

#include "common/format.h"
#include "common/hresult.h"

namespace serial_settings {

const NamedValue kBaudRates[15] = {
    {L"110", 110},       {L"300", 300},       {L"600", 600},       {L"1200", 1200},
    {L"2400", 2400},     {L"4800", 4800},     {L"9600", 9600},     {L"14400", 14400},
    {L"19200", 19200},   {L"38400", 38400},   {L"56000", 56000},   {L"57600", 57600},
    {L"115200", 115200}, {L"128000", 128000}, {L"256000", 256000}};
const NamedValue kStopBits[3] = {{L"1", ONESTOPBIT}, {L"1.5", ONE5STOPBITS}, {L"2", TWOSTOPBITS}};
const NamedValue kParities[5] = {{L"Non", NOPARITY}, {L"Odd", ODDPARITY}, {L"Even", EVENPARITY},
                                 {L"Mark", MARKPARITY}, {L"Space", SPACEPARITY}};
const NamedValue kByteSizes[5] = {{L"4", 4}, {L"5", 5}, {L"6", 6}, {L"7", 7}, {L"8", 8}};
const NamedValue kDtrControls[3] = {{L"Disable", DTR_CONTROL_DISABLE},
                                    {L"Enable", DTR_CONTROL_ENABLE},
                                    {L"Handshake", DTR_CONTROL_HANDSHAKE}};
const NamedValue kRtsControls[4] = {{L"Disable", RTS_CONTROL_DISABLE},
                                    {L"Enable", RTS_CONTROL_ENABLE},
                                    {L"Handshake", RTS_CONTROL_HANDSHAKE},
                                    {L"Toggle", RTS_CONTROL_TOGGLE}};

int Lookup(const NamedValue* table, std::size_t rows, const wchar_t* name) {
  if (!table || !name) return -1;
  for (std::size_t i = 0; i < rows; ++i)
    if (std::wcscmp(table[i].name, name) == 0) return table[i].value;
  return -1;
}

}  // namespace serial_settings

using serial_settings::Lookup;

DCB BuildDcb(const SerialSettings& s, const PortState& state) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = state.baudrate;
  dcb.ByteSize = state.byteSize;
  dcb.Parity = state.parity;
  dcb.StopBits = state.stopBits;
  dcb.fBinary = TRUE;
  // Parity checking and replacing bad bytes with the error character go with a parity.
  dcb.fParity = state.parity != NOPARITY;
  dcb.fErrorChar = state.parity != NOPARITY;
  dcb.fOutxCtsFlow = s.outxCtsFlow != 0;
  dcb.fOutxDsrFlow = s.outxDsrFlow != 0;
  dcb.fDsrSensitivity = s.dsrSensitivity != 0;
  dcb.fTXContinueOnXoff = s.txContinueOnXoff != 0;
  dcb.fOutX = s.outX != 0;
  dcb.fInX = s.inX != 0;
  dcb.fNull = s.discardNulls != 0;
  dcb.fDtrControl = static_cast<DWORD>(Lookup(serial_settings::kDtrControls, s.dtrControl)) & 3;
  dcb.fRtsControl = static_cast<DWORD>(Lookup(serial_settings::kRtsControls, s.rtsControl)) & 3;
  dcb.fAbortOnError = s.abortOnError != 0;
  dcb.XonLim = s.xonLimit;
  dcb.XoffLim = s.xoffLimit;
  dcb.XonChar = s.xonChar;
  dcb.XoffChar = s.xoffChar;
  dcb.ErrorChar = s.errorChar;
  dcb.EofChar = s.eofChar;
  dcb.EvtChar = s.evtChar;
  return dcb;
}

SerialPort::SerialPort(const SerialSettings& settings) : settings_(settings) {
  const std::wstring name = FormatW(L"\\\\.\\COM%d", settings_.portIndex + 1);
  wcsncpy_s(deviceName_, name.c_str(), _TRUNCATE);
}

SerialPort::~SerialPort() { Close(); }

bool SerialPort::IsOpen() const { return port_.valid(); }

HRESULT SerialPort::Open() {
  LockGuard guard(lock_, INFINITE);
  if (port_) return S_OK;
  port_.reset(CreateFileW(deviceName_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr));
  if (!port_) return HResultFromLastError();
  HRESULT hr = S_OK;
  if (!SetupComm(port_.get(), settings_.inQueue, settings_.outQueue)) hr = HResultFromLastError();
  if (SUCCEEDED(hr)) {
    const int baud = Lookup(serial_settings::kBaudRates, settings_.baud);
    const int size = Lookup(serial_settings::kByteSizes, settings_.byteSize);
    const int parity = Lookup(serial_settings::kParities, settings_.parity);
    const int stop = Lookup(serial_settings::kStopBits, settings_.stopBits);
    if (baud < 0 || size < 0 || parity < 0 || stop < 0) {
      hr = E_INVALIDARG;
    } else {
      hr = SetState(PortState{static_cast<std::uint32_t>(baud), static_cast<std::uint8_t>(size),
                              static_cast<std::uint8_t>(parity), static_cast<std::uint8_t>(stop)});
    }
  }
  if (SUCCEEDED(hr)) hr = SetTimeouts(settings_.timeoutConstant);
  // A reply that came late for an earlier holder must never answer a new request.
  if (SUCCEEDED(hr) && !PurgeComm(port_.get(), PURGE_RXCLEAR | PURGE_TXCLEAR))
    hr = HResultFromLastError();
  if (FAILED(hr)) port_.reset();
  return FAILED(hr) ? hr : S_OK;
}

void SerialPort::Close() {
  LockGuard guard(lock_, INFINITE);
  port_.reset();
}

HRESULT SerialPort::SetState(const PortState& state) {
  LockGuard guard(lock_, INFINITE);
  DCB dcb = BuildDcb(settings_, state);
  if (!SetCommState(port_.valid() ? port_.get() : INVALID_HANDLE_VALUE, &dcb))
    return HResultFromLastError();
  return S_OK;
}

HRESULT SerialPort::GetState(PortState* state) {
  if (!state) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(port_.valid() ? port_.get() : INVALID_HANDLE_VALUE, &dcb))
    return HResultFromLastError();
  state->baudrate = dcb.BaudRate;
  state->byteSize = dcb.ByteSize;
  state->parity = dcb.Parity;
  state->stopBits = dcb.StopBits;
  return S_OK;
}

HRESULT SerialPort::SetTimeouts(DWORD timeoutMs) {
  if (timeoutMs == 0 || timeoutMs == MAXDWORD) return E_INVALIDARG;
  LockGuard guard(lock_, INFINITE);
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = timeoutMs;
  t.ReadTotalTimeoutMultiplier = settings_.readMultiplier;
  t.ReadTotalTimeoutConstant = timeoutMs;
  t.WriteTotalTimeoutMultiplier = settings_.writeMultiplier;
  t.WriteTotalTimeoutConstant = timeoutMs;
  if (!SetCommTimeouts(port_.valid() ? port_.get() : INVALID_HANDLE_VALUE, &t))
    return HResultFromLastError();
  return S_OK;
}

HRESULT SerialPort::Transfer(DWORD writeSize, const BYTE* write, DWORD* readSize, BYTE* read) {
  if (!readSize || (writeSize && !write) || (*readSize && !read)) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  const DWORD expected = *readSize;
  *readSize = 0;
  if (!port_) return HResultFromWin32(ERROR_INVALID_HANDLE);
  // What is left of an earlier reply (one read shorter than the board's answer, or an answer
  // that came after its read gave up) must never be read as this command's reply.
  if (!PurgeComm(port_.get(), PURGE_RXCLEAR)) return HResultFromLastError();
  DWORD written = 0;
  if (!WriteFile(port_.get(), write, writeSize, &written, nullptr)) return HResultFromLastError();
  // A write the time-out cut short is a failure even though the call itself succeeded.
  if (written != writeSize) return E_FAIL;
  if (expected == 0) return S_OK;
  DWORD got = 0;
  if (!ReadFile(port_.get(), read, expected, &got, nullptr)) {
    const HRESULT hr = HResultFromLastError();
    *readSize = got;
    return hr;
  }
  *readSize = got;
  return got == expected ? S_OK : S_FALSE;
}
