#include "sim/board/board_sim_client.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "common/format.h"
#include "common/handles.h"

namespace board_sim {
namespace {

std::wstring EnvW(const wchar_t* name) {
  wchar_t buffer[1024] = {};
  const DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
  return n > 0 && n < 1024 ? std::wstring(buffer, n) : std::wstring();
}

bool ReadWholeFile(const std::wstring& path, std::string* out) {
  UniqueFileHandle f(CreateFileW(path.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  if (!f) return false;
  out->clear();
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(f.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) out->append(buffer, got);
  return true;
}

int HexValue(const std::string& text) { return static_cast<int>(std::strtol(text.c_str(), nullptr, 16)); }

}  // namespace

std::vector<std::uint8_t> FromHex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16)));
  return bytes;
}

std::vector<std::uint8_t> MakeFrame(const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> frame;
  frame.reserve(body.size() + 4);
  frame.push_back(0xAA);
  frame.push_back(0x00);
  frame.push_back(static_cast<std::uint8_t>(body.size() + 4));
  for (std::uint8_t b : body) frame.push_back(b);
  unsigned sum = 0;
  for (std::uint8_t b : frame) sum += b;
  frame.push_back(static_cast<std::uint8_t>(sum));
  return frame;
}

std::vector<std::uint8_t> ReadRequest(std::uint16_t addr, std::uint8_t count) {
  return MakeFrame({0x00, 0x80, static_cast<std::uint8_t>(addr >> 8), static_cast<std::uint8_t>(addr), count});
}

std::wstring BoardSim::Directory() {
  const std::wstring run = EnvW(L"VORN_RUN_DIR");
  if (run.empty()) return {};
  std::wstring path = L"Z:" + run + L"/board-sim";
  for (auto& c : path) if (c == L'/') c = L'\\';
  return path;
}

bool BoardSim::Available() {
  if (EnvW(L"VORN_WINE_SESSION") != L"1") return false;
  const std::wstring dir = Directory();
  return !dir.empty() && GetFileAttributesW((dir + L"\\ready").c_str()) != INVALID_FILE_ATTRIBUTES;
}

BoardSim::BoardSim() : dir_(Directory()) {
  // Sequence numbers of this process start somewhere unlikely to repeat an earlier ack.
  seq_ = (GetCurrentProcessId() % 1000) * 100000 + (GetTickCount() % 100000);
}

HRESULT BoardSim::Command(const std::string& line, DWORD timeoutMs) {
  if (dir_.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  const unsigned seq = ++seq_;
  const std::string text = FormatA("%u %hs\n", seq, line.c_str());
  {
    UniqueFileHandle f(CreateFileW((dir_ + L"\\control").c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                                   nullptr));
    if (!f) return HRESULT_FROM_WIN32(GetLastError());
    DWORD written = 0;
    if (!WriteFile(f.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size())
      return E_FAIL;
  }
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  do {
    std::string ack;
    if (ReadWholeFile(dir_ + L"\\ack", &ack)) {
      std::istringstream in(ack);
      unsigned got = 0;
      std::string result;
      if (in >> got >> result && got == seq) return result == "ok" ? S_OK : E_INVALIDARG;
    }
    Sleep(10);
  } while (GetTickCount64() < deadline);
  return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
}

std::vector<LoggedFrame> BoardSim::Frames() const {
  std::vector<LoggedFrame> frames;
  std::string text;
  if (!ReadWholeFile(dir_ + L"\\frames.log", &text)) return frames;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    LoggedFrame f;
    if (!(words >> f.ms >> f.direction >> f.event)) continue;
    std::string word;
    while (words >> word) {
      const size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
      if (key == "op") f.op = value;
      else if (key == "addr") f.addr = HexValue(value);
      else if (key == "count") f.count = std::atoi(value.c_str());
      else if (key == "status") f.status = HexValue(value);
      else if (key == "data") f.data = FromHex(value);
      else if (key == "raw") f.raw = FromHex(value);
      else if (key == "fault") f.fault = value;
    }
    frames.push_back(std::move(f));
  }
  return frames;
}

bool BoardSim::WaitForFrames(const std::string& direction, const std::string& op, size_t count,
                             DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    size_t n = 0;
    for (const auto& f : Frames())
      n += f.op == op && (direction.empty() || f.direction == direction);
    if (n >= count) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

std::vector<std::uint8_t> BoardSim::Registers() {
  if (FAILED(Command("dump"))) return {};
  std::string bytes;
  if (!ReadWholeFile(dir_ + L"\\registers.bin", &bytes)) return {};
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace board_sim
