#include "sim/card/picture.h"

#include <algorithm>

namespace simcard {

namespace {

// Seven-segment digits: bits a (top), b (top right), c (bottom right), d (bottom), e (bottom
// left), f (top left), g (middle).
constexpr std::uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

bool InDigit(int digit, int x, int y, int w, int h) {
  const int t = std::max(2, w / 6);  // stroke
  const std::uint8_t s = kSegments[digit];
  const int mid = h / 2;
  if ((s & 0x01) && y < t) return true;
  if ((s & 0x40) && y >= mid - t / 2 && y < mid + t - t / 2) return true;
  if ((s & 0x08) && y >= h - t) return true;
  if ((s & 0x20) && x < t && y < mid) return true;
  if ((s & 0x02) && x >= w - t && y < mid) return true;
  if ((s & 0x10) && x < t && y >= mid) return true;
  if ((s & 0x04) && x >= w - t && y >= mid) return true;
  return false;
}

std::uint8_t Clamp(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

std::vector<std::uint8_t> PaintFrame(const SimCardPicture& picture, DWORD frequency, int width, int height,
                                     PixelFormat format) {
  // The picture as RGB rows first.
  std::vector<std::uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  const int band = height * 3 / 4;
  char digits[16] = {};
  int count = 0;
  for (DWORD f = frequency / 1000; count == 0 || (f > 0 && count < 10); f /= 10) digits[count++] = static_cast<char>(f % 10);
  const int dw = std::max(4, width / 18), dh = std::max(8, height / 7), gap = dw / 3;
  const int x0 = width / 16, y0 = height / 12;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* c = y < band ? picture.top : picture.bottom;
      std::uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = c[0];
      p[1] = c[1];
      p[2] = c[2];
      const int dx = x - x0, dy = y - y0;
      if (dx >= 0 && dy >= 0 && dy < dh) {
        const int slot = dx / (dw + gap), within = dx % (dw + gap);
        if (slot < count && within < dw && InDigit(digits[count - 1 - slot], within, dy, dw, dh)) {
          p[0] = p[1] = p[2] = 255;
        }
      }
    }
  }
  std::vector<std::uint8_t> out;
  if (format == PixelFormat::Rgb32) {
    out.resize(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
      const std::uint8_t* src = &rgb[static_cast<size_t>(height - 1 - y) * width * 3];  // bottom-up
      std::uint8_t* dst = &out[static_cast<size_t>(y) * width * 4];
      for (int x = 0; x < width; ++x) {
        dst[x * 4 + 0] = src[x * 3 + 2];
        dst[x * 4 + 1] = src[x * 3 + 1];
        dst[x * 4 + 2] = src[x * 3 + 0];
        dst[x * 4 + 3] = 0;
      }
    }
    return out;
  }
  // YUY2, BT.601 studio range.
  out.resize(static_cast<size_t>(width) * height * 2);
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* src = &rgb[static_cast<size_t>(y) * width * 3];
    std::uint8_t* dst = &out[static_cast<size_t>(y) * width * 2];
    for (int x = 0; x + 1 < width; x += 2) {
      int yy[2], u = 0, v = 0;
      for (int k = 0; k < 2; ++k) {
        const int r = src[(x + k) * 3], g = src[(x + k) * 3 + 1], b = src[(x + k) * 3 + 2];
        yy[k] = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
        u += ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
        v += ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
      }
      dst[x * 2 + 0] = Clamp(yy[0]);
      dst[x * 2 + 1] = Clamp(u / 2);
      dst[x * 2 + 2] = Clamp(yy[1]);
      dst[x * 2 + 3] = Clamp(v / 2);
    }
  }
  return out;
}

}  // namespace simcard
