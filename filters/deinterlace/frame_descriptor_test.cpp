#include "filters/deinterlace/frame_descriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "filters/deinterlace/testing/registry_fixture.h"
#include "filters/deinterlace/registry_readers.h"

namespace deinterlace {
namespace {

TEST(FrameDescriptor, PushFillsHistoryFromEmpty) {
  std::uint8_t a = 0, b = 0, c = 0, d = 0;
  FrameDescriptor frames;
  frames.PushFrame(&a);
  EXPECT_EQ(frames.GetPlane(0), &a);
  EXPECT_EQ(frames.GetPlane(1), &a);
  EXPECT_EQ(frames.GetPlane(2), &a);
  frames.PushFrame(&b);
  EXPECT_EQ(frames.GetPlane(0), &a);
  EXPECT_EQ(frames.GetPlane(1), &a);
  EXPECT_EQ(frames.GetPlane(2), &b);
  frames.PushFrame(&c);
  EXPECT_EQ(frames.GetPlane(0), &a);
  EXPECT_EQ(frames.GetPlane(1), &b);
  EXPECT_EQ(frames.GetPlane(2), &c);

  // Once the frames are released the history starts again from the next frame.
  frames.ClearFrames();
  EXPECT_EQ(frames.GetPlane(1), nullptr);
  frames.PushFrame(&d);
  EXPECT_EQ(frames.GetPlane(0), &d);
  EXPECT_EQ(frames.GetPlane(1), &d);
  EXPECT_EQ(frames.GetPlane(2), &d);
}

TEST(FrameDescriptor, PlaneIndexesAndFormat) {
  std::uint8_t a = 0, b = 0;
  FrameDescriptor frames;
  EXPECT_EQ(frames.SetPlane(3, &a), -1);
  EXPECT_EQ(frames.SetPlane(-1, &a), -1);
  EXPECT_EQ(frames.GetPlane(3), nullptr);
  EXPECT_EQ(frames.GetPlane(-1), nullptr);
  EXPECT_EQ(frames.SetPlane(2, &a), 0);
  EXPECT_EQ(frames.GetPlane(2), &a);
  frames.SetFrame(&b);
  EXPECT_EQ(frames.GetPlane(1), &b);
  frames.SetFormat(720, 576, 768);
  EXPECT_EQ(frames.GetWidth(), 720);
  EXPECT_EQ(frames.GetHeight(), 576);
  EXPECT_EQ(frames.GetPitch(), 768);
}

TEST(RegistryReaders, MissingKeyOrValueLeavesOutputs) {
  testing::TestRegistryKey key;
  DWORD value = 1234;
  EXPECT_EQ(ReadRegistryDword((key.path() + "\\NoSuchKey").c_str(), "x", &value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadRegistryDword(key.path().c_str(), "NoSuchValue", &value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, 1234u);
  char text[8] = "keep";
  DWORD size = sizeof(text);
  EXPECT_EQ(ReadRegistryString(key.path().c_str(), "NoSuchValue", text, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_STREQ(text, "keep");
}

TEST(RegistryReaders, TypesAreChecked) {
  testing::TestRegistryKey key;
  key.SetDword("Number", 42);
  key.SetRaw("Text", REG_SZ, "1", 2);
  DWORD value = 7;
  EXPECT_EQ(ReadRegistryDword(key.path().c_str(), "Number", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 42u);
  // A string "1" would read as 49 with the type unchecked: it counts as missing.
  value = 7;
  EXPECT_EQ(ReadRegistryDword(key.path().c_str(), "Text", &value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, 7u);
  char text[8] = "keep";
  DWORD size = sizeof(text);
  EXPECT_EQ(ReadRegistryString(key.path().c_str(), "Number", text, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_STREQ(text, "keep");
}

TEST(RegistryReaders, StringsAreTerminatedAndNeverCutShort) {
  testing::TestRegistryKey key;
  key.SetRaw("Unterminated", REG_SZ, "abcdef", 6);
  key.SetRaw("Long", REG_SZ, "0123456789", 11);
  key.SetRaw("Empty", REG_SZ, "", 0);

  char text[16];
  std::memset(text, 'x', sizeof(text));
  DWORD size = sizeof(text);
  ASSERT_EQ(ReadRegistryString(key.path().c_str(), "Unterminated", text, &size), ERROR_SUCCESS);
  EXPECT_STREQ(text, "abcdef");
  EXPECT_EQ(size, 7u);

  // A value longer than the buffer is reported, not cut short.
  char small[5];
  std::memset(small, 'x', sizeof(small));
  size = sizeof(small);
  ASSERT_EQ(ReadRegistryString(key.path().c_str(), "Long", small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(std::string(small, sizeof(small)), "xxxxx");
  char exact[11];
  size = sizeof(exact);
  ASSERT_EQ(ReadRegistryString(key.path().c_str(), "Long", exact, &size), ERROR_SUCCESS);
  EXPECT_STREQ(exact, "0123456789");

  std::memset(text, 'x', sizeof(text));
  size = sizeof(text);
  ASSERT_EQ(ReadRegistryString(key.path().c_str(), "Empty", text, &size), ERROR_SUCCESS);
  EXPECT_STREQ(text, "");
}

}  // namespace
}  // namespace deinterlace
