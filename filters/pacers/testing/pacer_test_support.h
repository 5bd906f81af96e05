// Shared pieces of the pacers' tests: a pool of upstream buffers whose every sample can be
// checked back home, machine values written and removed again, a sink that logs samples and
// new segments in their order, and the trace switched on for the whole test program.
#pragma once

#include <windows.h>

#include <future>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"
#include "filters/base/allocator.h"
#include "common/dshow.h"
#include "filters/base/filter.h"
#include "filters/base/pin.h"

namespace pacer_testing {

// Runs `call` on a thread of its own while this thread holds `stateLock`: true when it ended
// within `timeoutMs`. A filter's Stop holds its state lock while it waits for the streaming
// lock, so a delivery that waits for the state lock deadlocks with it.
template <class F>
bool EndsWhileStateLockIsHeld(CCritSec* stateLock, F call, DWORD timeoutMs) {
  std::future<void> done;
  bool ended = false;
  {
    CAutoLock hold(stateLock);
    done = std::async(std::launch::async, call);
    ended = done.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
  }
  done.wait();  // the lock is free again: a waiting delivery ends now
  return ended;
}

// An upstream allocator of `count` buffers of `size` bytes, committed.
class BufferPool {
 public:
  BufferPool(LONG count, LONG size);
  ~BufferPool();
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // A buffer (null when none is free) filled with `fill`, with the given start/stop (none when
  // start < 0 is not wanted: use the flags).
  IMediaSample* Get(BYTE fill, const REFERENCE_TIME* start = nullptr,
                    const REFERENCE_TIME* stop = nullptr);
  LONG Outstanding() const { return pool_->OutstandingCount(); }
  IMemAllocator* allocator() const { return allocator_; }

 private:
  CMemAllocator* pool_ = nullptr;
  IMemAllocator* allocator_ = nullptr;
};

// A DWORD value under HKEY_LOCAL_MACHINE written for one test and removed afterwards.
class MachineValue {
 public:
  MachineValue(const wchar_t* subKey, const wchar_t* name, DWORD value);
  // A value of any type and size (as installers may have stored it).
  MachineValue(const wchar_t* subKey, const wchar_t* name, DWORD type, const void* data, DWORD size);
  ~MachineValue();
  MachineValue(const MachineValue&) = delete;
  MachineValue& operator=(const MachineValue&) = delete;

 private:
  std::wstring subKey_;
  std::wstring name_;
};

constexpr wchar_t kBoardInfoSubKey[] = L"Software\\Zarn Corporation\\TunerBrdInfo";

// Every test program that links this file traces to the debugger (switched on before the
// first test, off after the last).

inline ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

}  // namespace pacer_testing

namespace pacer_testing {

// Creates a filter through its factory function with one reference, as IBaseFilter.
template <class F>
IBaseFilter* CreateFilter(IUnknown* outer = nullptr) {
  HRESULT hr = S_OK;
  CUnknown* object = F::CreateInstance(outer, &hr);
  if (!object || FAILED(hr)) {
    delete object;
    return nullptr;
  }
  IBaseFilter* filter = nullptr;
  object->NonDelegatingAddRef();
  object->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter));
  object->NonDelegatingRelease();
  return filter;
}

// An outer object that aggregates one inner object and answers IPersist itself.
class Outer final : public IPersist {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    *clsid = CLSID_NULL;
    return S_OK;
  }
  long refs = 1;
  CUnknown* inner = nullptr;
};

// A sink that logs what reaches its input, samples and new segments, in one list in arrival
// order; it accepts any type and can hold the first sample it receives.
class OrderSink final : public CBaseFilter {
 public:
  struct Event {
    bool segment = false;
    BYTE firstByte = 0;       // a sample's first byte
    REFERENCE_TIME start = 0;  // a segment's values
    REFERENCE_TIME stop = 0;
    double rate = 0;
  };

  // A new sink with one reference for the caller.
  static OrderSink* Create();
  ~OrderSink() override;

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override;
  STDMETHODIMP Stop() override;
  IPin* InputPin();

  // The first sample received from now on waits (at most 10 s) in Receive until ReleaseHeld, a
  // flush or Stop.
  void HoldFirst();
  void ReleaseHeld();
  std::vector<Event> Events() const;
  bool WaitForEvents(size_t count, DWORD timeoutMs) const;

 private:
  friend class OrderSinkPin;
  explicit OrderSink(HRESULT* phr);
  void Record(const Event& event);

  CCritSec lock_;
  mutable CCritSec recordLock_;  // events only (leaf)
  std::unique_ptr<CBaseInputPin> pin_;
  std::vector<Event> events_;
  UniqueHandle release_;  // manual reset: a held sample may go on
  bool holdNext_ = false;  // recordLock_
};

}  // namespace pacer_testing
