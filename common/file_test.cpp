#include "common/file.h"

#include <gtest/gtest.h>

#include <string>

#include "common/handles.h"
#include "common/testing/child.h"

namespace {

std::wstring TempFile() {
  wchar_t folder[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + testing_support::UniqueName(L"vorn_file_") + L".bin";
}

std::string ReadAll(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  char buffer[4096];
  DWORD read = 0;
  while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read) bytes.append(buffer, read);
  return bytes;
}

struct TempPath {
  TempPath() : path(TempFile()) {}
  ~TempPath() { DeleteFileW(path.c_str()); }
  std::wstring path;
};

}  // namespace

TEST(VCLFileModes, TranslateTheModeWord) {
  const auto append = VCLFile::Translate(0x23041);
  EXPECT_EQ(append.access, static_cast<DWORD>(GENERIC_WRITE));
  EXPECT_EQ(append.share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
  EXPECT_TRUE(append.inheritable);
  EXPECT_EQ(append.disposition, static_cast<DWORD>(OPEN_ALWAYS));
  EXPECT_EQ(append.flags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH));

  EXPECT_EQ(VCLFile::Translate(VCLFile::modeReadWrite).access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(VCLFile::Translate(VCLFile::modeRead).disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(VCLFile::Translate(VCLFile::modeCreate).disposition, static_cast<DWORD>(CREATE_ALWAYS));
  EXPECT_EQ(VCLFile::Translate(VCLFile::shareExclusive).share, 0u);
  EXPECT_EQ(VCLFile::Translate(VCLFile::shareDenyWrite).share, static_cast<DWORD>(FILE_SHARE_READ));
  EXPECT_EQ(VCLFile::Translate(VCLFile::shareDenyRead).share, static_cast<DWORD>(FILE_SHARE_WRITE));
  EXPECT_FALSE(VCLFile::Translate(VCLFile::modeNoInherit).inheritable);
  EXPECT_EQ(VCLFile::Translate(VCLFile::osNoBuffer | VCLFile::osRandomAccess).flags,
            static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING | FILE_FLAG_RANDOM_ACCESS));
  // Programming errors in the word are checked in debug builds only and change nothing.
  EXPECT_EQ(VCLFile::Translate(0x3).access, 0u);
  EXPECT_EQ(VCLFile::Translate(0x50).share, 0u);
  EXPECT_EQ(VCLFile::Translate(VCLFile::osRandomAccess | VCLFile::osSequentialScan).flags,
            static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_SEQUENTIAL_SCAN));
}

TEST(VCLFileAppend, SharedAppendModeCreatesKeepsAndShares) {
  const TempPath temp;
  {
    VCLFile file;
    ASSERT_TRUE(file.Open(temp.path.c_str(), VCLFile::kAppendShared));  // created when missing
    EXPECT_EQ(file.Write("one\r\n", 5), 5u);
  }
  VCLFile first, second;
  ASSERT_TRUE(first.Open(temp.path.c_str(), VCLFile::kAppendShared));  // content kept
  ASSERT_TRUE(second.Open(temp.path.c_str(), VCLFile::kAppendShared));  // others may write too
  UniqueFileHandle reader(CreateFileW(temp.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(reader) << "others may read";
  EXPECT_EQ(first.Seek(0, FILE_END), 5u);
  EXPECT_EQ(first.Write("two\r\n", 5), 5u);
  EXPECT_EQ(second.Seek(0, 2), 10u);  // the end as the other handle left it
  EXPECT_EQ(second.Write("three\r\n", 7), 7u);
  EXPECT_EQ(ReadAll(temp.path), "one\r\ntwo\r\nthree\r\n");
}

TEST(VCLFileAppend, ExclusiveOpenKeepsOthersOut) {
  const TempPath temp;
  VCLFile file;
  ASSERT_TRUE(file.Open(temp.path.c_str(), VCLFile::modeWrite | VCLFile::shareExclusive | VCLFile::modeCreate));
  VCLFile other;
  EXPECT_FALSE(other.Open(temp.path.c_str(), VCLFile::modeRead | VCLFile::shareDenyNone));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(other.IsOpen());
}

TEST(VCLFileCalls, ClosedFileAndBadArguments) {
  VCLFile file;
  EXPECT_TRUE(file.Close());  // already closed
  EXPECT_EQ(file.Write("x", 1), 0u);
  EXPECT_EQ(file.Seek(0, 0), 0u);
  EXPECT_FALSE(file.Open(nullptr, VCLFile::modeRead));
  EXPECT_FALSE(file.Open(L"Z:\\no\\such\\folder\\file.txt", VCLFile::modeRead));
  EXPECT_EQ(file.handle(), INVALID_HANDLE_VALUE);

  const TempPath temp;
  ASSERT_TRUE(file.Open(temp.path.c_str(), VCLFile::modeReadWrite | VCLFile::modeCreate));
  EXPECT_EQ(file.Write("abcdef", 6), 6u);
  EXPECT_EQ(file.Seek(2, 0), 2u);
  EXPECT_EQ(file.Seek(1, 1), 3u);
  EXPECT_EQ(file.Seek(0, 3), 0u);  // unknown origin: no call
  EXPECT_EQ(file.Seek(0, 1), 3u);  // the position did not move
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.IsOpen());
}
