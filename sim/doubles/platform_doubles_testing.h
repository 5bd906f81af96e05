// Test helpers of the platform filter stand-ins: registration of platformdoubles.dll for one
// test (removed again at its end), binding a filter by friendly name through the device
// enumerator, pins, and the identity checks.
#pragma once

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <dshow.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/testing/paths.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"

namespace platform_testing {

using Microsoft::WRL::ComPtr;

// Loads the module (it stays loaded: its objects may outlive a test) and calls an entry point.
inline HRESULT CallEntry(const char* name) {
  HMODULE module = LoadLibraryW(testing_support::BinPath(DOUBLES_PLATFORM_FILE).c_str());
  if (!module) return HResultFromLastError();
  auto entry = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(module, name);
  return entry ? entry() : E_NOINTERFACE;
}

// The threads of this process that started in `module` (their start address lies in its image).
inline int ThreadsStartedIn(HMODULE module) {
  using QueryFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  constexpr int kThreadQuerySetWin32StartAddress = 9;
  const auto query = GetProcAs<QueryFn>(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread");
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));  // INVALID_HANDLE_VALUE on failure
  if (!query || !snapshot) return -1;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    UniqueHandle thread(OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
    void* start = nullptr;
    HMODULE owner = nullptr;
    if (thread && query(thread.get(), kThreadQuerySetWin32StartAddress, &start, sizeof(start), nullptr) >= 0 &&
        start &&
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<const wchar_t*>(start), &owner) &&
        owner == module) {
      ++count;
    }
  }
  return count;
}

// MTA, a fresh journal and the module registered for the test; at its end no thread of the
// doubles is left running (the objects the case made are released by then).
class RegisteredDoublesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    doubles::Journal::Instance().Reset();
    ASSERT_EQ(S_OK, CallEntry("DllRegisterServer"));
  }
  void TearDown() override {
    EXPECT_EQ(S_OK, CallEntry("DllUnregisterServer"));
    EXPECT_EQ(0, ThreadsStartedIn(GetModuleHandleW(testing_support::BinPath(DOUBLES_PLATFORM_FILE).c_str())))
        << "a thread of the doubles outlived the case";
    CoUninitialize();
  }
};

// The filters of `category` with this friendly name, bound.
inline std::vector<ComPtr<IBaseFilter>> BindByName(REFGUID category, const wchar_t* name) {
  std::vector<ComPtr<IBaseFilter>> found;
  ComPtr<ICreateDevEnum> devEnum;
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&devEnum)));
  if (!devEnum) return found;
  ComPtr<IEnumMoniker> monikers;
  if (devEnum->CreateClassEnumerator(category, &monikers, 0) != S_OK) return found;
  ComPtr<IMoniker> moniker;
  while (monikers->Next(1, &moniker, nullptr) == S_OK) {
    ComPtr<IPropertyBag> bag;
    if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_PPV_ARGS(&bag)))) {
      VARIANT friendly;
      VariantInit(&friendly);
      if (SUCCEEDED(bag->Read(L"FriendlyName", &friendly, nullptr)) && friendly.vt == VT_BSTR &&
          std::wstring(friendly.bstrVal) == name) {
        ComPtr<IBaseFilter> filter;
        EXPECT_EQ(S_OK, moniker->BindToObject(nullptr, nullptr, IID_PPV_ARGS(&filter)));
        if (filter) found.push_back(filter);
      }
      VariantClear(&friendly);
    }
    moniker.Reset();
  }
  return found;
}

// The pins of a filter in enumeration order, as "in:Name" / "out:Name".
inline std::vector<std::wstring> PinNames(IBaseFilter* filter) {
  std::vector<std::wstring> names;
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(&pins))) return names;
  ComPtr<IPin> pin;
  while (pins->Next(1, &pin, nullptr) == S_OK) {
    PIN_INFO info{};
    pin->QueryPinInfo(&info);
    if (info.pFilter) info.pFilter->Release();
    names.push_back(std::wstring(info.dir == PINDIR_INPUT ? L"in:" : L"out:") + info.achName);
    pin.Reset();
  }
  return names;
}

// Pin `index` (0-based) of direction `dir`.
inline ComPtr<IPin> PinAt(IBaseFilter* filter, PIN_DIRECTION dir, int index) {
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(&pins))) return nullptr;
  ComPtr<IPin> pin;
  while (pins->Next(1, &pin, nullptr) == S_OK) {
    PIN_DIRECTION d{};
    pin->QueryDirection(&d);
    if (d == dir && index-- == 0) return pin;
    pin.Reset();
  }
  return nullptr;
}

// Every IID of `must` is answered, none of `mustNot`.
inline void ExpectInterfaces(IUnknown* object, const std::vector<IID>& must, const std::vector<IID>& mustNot) {
  for (const IID& iid : must) {
    ComPtr<IUnknown> p;
    EXPECT_EQ(S_OK, object->QueryInterface(iid, reinterpret_cast<void**>(p.GetAddressOf())))
        << "missing " << std::hex << iid.Data1;
  }
  for (const IID& iid : mustNot) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(iid, &p)) << "unexpected " << std::hex << iid.Data1;
    EXPECT_EQ(nullptr, p);
  }
}

}  // namespace platform_testing
