#include "sim/host/png_file.h"

#include <algorithm>
#include <array>
#include <vector>

#include "common/handles.h"
#include "common/hresult.h"

namespace sim_host {
namespace {

const std::array<std::uint32_t, 256>& CrcTable() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

void PutBig32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// length, type, data, CRC of type and data
void PutChunk(std::vector<std::uint8_t>& out, const char (&type)[5], const std::vector<std::uint8_t>& data) {
  PutBig32(out, static_cast<std::uint32_t>(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  std::uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = start; i < out.size(); ++i) crc = CrcTable()[(crc ^ out[i]) & 0xFF] ^ (crc >> 8);
  PutBig32(out, crc ^ 0xFFFFFFFFu);
}

// A zlib stream of stored blocks.
std::vector<std::uint8_t> StoredZlib(const std::vector<std::uint8_t>& raw) {
  std::vector<std::uint8_t> out{0x78, 0x01};
  constexpr size_t kBlock = 65535;
  size_t offset = 0;
  do {
    const size_t size = std::min(kBlock, raw.size() - offset);
    const bool last = offset + size == raw.size();
    out.push_back(last ? 1 : 0);
    out.push_back(static_cast<std::uint8_t>(size));
    out.push_back(static_cast<std::uint8_t>(size >> 8));
    out.push_back(static_cast<std::uint8_t>(~size));
    out.push_back(static_cast<std::uint8_t>(~size >> 8));
    out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset),
               raw.begin() + static_cast<std::ptrdiff_t>(offset + size));
    offset += size;
  } while (offset < raw.size());
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  PutBig32(out, (b << 16) | a);
  return out;
}

}  // namespace

HRESULT WritePng(const std::wstring& path, int width, int height, const std::uint32_t* pixels) {
  if (width <= 0 || height <= 0 || !pixels) return E_INVALIDARG;
  std::vector<std::uint8_t> raw;
  raw.reserve(static_cast<size_t>(height) * (1 + static_cast<size_t>(width) * 3));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // filter: none
    for (int x = 0; x < width; ++x) {
      const std::uint32_t p = pixels[static_cast<size_t>(y) * width + x];
      raw.push_back(static_cast<std::uint8_t>(p >> 16));
      raw.push_back(static_cast<std::uint8_t>(p >> 8));
      raw.push_back(static_cast<std::uint8_t>(p));
    }
  }
  std::vector<std::uint8_t> file{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  PutBig32(header, static_cast<std::uint32_t>(width));
  PutBig32(header, static_cast<std::uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter set, no interlace
  PutChunk(file, "IHDR", header);
  PutChunk(file, "IDAT", StoredZlib(raw));
  PutChunk(file, "IEND", {});
  UniqueFileHandle out(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) return HResultFromLastError();
  DWORD written = 0;
  if (!WriteFile(out.get(), file.data(), static_cast<DWORD>(file.size()), &written, nullptr) || written != file.size())
    return HResultFromLastError();
  return S_OK;
}

}  // namespace sim_host
