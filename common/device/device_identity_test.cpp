#include "common/device/device_identity.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kTypicalPath[] =
    L"\\\\?\\pci#ven_1234&dev_5678&subsys_00011234&rev_01#3&abc&0&48#"
    L"{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\suffix";
constexpr GUID kTypicalGuid = {0x65e8773d, 0x8f56, 0x11d0, {0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}};

bool IsZero(const GUID& g) { return g == GUID{}; }

void ExpectFields(const DeviceIdentity& id, const wchar_t* f1, const wchar_t* f2,
                  const wchar_t* f3, const wchar_t* f5, const wchar_t* f6) {
  ASSERT_NE(id.GetField1(), nullptr);
  EXPECT_STREQ(id.GetField1(), f1);
  EXPECT_STREQ(id.GetField2(), f2);
  EXPECT_STREQ(id.GetField3(), f3);
  EXPECT_STREQ(id.GetField4(), f3);
  EXPECT_STREQ(id.GetField5(), f5);
  EXPECT_STREQ(id.GetField6(), f6);
}

}  // namespace

TEST(DeviceIdentity, SplitsATypicalPathIntoSixFieldsAndTheGuid) {
  DeviceIdentity id(kTypicalPath);
  EXPECT_STREQ(id.GetPath(), kTypicalPath);
  ExpectFields(id, L"dev_5678", L"ven_1234", L"subsys_00011234", L"rev_01", L"3&abc&0&48");
  EXPECT_EQ(id.GetGuid(), kTypicalGuid);
  const auto words = id.GetGuidWords();
  EXPECT_EQ(words[0], 0x65e8773du);
  EXPECT_EQ(words[1], 0x11d08f56u);  // Data2 | Data3 << 16, little-endian
  EXPECT_EQ(id.GetField(0), nullptr);
  EXPECT_EQ(id.GetField(7), nullptr);
}

TEST(DeviceIdentity, EmptyPathGivesNullGettersAndEqualsOnlyAnotherEmpty) {
  const DeviceIdentity fromEmpty(L""), fromNull(static_cast<const wchar_t*>(nullptr)), none;
  for (const DeviceIdentity* id : {&fromEmpty, &fromNull, &none}) {
    EXPECT_TRUE(id->IsEmpty());
    EXPECT_EQ(id->GetPath(), nullptr);
    for (int f = 1; f <= DeviceIdentity::kFieldCount; ++f) EXPECT_EQ(id->GetField(f), nullptr);
    EXPECT_TRUE(IsZero(id->GetGuid()));
  }
  EXPECT_TRUE(fromEmpty.Equals(none));
  const DeviceIdentity real(kTypicalPath);
  EXPECT_FALSE(fromEmpty.Equals(real));
  EXPECT_FALSE(real.Equals(fromEmpty));
  EXPECT_FALSE(none.Matches(none));  // the enumeration never matches an empty identity
}

TEST(DeviceIdentity, MalformedPathsGiveEmptyFieldsWithoutBackslashesAndAZeroGuid) {
  struct Case {
    const wchar_t* path;
    const wchar_t *f1, *f2, *f3, *f5, *f6;
  };
  const Case cases[] = {
      {L"#", L"", L"", L"", L"", L""},                 // "#" at 0 is not searched
      {L"x#", L"", L"", L"", L"", L""},
      {L"x#ven", L"", L"ven", L"", L"", L""},
      {L"x#ven&dev", L"dev", L"ven", L"", L"", L""},
      {L"x#ven&dev&sub#inst", L"dev", L"ven", L"sub", L"", L"inst"},
      {L"x#a&b&c&d&e#i#", L"b", L"a", L"c", L"d", L"i"},   // a fifth part is not kept
      {L"x#&&&#", L"", L"", L"", L"", L""},
      {L"x#ven\\1&dev\\2#in\\st#{", L"dev", L"ven", L"", L"", L"in"},
      {L"\\\\?\\usb#vid_1&pid_2\\{0}", L"pid_2", L"vid_1", L"", L"", L""},
      {L"x#a&b&c&d#inst", L"b", L"a", L"c", L"d", L"inst"},  // no third "#": to the end
      {L"x#a&b&c&d#i&j\\k#{}", L"b", L"a", L"c", L"d", L"i&j"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "path " << testing::PrintToString(std::wstring(c.path)));
    DeviceIdentity id(c.path);
    EXPECT_STREQ(id.GetPath(), c.path);
    ExpectFields(id, c.f1, c.f2, c.f3, c.f5, c.f6);
    for (int f = 1; f <= DeviceIdentity::kFieldCount; ++f) {
      EXPECT_EQ(std::wcschr(id.GetField(f), L'\\'), nullptr) << "field " << f;
    }
    EXPECT_TRUE(IsZero(id.GetGuid()));
  }
  // Braces that are missing, reversed or hold no GUID give zero.
  for (const wchar_t* path : {L"x#a#b#{65e8773d-8f56-11d0-a3b9-00a0c9223196",
                              L"x#a#b#65e8773d-8f56-11d0-a3b9-00a0c9223196}",
                              L"x#a#b#}65e8773d-8f56-11d0-a3b9-00a0c9223196{",
                              L"x#a#b#{not-a-guid}", L"x#a#b#{65e8773d-8f56-11d0-a3b9}"}) {
    EXPECT_TRUE(IsZero(DeviceIdentity(path).GetGuid())) << testing::PrintToString(std::wstring(path));
  }
}

TEST(DeviceIdentity, FromVariantParsesOnlyStrings) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(kTypicalPath);
  EXPECT_TRUE(DeviceIdentity(v).Equals(DeviceIdentity(kTypicalPath)));
  VariantClear(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = 7;
  EXPECT_TRUE(DeviceIdentity(v).IsEmpty());
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = nullptr;
  EXPECT_TRUE(DeviceIdentity(v).IsEmpty());
}

TEST(DeviceIdentity, CopiesAreIndependentAndEqual) {
  DeviceIdentity original(kTypicalPath);
  DeviceIdentity copy(original), other;
  other.Copy(original);
  original.Clear();
  EXPECT_TRUE(original.IsEmpty());
  EXPECT_TRUE(IsZero(original.GetGuid()));
  for (const DeviceIdentity* id : {&copy, &other}) {
    EXPECT_STREQ(id->GetPath(), kTypicalPath);
    ExpectFields(*id, L"dev_5678", L"ven_1234", L"subsys_00011234", L"rev_01", L"3&abc&0&48");
    EXPECT_EQ(id->GetGuid(), kTypicalGuid);
  }
  EXPECT_TRUE(copy.Equals(other));
}

TEST(DeviceIdentity, EqualsComparesPathsExactlyAndMatchComparesTheSixFields) {
  const DeviceIdentity a(kTypicalPath);
  // Another path of the same device (a different prefix and class reference).
  const DeviceIdentity sameDevice(
      L"\\\\?\\PCI#ven_1234&dev_5678&subsys_00011234&rev_01#3&abc&0&48#"
      L"{a799a800-a46d-11d0-a18c-00a02401dcd4}\\other");
  EXPECT_FALSE(a.Equals(sameDevice));
  EXPECT_TRUE(a.Matches(sameDevice));
  EXPECT_TRUE(sameDevice.Matches(a));

  std::wstring upper(kTypicalPath);
  upper.replace(upper.find(L"dev_5678"), 8, L"DEV_5678");
  const DeviceIdentity otherCase(upper.c_str());
  EXPECT_FALSE(a.Equals(otherCase));
  EXPECT_FALSE(a.Matches(otherCase));  // VarCmp without flags is case-sensitive

  const DeviceIdentity otherInstance(
      L"\\\\?\\pci#ven_1234&dev_5678&subsys_00011234&rev_01#3&abc&0&50#{x}");
  EXPECT_FALSE(a.Matches(otherInstance));
}
