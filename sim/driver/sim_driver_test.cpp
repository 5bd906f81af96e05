#include "sim/driver/sim_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/handles.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"
#include "sim/driver/driver_requests.h"

namespace {

using CreateFn = HANDLE (*)(const wchar_t*, DWORD, DWORD, DWORD, DWORD);
using IoctlFn = BOOL (*)(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*);
using CloseFn = BOOL (*)(HANDLE);
using TuneFn = HRESULT (*)(const wchar_t*, std::uint32_t, std::uint32_t*);

std::wstring CardPath(const std::wstring& instance) {
  return FormatW(L"\\\\?\\sim#ven_5a52&dev_7130&subsys_00011a2b&rev_01#3&2411e6fe&0&%ls"
                 L"#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\capture",
                 instance.c_str());
}

std::wstring& StateName() {
  static std::wstring name = testing_support::UniqueName(L"Global\\VornSimDriverTest_");
  return name;
}

struct Packet28 {
  GUID set;
  std::uint32_t id, kind, value;
};

// A module built like a device manager, loaded and with the stand-in attached.
class SimDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, SimDriver_Connect(StateName().c_str()));
    probe_.reset(LoadLibraryW(testing_support::BinPath(L"driverprobe.dll").c_str()));
    ASSERT_TRUE(probe_);
    UINT patched = 0;
    ASSERT_EQ(S_OK, SimDriver_Attach(probe_.get(), &patched));
    EXPECT_EQ(3u, patched);
    create_ = GetProcAs<CreateFn>(probe_.get(), "Probe_CreateFileW");
    ioctl_ = GetProcAs<IoctlFn>(probe_.get(), "Probe_DeviceIoControl");
    close_ = GetProcAs<CloseFn>(probe_.get(), "Probe_CloseHandle");
    tune_ = GetProcAs<TuneFn>(probe_.get(), "Probe_TuneAndRead");
    ASSERT_TRUE(create_ && ioctl_ && close_ && tune_);
    path_ = CardPath(testing_support::UniqueName(L"48_"));
    ASSERT_EQ(S_OK, SimDriver_AddCard(path_.c_str(), &card_));
  }
  void TearDown() override {
    if (probe_) {
      EXPECT_EQ(S_OK, SimDriver_Detach(probe_.get()));
    }
  }

  HANDLE OpenDevice(const std::wstring& path) { return create_(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0); }

  // Sends a 28-byte property packet; the driver's error (0 for success).
  DWORD Send(HANDLE device, const GUID& set, std::uint32_t id, std::uint32_t kind, std::uint32_t* value) {
    Packet28 packet{set, id, kind, *value};
    DWORD returned = 0;
    const BOOL ok = ioctl_(device, simdriver::kPropertyCode, &packet, sizeof(packet), &packet, sizeof(packet), &returned);
    *value = packet.value;
    return ok ? 0 : GetLastError();
  }

  SimDriverLogEntry LastLog() {
    UINT count = 0, next = 0;
    SimDriver_ReadLog(0, nullptr, 0, &count, &next);
    SimDriverLogEntry entry{};
    SimDriver_ReadLog(next - 1, &entry, 1, &count, nullptr);
    return entry;
  }

  UniqueModule probe_;
  CreateFn create_ = nullptr;
  IoctlFn ioctl_ = nullptr;
  CloseFn close_ = nullptr;
  TuneFn tune_ = nullptr;
  std::wstring path_;
  UINT card_ = 0;
};

TEST_F(SimDriverTest, CardDevicesOpenAsRealHandlesAndUnknownRequestsFailLoudly) {
  const std::wstring device = path_ + L"\\ZARN ORVANE encoder DEVICE";  // any case
  HANDLE first = OpenDevice(device);
  HANDLE second = OpenDevice(device);
  ASSERT_NE(INVALID_HANDLE_VALUE, first);
  ASSERT_NE(INVALID_HANDLE_VALUE, second);
  EXPECT_NE(first, second);
  SimDriverCardState state{};
  ASSERT_EQ(S_OK, SimDriver_GetCardState(card_, &state));
  EXPECT_EQ(2u, state.openHandles);

  std::uint32_t value = 0;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), Send(first, simdriver::kTunerPropertySet, 9, 1, &value));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), LastLog().error);
  EXPECT_EQ(9u, LastLog().packet[16]);
  std::uint8_t buffer[12] = {};
  DWORD returned = 0;
  EXPECT_FALSE(ioctl_(first, 0x220004, buffer, 12, buffer, 12, &returned));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
  EXPECT_EQ(0x220004u, LastLog().code);
  // A known request of the wrong length.
  EXPECT_FALSE(ioctl_(first, simdriver::kDeviceInfo32Code, buffer, 12, buffer, 12, &returned));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  EXPECT_TRUE(close_(first));
  EXPECT_TRUE(close_(second));
  ASSERT_EQ(S_OK, SimDriver_GetCardState(card_, &state));
  EXPECT_EQ(0u, state.openHandles);

  // A card nobody registered, and a card whose opens are made to fail.
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDevice(CardPath(L"77") + SIM_DRIVER_ENCODER_SUFFIX));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  ASSERT_EQ(S_OK, SimDriver_FailOpen(card_, TRUE, ERROR_BUSY));
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDevice(device));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
}

TEST_F(SimDriverTest, EverythingElseReachesTheSystem) {
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  const std::wstring file = std::wstring(folder) + testing_support::UniqueName(L"simdriver_") + L".txt";
  HANDLE handle = create_(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(handle, "abc", 3, &written, nullptr));
  // The system's own answer to a request on a file, whatever it is, comes back unchanged.
  std::uint8_t out[64] = {};
  DWORD returned = 0;
  SetLastError(0);
  const BOOL viaProbe = ioctl_(handle, 0x220000, nullptr, 0, out, sizeof(out), &returned);
  const DWORD probeError = GetLastError();
  SetLastError(0);
  const BOOL direct = DeviceIoControl(handle, 0x220000, nullptr, 0, out, sizeof(out), &returned, nullptr);
  EXPECT_EQ(direct, viaProbe);
  EXPECT_EQ(GetLastError(), probeError);
  EXPECT_TRUE(close_(handle));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(file.c_str()));  // deleted on close

  const std::wstring pipeName = L"\\\\.\\pipe\\" + testing_support::UniqueName(L"simdriver_");
  UniqueFileHandle server(CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                           64, 64, 0, nullptr));
  ASSERT_TRUE(server);
  HANDLE client = create_(pipeName.c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, client);
  EXPECT_TRUE(WriteFile(client, "pipe", 4, &written, nullptr));
  char read[8] = {};
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(server.get(), read, sizeof(read), &got, nullptr));
  EXPECT_EQ(std::string("pipe"), std::string(read, got));
  EXPECT_TRUE(close_(client));
}

TEST_F(SimDriverTest, TheModulesDriverLinkReachesTheCardUntilDetached) {
  std::uint32_t readBack = 0;
  EXPECT_EQ(S_OK, tune_(path_.c_str(), 181250000, &readBack));
  EXPECT_EQ(181250000u, readBack);
  SimDriverCardState state{};
  ASSERT_EQ(S_OK, SimDriver_GetCardState(card_, &state));
  EXPECT_EQ(181250000u, state.frequency);
  EXPECT_EQ(0u, state.openHandles);

  ASSERT_EQ(S_OK, SimDriver_Detach(probe_.get()));
  EXPECT_TRUE(FAILED(tune_(path_.c_str(), 187250000, &readBack)));  // the system knows no such device
  ASSERT_EQ(S_OK, SimDriver_GetCardState(card_, &state));
  EXPECT_EQ(181250000u, state.frequency);
  UINT patched = 0;
  ASSERT_EQ(S_OK, SimDriver_Attach(probe_.get(), &patched));
  EXPECT_EQ(3u, patched);
}

VORN_CHILD(SimDriverPeer) {
  // args: state name, device path, event name, done event name
  if (args.size() != 4 || FAILED(SimDriver_Connect(args[0].c_str()))) return 2;
  UniqueModule probe(LoadLibraryW(testing_support::BinPath(L"driverprobe.dll").c_str()));
  UINT card = 0, patched = 0;
  if (!probe || FAILED(SimDriver_Attach(probe.get(), &patched)) || SimDriver_AddCard(args[1].c_str(), &card) != S_FALSE) {
    return 3;
  }
  auto create = GetProcAs<CreateFn>(probe.get(), "Probe_CreateFileW");
  auto ioctl = GetProcAs<IoctlFn>(probe.get(), "Probe_DeviceIoControl");
  auto close = GetProcAs<CloseFn>(probe.get(), "Probe_CloseHandle");
  HANDLE device = create((args[1] + SIM_DRIVER_ENCODER_SUFFIX).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         OPEN_EXISTING, 0);
  UniqueHandle event(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, args[2].c_str()));
  UniqueHandle done(OpenEventW(SYNCHRONIZE, FALSE, args[3].c_str()));
  if (device == INVALID_HANDLE_VALUE || !event || !done) return 4;
  // Tune, then register the audio-mode event and stay until the parent has signalled it.
  std::uint8_t tune[32] = {};
  std::memcpy(tune, &simdriver::kTunerPropertySet, 16);
  const std::uint32_t words[4] = {2, simdriver::kKindSet, 91250000, 1};
  std::memcpy(tune + 16, words, sizeof(words));
  DWORD returned = 0;
  Packet28 audio{simdriver::kTunerPropertySet, 0, simdriver::kKindSet,
                 static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(event.get()))};
  if (!ioctl(device, simdriver::kPropertyCode, tune, 32, tune, 32, &returned) ||
      !ioctl(device, simdriver::kPropertyCode, &audio, 28, &audio, 28, &returned)) {
    return 5;
  }
  const DWORD waited = WaitForSingleObject(done.get(), 20000);
  close(device);
  SimDriver_Detach(probe.get());
  return waited == WAIT_OBJECT_0 ? 0 : 6;
}

TEST_F(SimDriverTest, TwoProcessesSeeOneCard) {
  const std::wstring eventName = testing_support::UniqueName(L"Global\\VornSimAudio_");
  const std::wstring doneName = testing_support::UniqueName(L"Global\\VornSimDone_");
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, doneName.c_str()));
  auto peer = testing_support::ChildProcess::Start("SimDriverPeer", {StateName(), path_, eventName, doneName});
  ASSERT_TRUE(peer.valid());
  SimDriverCardState state{};
  for (int i = 0; i < 400 && state.events[kSimEventAudioMode] == 0; ++i) {  // at most 20 s
    if (WaitForSingleObject(peer.handle(), 50) == WAIT_OBJECT_0) break;
    SimDriver_GetCardState(card_, &state);
  }
  EXPECT_EQ(91250000u, state.frequency);
  ASSERT_EQ(1u, state.events[kSimEventAudioMode]);
  // The peer's event, signalled from this process.
  ASSERT_EQ(S_OK, SimDriver_SetTvAudioMode(card_, 2));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 5000));
  SetEvent(done.get());
  EXPECT_EQ(0u, peer.Wait(30000));
  ASSERT_EQ(S_OK, SimDriver_GetCardState(card_, &state));
  EXPECT_EQ(0u, state.events[kSimEventAudioMode]);
  EXPECT_EQ(2u, state.tvAudioMode);
}

}  // namespace
