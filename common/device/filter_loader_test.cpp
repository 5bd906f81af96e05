#include "common/device/filter_loader.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/device/testing/loader_ids.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"

using Microsoft::WRL::ComPtr;
using device_testing::kLoaderTestClass;
using testing_support::BinPath;
using testing_support::UniqueName;

namespace {

// {0B9E04D1-6A5F-4C3B-8E2A-7D61C5F0A942}: served by nobody.
constexpr CLSID kUnservedClass = {0x0b9e04d1, 0x6a5f, 0x4c3b, {0x8e, 0x2a, 0x7d, 0x61, 0xc5, 0xf0, 0xa9, 0x42}};

// A private directory with copies of the test modules, removed afterwards (after every
// module the loader kept is freed).
class FilterLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    dir_ = std::wstring(temp) + UniqueName(L"vorn_loader_");
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr)) << GetLastError();
  }
  void TearDown() override {
    FilterLoader::UnloadAll();
    for (const auto& name : copied_) DeleteFileW(Path(name).c_str());
    RemoveDirectoryW(dir_.c_str());
  }

  std::wstring Path(const std::wstring& name) const { return dir_ + L"\\" + name; }
  void Copy(const wchar_t* built, const wchar_t* name) {
    ASSERT_TRUE(CopyFileW(BinPath(built).c_str(), Path(name).c_str(), FALSE)) << GetLastError();
    copied_.push_back(name);
  }
  // The three modules under the names a filter directory would give them.
  void CopyAll() {
    Copy(L"vorn_loadtest_a.dll", L"filter.dll");
    Copy(L"vorn_loadtest_b.ax", L"filter.ax");
    Copy(L"vorn_loadtest_noexport.dll", L"plain.dll");
  }
  HMODULE Loaded(const wchar_t* name) const { return GetModuleHandleW(Path(name).c_str()); }
  long Objects(const wchar_t* name) const {
    const auto count = GetProcAs<long (*)()>(Loaded(name), "LoaderTestObjects");
    return count ? count() : -1;
  }
  HRESULT Create(const wchar_t* name, ComPtr<IPersist>& out, REFCLSID clsid = kLoaderTestClass) {
    return FilterLoader::CreateFromFile(Path(name).c_str(), clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist,
                                        reinterpret_cast<void**>(out.ReleaseAndGetAddressOf()));
  }

  std::wstring dir_;
  std::vector<std::wstring> copied_;
};

bool IsTestObject(IPersist* object) {
  CLSID clsid{};
  return object && SUCCEEDED(object->GetClassID(&clsid)) && IsEqualCLSID(clsid, kLoaderTestClass);
}

}  // namespace

TEST_F(FilterLoaderTest, SameClassTwiceLoadsTheModuleOnceAndKeepsIt) {
  CopyAll();
  ComPtr<IPersist> first, second;
  ASSERT_EQ(Create(L"filter.dll", first), S_OK);
  ASSERT_EQ(Create(L"filter.dll", second), S_OK);
  EXPECT_TRUE(IsTestObject(first.Get()));
  EXPECT_TRUE(IsTestObject(second.Get()));
  EXPECT_EQ(Objects(L"filter.dll"), 2);
  EXPECT_EQ(FilterLoader::KeptModuleCount(), 1u);

  // The objects go; the module stays until the loader frees it, and one free is enough (the
  // second load's reference was not kept).
  first.Reset();
  second.Reset();
  EXPECT_NE(Loaded(L"filter.dll"), nullptr);
  FilterLoader::UnloadAll();
  EXPECT_EQ(Loaded(L"filter.dll"), nullptr);
  EXPECT_EQ(FilterLoader::KeptModuleCount(), 0u);
}

TEST_F(FilterLoaderTest, DirectorySearchTriesDllsBeforeAxFiles) {
  CopyAll();
  ComPtr<IPersist> object;
  ASSERT_EQ(FilterLoader::SearchDirectory(dir_.c_str(), kLoaderTestClass, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IPersist, reinterpret_cast<void**>(object.GetAddressOf())),
            S_OK);
  EXPECT_TRUE(IsTestObject(object.Get()));
  EXPECT_NE(Loaded(L"filter.dll"), nullptr);
  EXPECT_EQ(Loaded(L"filter.ax"), nullptr);  // never reached
  EXPECT_EQ(Loaded(L"plain.dll"), nullptr);  // tried (maybe) but not kept
  EXPECT_EQ(FilterLoader::KeptModuleCount(), 1u);

  // From the directory of a loaded module, with and without a file name; a directory given
  // with its trailing "\" searches the same.
  HMODULE dll = Loaded(L"filter.dll");
  ComPtr<IPersist> named, searched, trailing;
  EXPECT_EQ(FilterLoader::CreateFromNamedModule(dll, L"filter.ax", kLoaderTestClass, nullptr, 0, IID_IPersist,
                                                reinterpret_cast<void**>(named.GetAddressOf())), S_OK);
  EXPECT_NE(Loaded(L"filter.ax"), nullptr);
  EXPECT_EQ(FilterLoader::CreateFromModuleDirectory(dll, kLoaderTestClass, nullptr, 0, IID_IPersist,
                                                    reinterpret_cast<void**>(searched.GetAddressOf())), S_OK);
  EXPECT_EQ(FilterLoader::SearchDirectory((dir_ + L"\\").c_str(), kLoaderTestClass, nullptr, 0, IID_IPersist,
                                          reinterpret_cast<void**>(trailing.GetAddressOf())), S_OK);
  EXPECT_EQ(Objects(L"filter.dll"), 3);
  EXPECT_EQ(Objects(L"filter.ax"), 1);
  EXPECT_EQ(FilterLoader::KeptModuleCount(), 2u);
}

TEST_F(FilterLoaderTest, DirectorySearchFallsBackToAxFiles) {
  Copy(L"vorn_loadtest_noexport.dll", L"plain.dll");
  Copy(L"vorn_loadtest_b.ax", L"filter.ax");
  ComPtr<IPersist> object;
  ASSERT_EQ(FilterLoader::SearchDirectory(dir_.c_str(), kLoaderTestClass, nullptr, 0, IID_IPersist,
                                          reinterpret_cast<void**>(object.GetAddressOf())), S_OK);
  EXPECT_EQ(Objects(L"filter.ax"), 1);
  EXPECT_EQ(Loaded(L"plain.dll"), nullptr);
}

TEST_F(FilterLoaderTest, FailuresLeaveNothingLoaded) {
  CopyAll();
  ComPtr<IPersist> object;
  // No class-object export.
  EXPECT_EQ(Create(L"plain.dll", object), E_FAIL);
  EXPECT_EQ(Loaded(L"plain.dll"), nullptr);
  // No such file.
  EXPECT_EQ(Create(L"missing.dll", object), E_FAIL);
  // A class the module does not serve: its own answer, and the module goes again.
  EXPECT_EQ(Create(L"filter.dll", object, kUnservedClass), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object.Get(), nullptr);
  EXPECT_EQ(Loaded(L"filter.dll"), nullptr);
  // A search that finds no server of the class tries every module and keeps none.
  EXPECT_EQ(FilterLoader::SearchDirectory(dir_.c_str(), kUnservedClass, nullptr, 0, IID_IPersist,
                                          reinterpret_cast<void**>(object.GetAddressOf())), E_FAIL);
  for (const wchar_t* name : {L"filter.dll", L"filter.ax", L"plain.dll"}) EXPECT_EQ(Loaded(name), nullptr) << name;
  EXPECT_EQ(FilterLoader::KeptModuleCount(), 0u);
  // An interface the object lacks: the object's answer, nothing kept.
  ComPtr<IClassFactory> wrong;
  EXPECT_EQ(FilterLoader::CreateFromFile(Path(L"filter.dll").c_str(), kLoaderTestClass, nullptr, 0,
                                         IID_IClassFactory, reinterpret_cast<void**>(wrong.GetAddressOf())),
            E_NOINTERFACE);
  EXPECT_EQ(Loaded(L"filter.dll"), nullptr);

  // A module that was kept before stays kept when a later call on it fails.
  ASSERT_EQ(Create(L"filter.dll", object), S_OK);
  ComPtr<IPersist> none;
  EXPECT_EQ(Create(L"filter.dll", none, kUnservedClass), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_NE(Loaded(L"filter.dll"), nullptr);
  EXPECT_TRUE(IsTestObject(object.Get()));

  // Bad arguments.
  EXPECT_EQ(FilterLoader::CreateFromFile(Path(L"filter.dll").c_str(), kLoaderTestClass, nullptr, 0, IID_IPersist,
                                         nullptr), E_POINTER);
  EXPECT_EQ(FilterLoader::CreateFromFile(nullptr, kLoaderTestClass, nullptr, 0, IID_IPersist,
                                         reinterpret_cast<void**>(none.GetAddressOf())), E_INVALIDARG);
  EXPECT_EQ(FilterLoader::CreateFromNamedModule(nullptr, nullptr, kLoaderTestClass, nullptr, 0, IID_IPersist,
                                                reinterpret_cast<void**>(none.GetAddressOf())), E_INVALIDARG);
  EXPECT_EQ(FilterLoader::SearchDirectory((dir_ + L"\\none").c_str(), kLoaderTestClass, nullptr, 0, IID_IPersist,
                                          reinterpret_cast<void**>(none.GetAddressOf())), E_FAIL);
}

TEST_F(FilterLoaderTest, UnloadAllKeepsModulesWithLiveObjects) {
  CopyAll();
  ComPtr<IPersist> alive, gone;
  ASSERT_EQ(Create(L"filter.dll", alive), S_OK);
  ASSERT_EQ(Create(L"filter.ax", gone), S_OK);
  gone.Reset();
  FilterLoader::UnloadAll();
  EXPECT_EQ(Loaded(L"filter.ax"), nullptr);
  ASSERT_NE(Loaded(L"filter.dll"), nullptr);
  EXPECT_TRUE(IsTestObject(alive.Get()));  // its code is still mapped
  EXPECT_EQ(FilterLoader::KeptModuleCount(), 1u);

  // Detach at process termination does nothing; a real unload frees what is no longer used.
  alive.Reset();
  FilterLoader::OnProcessDetach(reinterpret_cast<void*>(1));
  EXPECT_NE(Loaded(L"filter.dll"), nullptr);
  FilterLoader::OnProcessDetach(nullptr);
  EXPECT_EQ(Loaded(L"filter.dll"), nullptr);
  EXPECT_EQ(FilterLoader::KeptModuleCount(), 0u);
}

TEST_F(FilterLoaderTest, ConcurrentCreationKeepsTheSetConsistent) {
  CopyAll();
  // One thread's request fails on a module that another thread creates from meanwhile: the
  // creator's object must keep its code, and the set must hold the module exactly once.
  const DWORD pid = GetCurrentProcessId();
  UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, FormatW(device_testing::kGateEntered, pid).c_str()));
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, FormatW(device_testing::kGateRelease, pid).c_str()));
  ASSERT_TRUE(entered && release);
  HRESULT failedHr = S_OK;
  std::thread failing([&] {
    ComPtr<IPersist> none;
    failedHr = Create(L"filter.dll", none, kUnservedClass);  // waits at the gate
  });
  const bool held = WaitForSingleObject(entered.get(), 10000) == WAIT_OBJECT_0;
  ComPtr<IPersist> created;
  const HRESULT createdHr = held ? Create(L"filter.dll", created) : E_FAIL;
  SetEvent(release.get());
  failing.join();
  ASSERT_TRUE(held);
  entered.reset();  // later failing requests pass the gate freely
  ASSERT_EQ(createdHr, S_OK);
  EXPECT_EQ(failedHr, CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_NE(Loaded(L"filter.dll"), nullptr);
  EXPECT_TRUE(IsTestObject(created.Get()));
  EXPECT_EQ(FilterLoader::KeptModuleCount(), 1u);
  created.Reset();
  FilterLoader::UnloadAll();
  EXPECT_EQ(Loaded(L"filter.dll"), nullptr);

  // Many creations from two modules on two threads at once.
  constexpr int kEach = 200;
  std::atomic<int> failures{0};
  std::vector<ComPtr<IPersist>> fromDll(kEach), fromAx(kEach);
  std::thread a([&] {
    for (auto& object : fromDll) failures += FAILED(Create(L"filter.dll", object));
  });
  std::thread b([&] {
    for (auto& object : fromAx) failures += FAILED(Create(L"filter.ax", object));
  });
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(FilterLoader::KeptModuleCount(), 2u);
  EXPECT_EQ(Objects(L"filter.dll"), kEach);
  EXPECT_EQ(Objects(L"filter.ax"), kEach);
  fromDll.clear();
  fromAx.clear();
  FilterLoader::UnloadAll();
  EXPECT_EQ(Loaded(L"filter.dll"), nullptr);
  EXPECT_EQ(Loaded(L"filter.ax"), nullptr);
}

TEST_F(FilterLoaderTest, AModulePathThatDoesNotFitIsRefused) {
  // A module whose full path is longer than the 260 characters read for it: its directory
  // cannot be known, and a path cut off at 260 would name one of its parent directories (each
  // holding a module of the same name here), so nothing may be loaded.
  std::wstring deep = L"\\\\?\\" + dir_;
  std::vector<std::wstring> made;
  while (deep.size() < 300) {
    deep += L"\\" + std::wstring(40, L'd');
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << GetLastError();
    made.push_back(deep);
    ASSERT_TRUE(CopyFileW(BinPath(L"vorn_loadtest_a.dll").c_str(), (deep + L"\\filter.dll").c_str(), FALSE));
  }
  const std::wstring file = deep + L"\\filter.dll";
  HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module) {
    ComPtr<IPersist> object;
    EXPECT_EQ(FilterLoader::CreateFromNamedModule(module, L"filter.dll", kLoaderTestClass, nullptr, 0, IID_IPersist,
                                                  reinterpret_cast<void**>(object.GetAddressOf())), E_FAIL);
    EXPECT_EQ(FilterLoader::CreateFromModuleDirectory(module, kLoaderTestClass, nullptr, 0, IID_IPersist,
                                                      reinterpret_cast<void**>(object.GetAddressOf())), E_FAIL);
    EXPECT_EQ(FilterLoader::KeptModuleCount(), 0u);
    FreeLibrary(module);
  }
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    DeleteFileW((*it + L"\\filter.dll").c_str());
    RemoveDirectoryW(it->c_str());
  }
  if (!module) GTEST_SKIP() << "this platform cannot load a module from a path this long";
}

// A module's threads keep their module loaded until they have ended: a host that lets go of the
// module (every object gone, its last FreeLibrary made) while a thread still runs the module's
// code must not unload that code under it. One row per kind of thread the module starts.
class ModuleWorker : public ::testing::TestWithParam<const char*> {};

TEST_P(ModuleWorker, KeepsItsModuleLoadedUntilItEnds) {
  const std::wstring path = BinPath(L"vorn_loadtest_a.dll");
  HMODULE module = LoadLibraryW(path.c_str());
  ASSERT_TRUE(module);
  const auto start = GetProcAs<HRESULT (*)(HANDLE)>(module, GetParam());
  ASSERT_TRUE(start);
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_EQ(S_OK, start(release.get()));
  ASSERT_TRUE(FreeLibrary(module));
  // Without its own reference the module is gone here, and the worker would return into
  // unmapped code once released: it is then left waiting until the process ends.
  ASSERT_TRUE(GetModuleHandleW(path.c_str())) << "the module was unloaded under its running worker";
  SetEvent(release.get());
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (GetModuleHandleW(path.c_str()) && GetTickCount64() < deadline) SwitchToThread();
  EXPECT_FALSE(GetModuleHandleW(path.c_str())) << "the module stayed loaded after its worker ended";
}

INSTANTIATE_TEST_SUITE_P(EveryThreadKind, ModuleWorker,
                         ::testing::Values("LoaderTestStartWorker", "LoaderTestStartStoppable"));
