#include "mappingsvc/mmf_support.h"

#include <gtest/gtest.h>
#include <aclapi.h>
#include <oleauto.h>

#include <string>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "common/shared_memory.h"
#include "common/testing/child.h"
#include "mappingsvc/mapping_registry.h"
#include "mappingsvc/test_names.h"

using mappingsvc::CZarnMMFSupport;
using mappingsvc::CZarnMMFSupportFactory;
using mappingsvc::MappingRegistry;
using testing_support::ChildProcess;
using testing_support::UniqueName;
using mappingsvc_test::Bstr;
using mappingsvc_test::NameExists;
using mappingsvc_test::Scramble;

namespace {

constexpr DWORD kMagic = 0x4D4D4631;

class MmfSupportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CZarnMMFSupport::Create(&registry_, IID_IZarnMMFSupport,
                                      reinterpret_cast<void**>(&object_)),
              S_OK);
  }
  void TearDown() override {
    if (object_) {
      EXPECT_EQ(object_->Release(), 0u);
    }
  }

  MappingRegistry registry_;  // outlives the object
  IZarnMMFSupport* object_ = nullptr;
};

// Waits for the parent's signal, then maps the handle value the parent left in the mailbox: it
// must be a handle of this process onto the parent's section.
struct Mailbox {
  INT64 handle;
  DWORD magic;
};
VORN_CHILD(MapDuplicatedHandle) {
  SharedMemory mailbox;
  if (FAILED(mailbox.Create(args.at(1).c_str(), 0, sizeof(Mailbox)))) return 2;
  UniqueHandle ready(OpenEventW(SYNCHRONIZE, FALSE, args.at(0).c_str()));
  if (!ready || WaitForSingleObject(ready.get(), 20000) != WAIT_OBJECT_0) return 3;
  const Mailbox m = *mailbox.As<Mailbox>();
  UniqueMappedView view(MapViewOfFile(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(m.handle)),
                                      FILE_MAP_READ, 0, 0, sizeof(DWORD)));
  if (!view) return 4;
  if (*static_cast<const DWORD*>(view.get()) != m.magic) return 5;
  CloseHandle(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(m.handle)));
  return 0;
}

VORN_CHILD(ExitAtOnce) { return 0; }

}  // namespace

// --- COM identity ---------------------------------------------------------------------------

TEST_F(MmfSupportTest, AnswersItsInterfacesOnly) {
  for (REFIID iid : {IID_IUnknown, IID_IDispatch, IID_IZarnMMFSupport}) {
    void* p = nullptr;
    ASSERT_EQ(object_->QueryInterface(iid, &p), S_OK);
    EXPECT_EQ(p, static_cast<void*>(object_));
    object_->Release();
  }
  for (REFIID iid : {IID_IClassFactory, IID_IPersist, IID_IMarshal}) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(object_->QueryInterface(iid, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
  }
  EXPECT_EQ(object_->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(CZarnMMFSupport::Create(nullptr, IID_IUnknown, nullptr), E_POINTER);
}

TEST(MmfSupportFactory, RefusesAggregationAndCreatesObjects) {
  MappingRegistry registry;
  auto* factory = new CZarnMMFSupportFactory(&registry);
  IUnknown* outer = reinterpret_cast<IUnknown*>(factory);  // any non-null outer
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(outer, IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IZarnMMFSupport, &p), S_OK);
  EXPECT_EQ(static_cast<IZarnMMFSupport*>(p)->Release(), 0u);
  EXPECT_EQ(factory->Release(), 0u);
}

// --- CreateTunerInfoS -----------------------------------------------------------------------

TEST_F(MmfSupportTest, CreateTunerInfoSRefusesNamesOutsideTheGlobalPrefix) {
  INT64 handle = 0;
  LONG first = 7;
  const std::wstring tail = UniqueName(L"vorn_mmf_");
  for (const std::wstring& name : {L"global\\" + tail, L"GLOBAL\\" + tail, L"Local\\" + tail, tail,
                                   std::wstring(L"Global"), std::wstring()}) {
    Bstr bstr(name);
    EXPECT_EQ(object_->CreateTunerInfoS(bstr, 0, 4096, GetCurrentProcessId(), &handle, &first),
              E_INVALIDARG)
        << "name '" << std::string(name.begin(), name.end()) << "'";
  }
  EXPECT_EQ(object_->CreateTunerInfoS(nullptr, 0, 4096, GetCurrentProcessId(), &handle, &first),
            E_INVALIDARG);
  EXPECT_EQ(handle, 0);
  EXPECT_EQ(first, 7);
  // The prefix is checked before the out pointer.
  EXPECT_EQ(object_->CreateTunerInfoS(nullptr, 0, 4096, GetCurrentProcessId(), nullptr, nullptr),
            E_INVALIDARG);
  Bstr good(L"Global\\" + tail);
  EXPECT_EQ(object_->CreateTunerInfoS(good, 0, 4096, GetCurrentProcessId(), nullptr, &first), E_POINTER);
  EXPECT_FALSE(NameExists(L"Global\\" + tail));
}

TEST_F(MmfSupportTest, CreateTunerInfoSHandsTheCallerTheOnlyHandle) {
  const std::wstring name = UniqueName(L"Global\\vorn_mmf_");
  Bstr bstr(name);
  INT64 handle = 0;
  LONG first = 7;
  ASSERT_EQ(object_->CreateTunerInfoS(bstr, 0, 4096, GetCurrentProcessId(), &handle, &first), S_OK);
  EXPECT_EQ(first, 1);
  UniqueHandle mine(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle)));
  UniqueMappedView view(MapViewOfFile(mine.get(), FILE_MAP_WRITE, 0, 0, 4096));
  ASSERT_TRUE(view);
  *static_cast<DWORD*>(view.get()) = kMagic;

  // A second caller of the same name gets its own handle onto the same memory; the
  // IsFirstObject pointer may be null.
  INT64 second = 0;
  ASSERT_EQ(object_->CreateTunerInfoS(bstr, 0, 4096, GetCurrentProcessId(), &second, &first), S_OK);
  EXPECT_EQ(first, 0);
  EXPECT_NE(second, handle);
  INT64 third = 0;
  ASSERT_EQ(object_->CreateTunerInfoS(bstr, 0, 4096, GetCurrentProcessId(), &third, nullptr), S_OK);
  for (INT64 h : {second, third}) {
    UniqueHandle other(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(h)));
    UniqueMappedView otherView(MapViewOfFile(other.get(), FILE_MAP_READ, 0, 0, 4));
    ASSERT_TRUE(otherView);
    EXPECT_EQ(*static_cast<const DWORD*>(otherView.get()), kMagic);
  }

  // The object kept no handle: the section goes with the caller's last one.
  view.reset();
  mine.reset();
  EXPECT_FALSE(NameExists(name));
  EXPECT_EQ(registry_.size(), 0u);
}

TEST_F(MmfSupportTest, CreateTunerInfoSSectionGrantsEveryoneAllAccess) {
  Bstr bstr(UniqueName(L"Global\\vorn_mmf_"));
  INT64 handle = 0;
  ASSERT_EQ(object_->CreateTunerInfoS(bstr, 0, 64, GetCurrentProcessId(), &handle, nullptr), S_OK);
  UniqueHandle mapping(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle)));
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(mapping.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, 1);
  ACCESS_ALLOWED_ACE* ace = nullptr;
  ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
  EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(ace->Mask, 0xF001Fu);
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
  EXPECT_TRUE(EqualSid(&ace->SidStart, everyone));
  FreeSid(everyone);
  LocalFree(descriptor);
}

TEST_F(MmfSupportTest, CreateTunerInfoSDuplicatesIntoTheNamedProcess) {
  const std::wstring readyName = UniqueName(L"Global\\vorn_mmf_ready_");
  const std::wstring mailboxName = UniqueName(L"Global\\vorn_mmf_box_");
  UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
  SharedMemory mailbox;
  ASSERT_EQ(mailbox.Create(mailboxName.c_str(), 0, sizeof(Mailbox)), S_OK);
  ChildProcess child = ChildProcess::Start("MapDuplicatedHandle", {readyName, mailboxName});
  ASSERT_TRUE(child.valid());

  const std::wstring name = UniqueName(L"Global\\vorn_mmf_");
  Bstr bstr(name);
  INT64 handle = 0;
  LONG first = 0;
  ASSERT_EQ(object_->CreateTunerInfoS(bstr, 0, 4096, child.pid(), &handle, &first), S_OK);
  EXPECT_EQ(first, 1);
  // Only the child holds the section: open it here by name to put the data in.
  {
    UniqueHandle byName(OpenFileMappingW(FILE_MAP_WRITE, FALSE, name.c_str()));
    ASSERT_TRUE(byName);
    UniqueMappedView view(MapViewOfFile(byName.get(), FILE_MAP_WRITE, 0, 0, 4));
    ASSERT_TRUE(view);
    *static_cast<DWORD*>(view.get()) = kMagic;
  }
  *mailbox.As<Mailbox>() = {handle, kMagic};
  SetEvent(ready.get());
  EXPECT_EQ(child.Wait(30000), 0u);
}

TEST_F(MmfSupportTest, CreateTunerInfoSForAProcessThatIsGoneMakesNoSection) {
  DWORD ended = 0;
  {
    ChildProcess child = ChildProcess::Start("ExitAtOnce");
    ASSERT_TRUE(child.valid());
    ended = child.pid();
    ASSERT_EQ(child.Wait(30000), 0u);
  }  // its last handle closed
  constexpr DWORD kNeverUsed = 0xFFFFFFF0;  // process identifiers stay far below this
  for (DWORD pid : {ended, kNeverUsed}) {
    const std::wstring name = UniqueName(L"Global\\vorn_mmf_");
    Bstr bstr(name);
    INT64 handle = 0;
    LONG first = 7;
    const HRESULT hr = object_->CreateTunerInfoS(bstr, 0, 4096, pid, &handle, &first);
    // Usually OpenProcess's "invalid parameter"; Wine may still open an ended process for a
    // moment, and the handle then cannot be put into it.
    EXPECT_TRUE(FAILED(hr)) << pid;
    EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32);
    if (pid == kNeverUsed) {
      EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(first, 7);
    EXPECT_FALSE(NameExists(name));
  }
}

// --- CreateTunerInfo ------------------------------------------------------------------------

// A caller's scrambled name, worked out by hand from the key: 36 characters, so the last one
// takes the key's first character again (and '1' ^ '1' puts a terminator inside the name).
constexpr wchar_t kPlainName[] = L"Global\\vorn_scramble_test_0123456789";
constexpr wchar_t kScrambledName[] = {
    0x16, 0x01, 0x58, 0x41, 0x15, 0x3E, 0x6E, 0x06, 0x23, 0x4B, 0x14, 0x08, 0x52, 0x06, 0x39, 0x55, 0x1E, 0x20,
    0x54, 0x0B, 0x17, 0x44, 0x1D, 0x37, 0x42, 0x3C, 0x66, 0x00, 0x54, 0x79, 0x07, 0x52, 0x6F, 0x02, 0x59, 0x68};

TEST(NameKey, UnscramblesAKnownCallersName) {
  std::wstring name(kScrambledName, 36);
  mappingsvc::UnscrambleName(name);
  EXPECT_EQ(name, kPlainName);
}

TEST_F(MmfSupportTest, CreateTunerInfoMakesTheSectionOfTheUnscrambledName) {
  Bstr scrambled(std::wstring(kScrambledName, 36));
  LONG first = 7;
  ASSERT_EQ(object_->CreateTunerInfo(scrambled, 4096, &first), S_OK);
  EXPECT_EQ(first, 1);
  EXPECT_TRUE(NameExists(kPlainName));
  registry_.Clear();
  EXPECT_FALSE(NameExists(kPlainName));
}

TEST_F(MmfSupportTest, CreateTunerInfoKeepsANewSectionUntilTheRegistryIsCleared) {
  // 36 characters: the last one is scrambled with the key's first character again.
  std::wstring name = UniqueName(L"Global\\");
  name.resize(36, L'x');
  ASSERT_EQ(name.size(), 36u);
  Bstr scrambled(Scramble(name));
  LONG first = 7;
  ASSERT_EQ(object_->CreateTunerInfo(scrambled, 4096, &first), S_OK);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(registry_.size(), 1u);
  EXPECT_TRUE(NameExists(name));  // held by the registry, not by the caller

  // The same name again: not first, and the registry keeps what it had.
  ASSERT_EQ(object_->CreateTunerInfo(scrambled, 4096, &first), S_OK);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(registry_.size(), 1u);
  ASSERT_EQ(object_->CreateTunerInfo(scrambled, 4096, nullptr), S_OK);
  EXPECT_EQ(registry_.size(), 1u);

  registry_.Clear();
  EXPECT_EQ(registry_.size(), 0u);
  EXPECT_FALSE(NameExists(name));
}

TEST_F(MmfSupportTest, CreateTunerInfoLeavesAnExistingSectionToItsHolders) {
  const std::wstring name = UniqueName(L"Global\\vorn_mmf_");
  SharedMemory elsewhere;
  ASSERT_EQ(elsewhere.Create(name.c_str(), 0, 4096), S_OK);
  Bstr scrambled(Scramble(name));
  LONG first = 7;
  ASSERT_EQ(object_->CreateTunerInfo(scrambled, 4096, &first), S_OK);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(registry_.size(), 0u);
  elsewhere.Close();
  EXPECT_FALSE(NameExists(name));
}

TEST_F(MmfSupportTest, CreateTunerInfoFailureReturnsTheErrorAndKeepsNothing) {
  LONG first = 7;
  // A page-file section cannot be empty.
  Bstr scrambled(Scramble(UniqueName(L"Global\\vorn_mmf_")));
  EXPECT_EQ(object_->CreateTunerInfo(scrambled, 0, &first), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(first, 0);
  // A mutex holds the name.
  const std::wstring clash = UniqueName(L"Global\\vorn_mmf_clash_");
  UniqueHandle mutex(CreateMutexW(nullptr, FALSE, clash.c_str()));
  Bstr scrambledClash(Scramble(clash));
  first = 7;
  const HRESULT hr = object_->CreateTunerInfo(scrambledClash, 4096, &first);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(registry_.size(), 0u);
}

TEST_F(MmfSupportTest, NamesThatCannotBeKeptApartAreRefused) {
  // Names the system would cut (two that differ only past the cut would share one section), a
  // name with a terminator inside, and no name at all (an unnamed section would be kept for
  // nobody on every call).
  constexpr size_t kLongest = 32766;  // what a counted system string holds
  const std::wstring stem = UniqueName(L"Global\\vorn_mmf_long_");
  const std::wstring longA = stem + std::wstring(100000, L'x') + L"a";
  const std::wstring justTooLong = stem + std::wstring(kLongest + 1 - stem.size(), L'y');
  const std::wstring withTerminator = stem + std::wstring(1, L'\0') + L"z";
  for (const std::wstring& plain : {longA, justTooLong, withTerminator, std::wstring()}) {
    Bstr scrambled(Scramble(plain));
    LONG first = 7;
    EXPECT_EQ(object_->CreateTunerInfo(scrambled, 4096, &first), E_INVALIDARG) << plain.size();
    Bstr global(plain);
    INT64 handle = 0;
    EXPECT_EQ(object_->CreateTunerInfoS(global, 0, 4096, GetCurrentProcessId(), &handle, &first), E_INVALIDARG)
        << plain.size();
    EXPECT_EQ(handle, 0);
  }
  LONG first = 7;
  EXPECT_EQ(object_->CreateTunerInfo(nullptr, 4096, &first), E_INVALIDARG);
  EXPECT_EQ(registry_.size(), 0u);
  EXPECT_FALSE(NameExists(stem));
  // Longer names than a path are taken whole, up to the longest the system keeps.
  for (const size_t length : {size_t{300}, kLongest}) {
    const std::wstring fits = stem + std::wstring(length - 1 - stem.size(), L'y') + L"a";
    const std::wstring sibling = stem + std::wstring(length - 1 - stem.size(), L'y') + L"b";
    Bstr scrambled(Scramble(fits));
    ASSERT_EQ(object_->CreateTunerInfo(scrambled, 4096, &first), S_OK) << length;
    EXPECT_EQ(first, 1);
    EXPECT_TRUE(NameExists(fits)) << length;
    EXPECT_FALSE(NameExists(sibling)) << length;
    Bstr global(sibling);
    INT64 handle = 0;
    ASSERT_EQ(object_->CreateTunerInfoS(global, 0, 4096, GetCurrentProcessId(), &handle, &first), S_OK) << length;
    EXPECT_EQ(first, 1) << "a name of its own";
    EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle))));
  }
}

TEST_F(MmfSupportTest, ConcurrentCreationOfOneNameHasExactlyOneFirst) {
  constexpr int kThreads = 6, kRounds = 25;
  for (int round = 0; round < kRounds; ++round) {
    Bstr scrambled(Scramble(UniqueName(L"Global\\vorn_mmf_race_")));
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<LONG> firsts(kThreads, -1);
    std::vector<HRESULT> results(kThreads, E_FAIL);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        // Half the callers share the fixture's object, half have their own.
        IZarnMMFSupport* target = object_;
        if (t % 2 && FAILED(CZarnMMFSupport::Create(&registry_, IID_IZarnMMFSupport,
                                                    reinterpret_cast<void**>(&target)))) {
          return;
        }
        WaitForSingleObject(go.get(), 10000);
        results[t] = target->CreateTunerInfo(scrambled, 4096, &firsts[t]);
        if (target != object_) target->Release();
      });
    }
    SetEvent(go.get());
    for (auto& th : threads) th.join();
    int ones = 0;
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ(results[t], S_OK);
      ones += firsts[t] == 1;
    }
    EXPECT_EQ(ones, 1) << "round " << round;
  }
  EXPECT_EQ(registry_.size(), static_cast<size_t>(kRounds));
}

// --- IDispatch --------------------------------------------------------------------------------

TEST_F(MmfSupportTest, DispatchReachesTheMethodsByTheirIdentifiers) {
  UINT count = 0;
  ASSERT_EQ(object_->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ITypeInfo* info = nullptr;
  EXPECT_EQ(object_->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
  ASSERT_EQ(object_->GetTypeInfo(0, 0, &info), S_OK);
  info->Release();

  wchar_t nameS[] = L"CreateTunerInfoS";
  wchar_t name[] = L"CreateTunerInfo";
  LPOLESTR names[] = {nameS, name};
  DISPID ids[2] = {};
  ASSERT_EQ(object_->GetIDsOfNames(IID_NULL, &names[0], 1, 0, &ids[0]), S_OK);
  ASSERT_EQ(object_->GetIDsOfNames(IID_NULL, &names[1], 1, 0, &ids[1]), S_OK);
  EXPECT_EQ(ids[0], 0x60010000);
  EXPECT_EQ(ids[1], 0x60010001);

  // CreateTunerInfo(Name, MaximumSize as VT_I8, [out] pIsFirst); arguments go in reverse.
  const std::wstring plain = UniqueName(L"Global\\vorn_mmf_disp_");
  Bstr scrambled(Scramble(plain));
  LONG first = 7;
  VARIANT args[3];
  for (auto& a : args) VariantInit(&a);
  args[2].vt = VT_BSTR;
  args[2].bstrVal = scrambled;
  args[1].vt = VT_I8;
  args[1].llVal = 4096;
  args[0].vt = VT_BYREF | VT_I4;
  args[0].plVal = &first;
  DISPPARAMS params{args, nullptr, 3, 0};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(object_->Invoke(ids[1], IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(first, 1);
  EXPECT_TRUE(NameExists(plain));
  EXPECT_EQ(object_->Invoke(ids[1], IID_IUnknown, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
}
