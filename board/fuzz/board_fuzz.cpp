// Fuzz target for what the board control takes from outside: board replies and settings
// sections. Built for the host with libFuzzer and the address sanitizer; the first byte picks
// the parser.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "board/board_frames.h"
#include "board/panel_map.h"

namespace {

// A register shadow over the two picture blocks that faults any store outside them.
class Shadow final : public board::RegisterShadow {
 public:
  bool Store(std::uint16_t address, int width, std::uint32_t value) override {
    for (auto& [start, bytes] : blocks_) {
      if (address < start || address - start + width > static_cast<int>(bytes.size())) continue;
      for (int i = width - 1; i >= 0; --i, value >>= 8) bytes.at(address - start + i) = static_cast<std::uint8_t>(value);
      return true;
    }
    return false;
  }
  bool FlushPending() override { return true; }

 private:
  std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> blocks_ = {
      {0x4000, std::vector<std::uint8_t>(133)}, {0xA700, std::vector<std::uint8_t>(130)}};
};

void FuzzReply(const std::uint8_t* data, std::size_t size) {
  // Exactly the bytes that arrived, in a buffer of their own size: any over-read is caught.
  std::vector<std::uint8_t> reply(data, data + size);
  board::ParsedReply parsed;
  if (board::ParseReply(&parsed, reply.size(), reply.empty() ? nullptr : reply.data()) == S_OK) {
    unsigned sum = parsed.status + parsed.address;
    for (std::size_t i = 0; i < parsed.dataCount; ++i) sum += parsed.data[i];
    if (sum == 0xFFFFFFFFu) std::abort();  // keeps the reads
  }
  board::FrameBuffer frame;
  const std::uint16_t address = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
  board::BuildWriteFrame(&frame, address, size, reply.empty() ? nullptr : reply.data());
  board::BuildReadFrame(&frame, address, size);
}

void FuzzSection(const std::uint8_t* data, std::size_t size) {
  std::vector<std::pair<std::wstring, std::wstring>> entries;
  std::wstring line;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == '\n') {
      const auto equals = line.find(L'=');
      if (equals != std::wstring::npos) entries.emplace_back(line.substr(0, equals), line.substr(equals + 1));
      line.clear();
    } else {
      line += static_cast<wchar_t>(data[i]);
    }
  }
  board::SettingsSections sections;
  board::AddEntries(sections[L"FULLSCREEN_SETTING"], entries);
  for (const auto& [key, value] : entries) board::ParseIntValue(value);
  board::CheckSchema(sections);
  Shadow shadow;
  board::ApplySection(sections[L"FULLSCREEN_SETTING"], shadow);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1)
    FuzzSection(data + 1, size - 1);
  else
    FuzzReply(data + 1, size - 1);
  return 0;
}
