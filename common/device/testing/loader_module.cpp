// A filter module for the loader tests: serves one class (objects answer IPersist) and counts
// its live objects. Built twice, as a ".dll" and as an ".ax", from this one file.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <new>

#include "common/com_object.h"
#include "common/device/testing/loader_ids.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/thread.h"
#include "common/worker_thread.h"

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

class TestObject final : public SingleInterfaceObject<TestObject, IPersist, IID_IPersist> {
 public:
  TestObject() { ++g_objects; }
  ~TestObject() { --g_objects; }
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    if (!clsid) return E_POINTER;
    *clsid = device_testing::kLoaderTestClass;
    return S_OK;
  }
};

SingleClassFactory<TestObject> g_factory(g_locks);

// A test can hold a failing class request half-way: when the gate events of this process
// exist, the request signals the first and waits (bounded) for the second.
void WaitAtGateIfSet() {
  const DWORD pid = GetCurrentProcessId();
  HANDLE entered = OpenEventW(EVENT_MODIFY_STATE, FALSE, FormatW(device_testing::kGateEntered, pid).c_str());
  if (!entered) return;
  HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, FormatW(device_testing::kGateRelease, pid).c_str());
  SetEvent(entered);
  if (release) {
    WaitForSingleObject(release, 10000);
    CloseHandle(release);
  }
  CloseHandle(entered);
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != device_testing::kLoaderTestClass) {
    WaitAtGateIfSet();
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return g_factory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }

// Loaded from its file only, never registered.
STDAPI DllRegisterServer() { return E_FAIL; }
STDAPI DllUnregisterServer() { return S_OK; }

extern "C" long LoaderTestObjects() { return g_objects; }

// A worker of this module that waits (bounded) for `release`, then ends: a thread whose code
// outlives every object and every reference a host holds on the module.
namespace {
UniqueHandle g_worker;
DWORD WaitForRelease(void* release) { return WaitForSingleObject(static_cast<HANDLE>(release), 10000); }
}  // namespace
extern "C" HRESULT LoaderTestStartWorker(HANDLE release) { return WorkerThread::Start(release, g_worker, &WaitForRelease); }

// The same with a StoppableThread that frees itself as it ends (its own Stop only signals).
namespace {
class SelfEndingThread final : public StoppableThread {
 public:
  explicit SelfEndingThread(HANDLE release) : release_(release) {}
  ~SelfEndingThread() override { Stop(); }

 private:
  DWORD Run() override {
    const DWORD result = WaitForSingleObject(release_, 10000);
    delete this;
    return result;
  }
  const HANDLE release_;
};
}  // namespace
extern "C" HRESULT LoaderTestStartStoppable(HANDLE release) {
  auto* thread = new (std::nothrow) SelfEndingThread(release);
  if (!thread) return E_OUTOFMEMORY;
  const HRESULT hr = thread->Start();
  if (FAILED(hr)) delete thread;
  return hr;
}
