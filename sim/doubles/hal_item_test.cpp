// The item double: values of every kind the device managers use go in and come out equal,
// missing values fail distinctly, clones are independent.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/paths.h"
#include "devices/idl/device_manager.h"
#include "sim/doubles/hal_item.h"

using Microsoft::WRL::ComPtr;

namespace {

class HalItemDouble : public ::testing::Test {
 protected:
  void SetUp() override {
    module_.reset(LoadLibraryW(testing_support::BinPath(L"vorn_halitem.dll").c_str()));
    ASSERT_TRUE(module_.valid());
    auto get = GetProcAs<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(module_.get(), "DllGetClassObject");
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(get(kClsidHalItem, IID_PPV_ARGS(factory.GetAddressOf())), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(item_.GetAddressOf())), S_OK);
  }
  void TearDown() override {
    if (item_) {
      EXPECT_EQ(item_.Detach()->Release(), 0u);
    }
  }
  UniqueModule module_;
  ComPtr<IHalItem> item_;
};

VARIANT Make(VARTYPE vt) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  return v;
}

TEST_F(HalItemDouble, RoundTripsEveryKindOfValue) {
  VARIANT values[7];
  values[0] = Make(VT_BSTR);
  values[0].bstrVal = SysAllocString(L"\\\\?\\pci#ven_1&dev_2&subsys_3&rev_4#5#{x}");
  values[1] = Make(VT_I4);
  values[1].lVal = -7;
  values[2] = Make(VT_UI4);
  values[2].ulVal = 0xFFFFFFF0u;
  values[3] = Make(VT_ERROR);
  values[3].scode = E_OUTOFMEMORY;
  values[4] = Make(VT_EMPTY);
  values[5] = Make(VT_BOOL);
  values[5].boolVal = VARIANT_TRUE;
  values[6] = Make(VT_ARRAY | VT_UI1);
  values[6].parray = SafeArrayCreateVector(VT_UI1, 0, 3);
  static_cast<BYTE*>(values[6].parray->pvData)[2] = 0x5A;

  for (long i = 0; i < 7; ++i) ASSERT_EQ(item_->SetInfo(i, values[i]), S_OK) << i;
  for (long i = 0; i < 7; ++i) {
    VARIANT got;
    VariantInit(&got);
    ASSERT_EQ(item_->GetInfo(i, &got), S_OK) << i;
    EXPECT_EQ(got.vt, values[i].vt) << i;
    if (got.vt == (VT_ARRAY | VT_UI1)) {
      EXPECT_NE(got.parray, values[i].parray);  // a copy, not the caller's array
      EXPECT_EQ(static_cast<BYTE*>(got.parray->pvData)[2], 0x5A);
    } else if (got.vt == VT_BSTR) {
      EXPECT_NE(got.bstrVal, values[i].bstrVal);
      EXPECT_STREQ(got.bstrVal, values[i].bstrVal);
    } else if (got.vt == VT_BOOL) {
      EXPECT_EQ(got.boolVal, values[i].boolVal);
    } else {
      EXPECT_EQ(got.ulVal, values[i].ulVal) << i;  // the 32-bit kinds
    }
    VariantClear(&got);
  }

  long count = 0;
  long* types = nullptr;
  VARIANT* all = nullptr;
  ASSERT_EQ(item_->GetInfoAll(&count, &types, &all), S_OK);
  EXPECT_EQ(count, 7);
  for (long i = 0; i < count; ++i) {
    EXPECT_EQ(types[i], i);
    VariantClear(&all[i]);
  }
  CoTaskMemFree(types);
  CoTaskMemFree(all);
  for (auto& v : values) VariantClear(&v);
}

TEST_F(HalItemDouble, MissingValuesFailDistinctlyAndClearEmpties) {
  VARIANT got = Make(VT_I4);
  EXPECT_EQ(item_->GetInfo(7, &got), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(got.vt, VT_EMPTY);
  VARIANT v = Make(VT_I4);
  v.lVal = 5;
  ASSERT_EQ(item_->SetInfo(2, v), S_OK);
  ASSERT_EQ(item_->Clear(), S_OK);
  EXPECT_EQ(item_->GetInfo(2, &got), TYPE_E_ELEMENTNOTFOUND);
  long count = -1;
  long* types = nullptr;
  VARIANT* all = nullptr;
  EXPECT_EQ(item_->GetInfoAll(&count, &types, &all), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(types, nullptr);
}

TEST_F(HalItemDouble, SetInfoAllStoresEachPairAndClonesAreIndependent) {
  long types[2] = {2, 5};
  VARIANT values[2] = {Make(VT_I4), Make(VT_BSTR)};
  values[0].lVal = 1;
  values[1].bstrVal = SysAllocString(L"tuner");
  ASSERT_EQ(item_->SetInfoAll(2, types, values), S_OK);
  EXPECT_EQ(item_->SetInfoAll(-1, types, values), E_INVALIDARG);

  ComPtr<IHalItem> clone;
  ASSERT_EQ(item_->Clone(clone.GetAddressOf()), S_OK);
  VARIANT changed = Make(VT_I4);
  changed.lVal = 99;
  ASSERT_EQ(item_->SetInfo(2, changed), S_OK);
  ASSERT_EQ(clone->SetInfo(8, changed), S_OK);

  VARIANT got;
  VariantInit(&got);
  ASSERT_EQ(clone->GetInfo(2, &got), S_OK);
  EXPECT_EQ(got.lVal, 1);
  ASSERT_EQ(clone->GetInfo(5, &got), S_OK);
  EXPECT_STREQ(got.bstrVal, L"tuner");
  VariantClear(&got);
  EXPECT_EQ(item_->GetInfo(8, &got), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(clone.Detach()->Release(), 0u);  // one reference, the caller's
  VariantClear(&values[1]);
}

TEST_F(HalItemDouble, ByReferenceValuesAreStoredByValue) {
  long number = 41;
  BSTR text = SysAllocString(L"crossbar");
  VARIANT byRef[2] = {Make(VT_I4 | VT_BYREF), Make(VT_BSTR | VT_BYREF)};
  byRef[0].plVal = &number;
  byRef[1].pbstrVal = &text;
  ASSERT_EQ(item_->SetInfo(3, byRef[0]), S_OK);
  long types[1] = {4};
  ASSERT_EQ(item_->SetInfoAll(1, types, &byRef[1]), S_OK);
  // The caller's storage changes and goes: the item keeps what it was given.
  number = 0;
  SysFreeString(text);
  text = nullptr;

  ComPtr<IHalItem> clone;
  ASSERT_EQ(item_->Clone(clone.GetAddressOf()), S_OK);
  for (IHalItem* item : {item_.Get(), clone.Get()}) {
    VARIANT got;
    VariantInit(&got);
    ASSERT_EQ(item->GetInfo(3, &got), S_OK);
    EXPECT_EQ(got.vt, VT_I4);
    EXPECT_EQ(got.lVal, 41);
    VariantClear(&got);
    ASSERT_EQ(item->GetInfo(4, &got), S_OK);
    ASSERT_EQ(got.vt, VT_BSTR);
    EXPECT_STREQ(got.bstrVal, L"crossbar");
    VariantClear(&got);
  }
  EXPECT_EQ(clone.Detach()->Release(), 0u);
}

TEST_F(HalItemDouble, ValuesOfAnInvalidTypeAreRefusedAndStoreNothing) {
  VARIANT kept = Make(VT_I4);
  kept.lVal = 3;
  ASSERT_EQ(item_->SetInfo(2, kept), S_OK);
  for (const VARTYPE vt : {VARTYPE(0x7FFF), VARTYPE(VT_VARIANT), VARTYPE(VT_VECTOR | VT_I4), VARTYPE(VT_I4 | 0x0800),
                           VARTYPE(VT_ARRAY | 0x7F)}) {
    SCOPED_TRACE(vt);
    VARIANT bad = Make(vt);
    bad.llVal = 0x1234;  // whatever the caller left there
    EXPECT_EQ(item_->SetInfo(11, bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(item_->SetInfo(2, bad), DISP_E_BADVARTYPE);
    // All or nothing: the valid pair before the bad one is not stored either.
    long types[2] = {12, 13};
    VARIANT pair[2] = {kept, bad};
    EXPECT_EQ(item_->SetInfoAll(2, types, pair), DISP_E_BADVARTYPE);
    VARIANT got;
    VariantInit(&got);
    for (long type : {11L, 12L, 13L}) EXPECT_EQ(item_->GetInfo(type, &got), TYPE_E_ELEMENTNOTFOUND) << type;
    ASSERT_EQ(item_->GetInfo(2, &got), S_OK);
    EXPECT_EQ(got.vt, VT_I4);
    EXPECT_EQ(got.lVal, 3);
  }
}

}  // namespace
