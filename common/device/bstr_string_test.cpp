#include "common/device/bstr_string.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <string>

#include "common/hresult.h"

namespace {

// Owns a BSTR made from a literal with an explicit length (embedded NULs kept).
struct Bstr {
  explicit Bstr(const wchar_t* text, UINT length) : value(SysAllocStringLen(text, length)) {}
  explicit Bstr(const wchar_t* text) : value(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(value); }
  BSTR value;
};

SIZE_T CommittedBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters.PagefileUsage;
}

}  // namespace

TEST(BstrStringCompare, OrdersByCodeUnitsNullFirstAndPrefixFirst) {
  Bstr upper(L"Tuner"), lower(L"tuner"), prefix(L"Tun"), empty(L"");
  EXPECT_NE(BstrString::Compare(upper.value, lower.value), 0);
  EXPECT_LT(BstrString::Compare(upper.value, lower.value), 0);  // 'T' < 't'
  EXPECT_LT(BstrString::Compare(prefix.value, upper.value), 0);
  EXPECT_GT(BstrString::Compare(upper.value, prefix.value), 0);
  EXPECT_EQ(BstrString::Compare(upper.value, upper.value), 0);
  EXPECT_EQ(BstrString::Compare(nullptr, nullptr), 0);
  EXPECT_LT(BstrString::Compare(nullptr, empty.value), 0);
  EXPECT_GT(BstrString::Compare(empty.value, nullptr), 0);
  // Code units, not a locale: U+00E9 sorts after 'z'.
  Bstr accented(L"\u00e9"), z(L"z");
  EXPECT_GT(BstrString::Compare(accented.value, z.value), 0);
}

TEST(BstrStringCompare, EmbeddedNulsCompareOverTheWholeLength) {
  Bstr ab(L"ab", 2), abNul(L"ab\0", 3), abNulC(L"ab\0c", 4), abNulD(L"ab\0d", 4);
  EXPECT_LT(BstrString::Compare(ab.value, abNul.value), 0);  // wcscmp would say equal
  EXPECT_LT(BstrString::Compare(abNul.value, abNulC.value), 0);
  EXPECT_LT(BstrString::Compare(abNulC.value, abNulD.value), 0);
  EXPECT_EQ(BstrString::Compare(BstrString(abNulC.value, BstrString::Take::Copy),
                                BstrString(abNulC.value, BstrString::Take::Copy)),
            0);
}

TEST(BstrString, CopiesShareOneStringAndTheLastHolderFreesIt) {
  BstrString first(L"Tuner");
  ASSERT_NE(first.get(), nullptr);
  EXPECT_EQ(first.useCount(), 1);
  {
    BstrString second = first;
    EXPECT_EQ(second.get(), first.get());
    EXPECT_EQ(first.useCount(), 2);
    BstrString third;
    third = second;
    EXPECT_EQ(first.useCount(), 3);
    third = third;  // self-assignment keeps the share
    EXPECT_EQ(first.useCount(), 3);
  }
  EXPECT_EQ(first.useCount(), 1);
  BstrString moved = std::move(first);
  EXPECT_EQ(first.get(), nullptr);
  EXPECT_EQ(moved.useCount(), 1);
  moved.Clear();
  EXPECT_EQ(moved.get(), nullptr);
  EXPECT_EQ(moved.useCount(), 0);
}

TEST(BstrString, AdoptKeepsTheBstrAndCopyDuplicatesItsBytes) {
  BSTR original = SysAllocStringLen(L"a\0b", 3);
  BstrString copy(original, BstrString::Take::Copy);
  EXPECT_NE(copy.get(), original);
  EXPECT_EQ(copy.length(), 3u);
  EXPECT_EQ(BstrString::Compare(copy.get(), original), 0);
  BstrString adopted(original, BstrString::Take::Adopt);  // freed by the holder
  EXPECT_EQ(adopted.get(), original);

  EXPECT_EQ(BstrString(nullptr, BstrString::Take::Copy).get(), nullptr);
  EXPECT_EQ(BstrString(static_cast<const wchar_t*>(nullptr)).get(), nullptr);
}

TEST(BstrString, NarrowCopyIsMadeOnceAndKept) {
  BstrString s(L"Tuner 1");
  const char* narrow = s.narrow();
  ASSERT_NE(narrow, nullptr);
  EXPECT_STREQ(narrow, "Tuner 1");
  EXPECT_EQ(s.narrow(), narrow);
  BstrString shared = s;
  EXPECT_EQ(shared.narrow(), narrow);
  EXPECT_STREQ(BstrString(L"").narrow(), "");
  EXPECT_EQ(BstrString().narrow(), nullptr);
}

TEST(VariantHelpers, AssignStringStoresACopyAndFreesTheOldValue) {
  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(VariantHelpers::AssignString(&v, L"first"), S_OK);
  ASSERT_EQ(V_VT(&v), VT_BSTR);
  EXPECT_STREQ(V_BSTR(&v), L"first");
  ASSERT_EQ(VariantHelpers::AssignString(&v, nullptr), S_OK);
  EXPECT_EQ(V_VT(&v), VT_BSTR);
  EXPECT_EQ(V_BSTR(&v), nullptr);
  EXPECT_EQ(VariantHelpers::AssignString(nullptr, L"x"), E_POINTER);

  // Replacing a large string many times: the old one must be freed each time (a leak would
  // grow the process by about 200 MB).
  const std::wstring big(1024 * 1024, L'x');
  ASSERT_EQ(VariantHelpers::AssignString(&v, big.c_str()), S_OK);
  const SIZE_T before = CommittedBytes();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(VariantHelpers::AssignString(&v, big.c_str()), S_OK);
  const SIZE_T after = CommittedBytes();
  EXPECT_LT(after, before + 64u * 1024 * 1024) << "before " << before << " after " << after;
  EXPECT_EQ(SysStringLen(V_BSTR(&v)), big.size());
  VariantClear(&v);
}
