#include "filters/base/bitmap_dump.h"

#include <amvideo.h>
#include <dvdmedia.h>
#include <uuids.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/testing/child.h"

namespace {

// A YUY2 frame whose last byte is followed by an inaccessible page: reading past the frame
// faults.
class GuardedFrame {
 public:
  GuardedFrame(LONG width, LONG height) : bytes_(static_cast<std::size_t>(width) * 2 * height) {
    const std::size_t page = 4096;
    const std::size_t committed = (bytes_ + page - 1) / page * page;
    base_ = static_cast<BYTE*>(VirtualAlloc(nullptr, committed + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + committed, page, PAGE_NOACCESS, &old);
    frame_ = base_ + committed - bytes_;
    width_ = width;
    // Black everywhere: Y 16, U and V 128.
    for (std::size_t i = 0; i < bytes_; i += 2) {
      frame_[i] = 16;
      frame_[i + 1] = 128;
    }
  }
  ~GuardedFrame() { VirtualFree(base_, 0, MEM_RELEASE); }
  GuardedFrame(const GuardedFrame&) = delete;
  GuardedFrame& operator=(const GuardedFrame&) = delete;

  BYTE* data() const { return frame_; }
  std::size_t size() const { return bytes_; }
  // Sets the bytes of the pair holding pixel x of row y (x even: Y0 U Y1 V).
  void SetPair(LONG x, LONG y, BYTE y0, BYTE u, BYTE y1, BYTE v) {
    BYTE* p = frame_ + (static_cast<std::size_t>(y) * width_ + x) * 2;
    p[0] = y0;
    p[1] = u;
    p[2] = y1;
    p[3] = v;
  }

 private:
  std::size_t bytes_;
  BYTE* base_ = nullptr;
  BYTE* frame_ = nullptr;
  LONG width_ = 0;
};

std::string ReadAll(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read) bytes.append(buffer, read);
  return bytes;
}

std::wstring TempFolder() {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH, folder);
  std::wstring path(folder, n);
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

template <class T>
T At(const std::string& bytes, std::size_t offset) {
  T value{};
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

struct Pixel {
  int b, g, r;
  bool operator==(const Pixel& o) const { return b == o.b && g == o.g && r == o.r; }
};
std::ostream& operator<<(std::ostream& os, const Pixel& p) {
  return os << "(b " << p.b << ", g " << p.g << ", r " << p.r << ")";
}

Pixel PixelAt(const std::string& bmp, LONG width, LONG x, LONG y) {
  const std::size_t at = 54 + static_cast<std::size_t>(y) * BitmapDump::RowLength(width) + x * 3;
  return {static_cast<BYTE>(bmp[at]), static_cast<BYTE>(bmp[at + 1]), static_cast<BYTE>(bmp[at + 2])};
}

// Checks the headers of a dump of width x height and the zero padding of every row.
void CheckBitmap(const std::string& bmp, LONG width, LONG height) {
  const DWORD row = (static_cast<DWORD>(width) * 3 + 3) / 4 * 4;
  const DWORD image = row * static_cast<DWORD>(height);
  ASSERT_EQ(bmp.size(), image + 54u);
  EXPECT_EQ(bmp.substr(0, 2), "BM");
  EXPECT_EQ(At<DWORD>(bmp, 2), image + 54);
  EXPECT_EQ(At<DWORD>(bmp, 6), 0u);
  EXPECT_EQ(At<DWORD>(bmp, 10), 54u);
  EXPECT_EQ(At<DWORD>(bmp, 14), 40u);
  EXPECT_EQ(At<LONG>(bmp, 18), width);
  EXPECT_EQ(At<LONG>(bmp, 22), -height);
  EXPECT_EQ(At<WORD>(bmp, 26), 1u);
  EXPECT_EQ(At<WORD>(bmp, 28), 24u);
  EXPECT_EQ(At<DWORD>(bmp, 30), 0u);
  EXPECT_EQ(At<DWORD>(bmp, 34), image);
  for (std::size_t i = 38; i < 54; ++i) EXPECT_EQ(bmp[i], 0) << i;
  for (LONG y = 0; y < height; ++y) {
    for (DWORD pad = static_cast<DWORD>(width) * 3; pad < row; ++pad)
      ASSERT_EQ(bmp[54 + y * row + pad], 0) << "row " << y;
  }
}

// A media sample over a caller's buffer; only what the dump uses is implemented.
class BufferSample final : public IMediaSample {
 public:
  BufferSample(BYTE* data, long size) : data_(data), size_(size) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMediaSample) {
      *out = static_cast<IMediaSample*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetPointer(BYTE** buffer) override {
    *buffer = data_;
    return S_OK;
  }
  STDMETHODIMP_(long) GetSize() override { return size_; }
  STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
  STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
  STDMETHODIMP IsSyncPoint() override { return S_OK; }
  STDMETHODIMP SetSyncPoint(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP IsPreroll() override { return S_FALSE; }
  STDMETHODIMP SetPreroll(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP_(long) GetActualDataLength() override { return size_; }
  STDMETHODIMP SetActualDataLength(long) override { return E_NOTIMPL; }
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE**) override { return S_FALSE; }
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP IsDiscontinuity() override { return S_FALSE; }
  STDMETHODIMP SetDiscontinuity(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }

 private:
  BYTE* data_;
  long size_;
};

AM_MEDIA_TYPE VideoInfoType(VIDEOINFOHEADER* format, LONG width, LONG height) {
  std::memset(format, 0, sizeof(*format));
  format->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format->bmiHeader.biWidth = width;
  format->bmiHeader.biHeight = height;
  format->bmiHeader.biBitCount = 16;
  format->bmiHeader.biCompression = MAKEFOURCC('Y', 'U', 'Y', '2');
  AM_MEDIA_TYPE type{};
  type.majortype = MEDIATYPE_Video;
  type.subtype = MEDIASUBTYPE_YUY2;
  type.formattype = FORMAT_VideoInfo;
  type.cbFormat = sizeof(*format);
  type.pbFormat = reinterpret_cast<BYTE*>(format);
  return type;
}

struct TempFiles {
  ~TempFiles() {
    for (auto& p : paths) DeleteFileW(p.c_str());
  }
  std::vector<std::wstring> paths;
};

}  // namespace

TEST(BitmapDumpFrames, FullWidthFrameThroughASample) {
  constexpr LONG kWidth = 720, kHeight = 480;
  GuardedFrame frame(kWidth, kHeight);
  frame.SetPair(0, 0, 235, 128, 235, 128);    // white, white
  frame.SetPair(2, 0, 81, 90, 81, 240);       // red as BT.601 codes it
  frame.SetPair(716, 479, 0, 0, 0, 0);        // below the clamp
  frame.SetPair(718, 479, 255, 255, 255, 255);  // above it
  VIDEOINFOHEADER format;
  const AM_MEDIA_TYPE type = VideoInfoType(&format, kWidth, kHeight);
  BufferSample sample(frame.data(), static_cast<long>(frame.size()));

  const std::wstring prefix = testing_support::UniqueName(L"vorn_dump_");
  TempFiles files;
  files.paths.push_back(BitmapDump::FileName(TempFolder().c_str(), prefix.c_str(), 7));
  EXPECT_EQ(files.paths[0], TempFolder() + L"\\" + prefix + L"007.bmp");
  ASSERT_EQ(BitmapDump::WriteFrame(&sample, &type, TempFolder().c_str(), prefix.c_str(), 7), S_OK);

  const std::string bmp = ReadAll(files.paths[0]);
  CheckBitmap(bmp, kWidth, kHeight);
  EXPECT_EQ(PixelAt(bmp, kWidth, 0, 0), (Pixel{235, 235, 235}));
  EXPECT_EQ(PixelAt(bmp, kWidth, 2, 0), (Pixel{13, 14, 238}));
  EXPECT_EQ(PixelAt(bmp, kWidth, 3, 0), (Pixel{13, 14, 238}));
  EXPECT_EQ(PixelAt(bmp, kWidth, 100, 200), (Pixel{16, 16, 16}));  // black stays 16
  EXPECT_EQ(PixelAt(bmp, kWidth, 716, 479), (Pixel{0, 135, 0}));
  EXPECT_EQ(PixelAt(bmp, kWidth, 718, 479), (Pixel{255, 120, 255}));
  EXPECT_EQ(PixelAt(bmp, kWidth, 719, 479), (Pixel{255, 120, 255}));
}

TEST(BitmapDumpFrames, OddWidthStaysInsideEachRow) {
  constexpr LONG kWidth = 719, kHeight = 480;
  GuardedFrame frame(kWidth, kHeight);  // the last row ends at the guard page
  BYTE* last = frame.data() + frame.size() - 2;  // the lone pixel of the last row: Y, U
  last[0] = 235;
  last[1] = 128;
  frame.SetPair(716, 479, 16, 128, 16, 128);
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(header);
  header.biWidth = kWidth;
  header.biHeight = -kHeight;  // top-down source gives the same file
  TempFiles files;
  files.paths.push_back(TempFolder() + L"\\" + testing_support::UniqueName(L"vorn_odd_") + L".bmp");
  ASSERT_EQ(BitmapDump::WriteFrame(frame.data(), frame.size(), header, files.paths[0].c_str()), S_OK);
  const std::string bmp = ReadAll(files.paths[0]);
  CheckBitmap(bmp, kWidth, kHeight);
  EXPECT_EQ(PixelAt(bmp, kWidth, 718, 479), (Pixel{235, 235, 235}));
  EXPECT_EQ(PixelAt(bmp, kWidth, 718, 0), (Pixel{16, 16, 16}));
}

TEST(BitmapDumpFrames, RefusesWhatItCannotWriteSafely) {
  constexpr LONG kWidth = 720, kHeight = 480;
  GuardedFrame frame(kWidth, 2);  // far smaller than the type claims
  VIDEOINFOHEADER format;
  AM_MEDIA_TYPE type = VideoInfoType(&format, kWidth, kHeight);
  BufferSample shortSample(frame.data(), static_cast<long>(frame.size()));
  const std::wstring folder = TempFolder(), prefix = testing_support::UniqueName(L"vorn_refused_");
  TempFiles files;
  files.paths.push_back(BitmapDump::FileName(folder.c_str(), prefix.c_str(), 0));

  EXPECT_EQ(BitmapDump::WriteFrame(&shortSample, &type, folder.c_str(), prefix.c_str(), 0), E_INVALIDARG);
  EXPECT_EQ(BitmapDump::WriteFrame(nullptr, &type, folder.c_str(), prefix.c_str(), 0), E_POINTER);
  EXPECT_EQ(BitmapDump::WriteFrame(&shortSample, nullptr, folder.c_str(), prefix.c_str(), 0), E_POINTER);
  type.cbFormat = 48 + 39;  // the header would run past the block
  EXPECT_EQ(BitmapDump::WriteFrame(&shortSample, &type, folder.c_str(), prefix.c_str(), 0), E_INVALIDARG);
  EXPECT_EQ(GetFileAttributesW(files.paths[0].c_str()), INVALID_FILE_ATTRIBUTES);

  BITMAPINFOHEADER header{};
  header.biWidth = 0;
  header.biHeight = 2;
  EXPECT_EQ(BitmapDump::WriteFrame(frame.data(), frame.size(), header, files.paths[0].c_str()), E_INVALIDARG);
  header.biWidth = 100000;
  header.biHeight = 100000;  // no such frame: refused before any size overflows
  EXPECT_EQ(BitmapDump::WriteFrame(frame.data(), frame.size(), header, files.paths[0].c_str()), E_INVALIDARG);
}
