// The serial port's settings: name tables, the DCB it configures, and what it refuses without
// touching any device.
#include "portserver/serial_port.h"

#include <gtest/gtest.h>

#include "common/hresult.h"

namespace {

using namespace serial_settings;

TEST(SerialSettingsTables, LookUpExactNamesOnly) {
  EXPECT_EQ(Lookup(kBaudRates, L"57600"), 57600);
  EXPECT_EQ(Lookup(kBaudRates, L"256000"), 256000);
  EXPECT_EQ(Lookup(kBaudRates, L"57601"), -1);
  EXPECT_EQ(Lookup(kParities, L"Non"), NOPARITY);
  EXPECT_EQ(Lookup(kParities, L"None"), -1);
  EXPECT_EQ(Lookup(kParities, L"even"), -1);  // case matters
  EXPECT_EQ(Lookup(kParities, L"Space"), SPACEPARITY);
  EXPECT_EQ(Lookup(kStopBits, L"1.5"), ONE5STOPBITS);
  EXPECT_EQ(Lookup(kByteSizes, L"3"), -1);
  EXPECT_EQ(Lookup(kRtsControls, L"Toggle"), RTS_CONTROL_TOGGLE);
  EXPECT_EQ(Lookup(kDtrControls, L"Toggle"), -1);
  EXPECT_EQ(Lookup(kDtrControls, nullptr), -1);
}

TEST(SerialPortDcb, DefaultLineIs57600EightNoneOneWithDtrAndRts) {
  const DCB dcb = BuildDcb(SerialSettings(), PortState{57600, 8, NOPARITY, ONESTOPBIT});
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.BaudRate, 57600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_TRUE(dcb.fBinary);
  EXPECT_FALSE(dcb.fParity);
  EXPECT_FALSE(dcb.fErrorChar);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_FALSE(dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fOutX ||
               dcb.fInX || dcb.fNull || dcb.fAbortOnError || dcb.fTXContinueOnXoff);
  EXPECT_EQ(dcb.ErrorChar, ' ');
}

TEST(SerialPortDcb, ParityTurnsCheckingAndBlankReplacementOn) {
  const DCB dcb = BuildDcb(SerialSettings(), PortState{9600, 7, EVENPARITY, TWOSTOPBITS});
  EXPECT_TRUE(dcb.fParity);
  EXPECT_TRUE(dcb.fErrorChar);
  EXPECT_EQ(dcb.ErrorChar, 32);
  EXPECT_EQ(dcb.Parity, EVENPARITY);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
}

TEST(SerialPortClosed, RefusesWithoutTouchingADevice) {
  SerialPort port;
  EXPECT_STREQ(port.deviceName(), L"\\\\.\\COM1");
  EXPECT_FALSE(port.IsOpen());
  BYTE in[2] = {1, 2}, out[4] = {};
  DWORD size = 4;
  EXPECT_TRUE(FAILED(port.Transfer(2, in, &size, out)));
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(port.Transfer(2, in, nullptr, out), E_POINTER);
  size = 4;
  EXPECT_EQ(port.Transfer(2, in, &size, nullptr), E_POINTER);
  PortState state{};
  EXPECT_EQ(port.GetState(&state), HResultFromWin32(ERROR_INVALID_HANDLE));
  // 0 would mean "wait for ever" to the platform, MAXDWORD "return at once".
  EXPECT_EQ(port.SetTimeouts(0), E_INVALIDARG);
  EXPECT_EQ(port.SetTimeouts(MAXDWORD), E_INVALIDARG);
}

TEST(SerialPortOpen, MissingDeviceGivesFileNotFound) {
  // Only inside the test session, whose prefix maps no serial device but the session's pty.
  char session[8] = {};
  if (GetEnvironmentVariableA("VORN_WINE_SESSION", session, 8) != 1 || session[0] != '1')
    GTEST_SKIP() << "not in a Wine test session";
  SerialSettings settings;
  settings.portIndex = 199;  // COM200: never mapped
  SerialPort port(settings);
  EXPECT_STREQ(port.deviceName(), L"\\\\.\\COM200");
  EXPECT_EQ(port.Open(), HResultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(port.IsOpen());
}

}  // namespace
