// The COM class in process: its interfaces, the facade's pointer checks and the singleton
// class factory's rules (one object at a time, a remembered creation failure, no aggregation).
#include "portserver/lumacrest_port.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "common/errors.h"
#include "common/testing/child.h"
#include "portserver/server_module.h"

namespace {

using Microsoft::WRL::ComPtr;

// A port that is never opened for real: opens succeed and nothing is transferred.
class IdlePort : public SerialPort {
 public:
  HRESULT Open() override { open_ = true; return S_OK; }
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_; }
  HRESULT SetState(const PortState&) override { return S_OK; }
  HRESULT GetState(PortState* s) override {
    *s = PortState{57600, 8, 0, 0};
    return S_OK;
  }
  HRESULT SetTimeouts(DWORD) override { return S_OK; }
  HRESULT Transfer(DWORD, const BYTE*, DWORD* readSize, BYTE*) override {
    *readSize = 0;
    return S_FALSE;
  }

 private:
  bool open_ = false;
};

struct Counter {
  int created = 0;
  HRESULT fail = S_OK;
};

SingletonClassFactory::Creator MakeCreator(Counter* counter) {
  return [counter](SingletonClassFactory* owner, LumacrestPort** out) -> HRESULT {
    ++counter->created;
    *out = nullptr;
    if (FAILED(counter->fail)) return counter->fail;
    auto* port = new LumacrestPort(std::make_unique<LockedPortManager>(std::make_unique<IdlePort>()), owner);
    const HRESULT hr = port->FinalConstruct();
    if (FAILED(hr)) {
      port->Release();
      return hr;
    }
    *out = port;
    return S_OK;
  };
}

TEST(LumacrestPortFactory, EveryActivationGetsTheSameObjectWhileItLives) {
  Counter counter;
  SingletonClassFactory factory(MakeCreator(&counter));
  ComPtr<IKelvPort> a;
  ComPtr<IKelvPortEx> b;
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_PPV_ARGS(&a)), S_OK);
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_PPV_ARGS(&b)), S_OK);
  EXPECT_EQ(counter.created, 1);
  ComPtr<IUnknown> ua, ub;
  a.As(&ua);
  b.As(&ub);
  EXPECT_EQ(ua.Get(), ub.Get());
  ua.Reset();
  ub.Reset();
  // The object's port is shared: an open through one reference is seen through the other.
  ASSERT_EQ(a->OpenPort(GetCurrentProcessId()), S_OK);
  KELVPORT_STATE state{};
  EXPECT_EQ(b->GetState(&state), S_OK);
  EXPECT_EQ(state.baudrate, 57600u);
  EXPECT_EQ(a->ClosePort(GetCurrentProcessId()), S_OK);
  a.Reset();
  EXPECT_EQ(b.Reset(), 0u);
  // The last reference has gone: the next activation makes a new object.
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_PPV_ARGS(&a)), S_OK);
  EXPECT_EQ(counter.created, 2);
  EXPECT_EQ(a.Reset(), 0u);
}

TEST(LumacrestPortFactory, CreationFailureIsRemembered) {
  Counter counter;
  counter.fail = E_OUTOFMEMORY;
  SingletonClassFactory factory(MakeCreator(&counter));
  ComPtr<IKelvPort> port;
  EXPECT_EQ(factory.CreateInstance(nullptr, IID_PPV_ARGS(&port)), E_OUTOFMEMORY);
  counter.fail = S_OK;
  EXPECT_EQ(factory.CreateInstance(nullptr, IID_PPV_ARGS(&port)), E_OUTOFMEMORY);
  EXPECT_EQ(counter.created, 1);
  EXPECT_EQ(port.Get(), nullptr);
}

TEST(LumacrestPortFactory, RefusesAggregationAndNullOut) {
  Counter counter;
  SingletonClassFactory factory(MakeCreator(&counter));
  ComPtr<IKelvPort> port;
  IUnknown* outer = reinterpret_cast<IUnknown*>(&factory);
  EXPECT_EQ(factory.CreateInstance(outer, IID_IUnknown, reinterpret_cast<void**>(port.GetAddressOf())),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory.CreateInstance(nullptr, IID_IKelvPort, nullptr), E_POINTER);
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory.CreateInstance(nullptr, IID_IDispatch, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(counter.created, 1);  // the refused interface did not keep the object
}

// The server's loop lets go once it has stayed idle; a client that still holds the class object
// calls it (args[0]: "create" or "lock") before the process has left. Exit code: the call's result.
VORN_CHILD(CallFactoryOfStoppedServer) {
  Counter counter;
  SingletonClassFactory factory(MakeCreator(&counter));
  ComPtr<IKelvPort> port;
  if (factory.CreateInstance(nullptr, IID_PPV_ARGS(&port)) != S_OK || port.Reset() != 0) return 2;
  ServerModule::Instance().Run(0);
  if (args.empty()) return 3;
  if (args[0] == L"lock") {
    const HRESULT hr = factory.LockServer(TRUE);
    if (SUCCEEDED(hr)) factory.LockServer(FALSE);
    return static_cast<int>(hr);
  }
  const HRESULT hr = factory.CreateInstance(nullptr, IID_PPV_ARGS(&port));
  port.Reset();
  return static_cast<int>(hr);
}

TEST(LumacrestPortFactory, StoppingServerMakesNoNewObject) {
  for (const wchar_t* call : {L"create", L"lock"}) {
    EXPECT_EQ(static_cast<HRESULT>(testing_support::RunChild("CallFactoryOfStoppedServer", {call})),
              CO_E_SERVER_STOPPING) << call;
  }
}

TEST(LumacrestPortObject, ExposesItsInterfacesOnly) {
  Counter counter;
  SingletonClassFactory factory(MakeCreator(&counter));
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_PPV_ARGS(&unknown)), S_OK);
  for (const IID* iid : {&IID_IUnknown, &IID_IKelvPort, &IID_IKelvPortEx}) {
    ComPtr<IUnknown> p;
    EXPECT_EQ(unknown->QueryInterface(*iid, reinterpret_cast<void**>(p.GetAddressOf())), S_OK);
  }
  for (const IID* iid : {&IID_IDispatch, &IID_IClassFactory, &IID_IMarshal}) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(unknown->QueryInterface(*iid, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
  }
  EXPECT_EQ(unknown->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(unknown.Reset(), 0u);
}

TEST(LumacrestPortObject, NullPointersAreRefused) {
  Counter counter;
  SingletonClassFactory factory(MakeCreator(&counter));
  ComPtr<IKelvPortEx> port;
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_PPV_ARGS(&port)), S_OK);
  EXPECT_EQ(port->SetState(0, nullptr), E_POINTER);
  EXPECT_EQ(port->GetState(nullptr), E_POINTER);
  EXPECT_EQ(port->OpenLockedPort(nullptr, GetCurrentProcessId()), E_POINTER);
  unsigned char buffer[4] = {};
  unsigned long size = 4;
  EXPECT_EQ(port->SendCommand(4, nullptr, &size, buffer), E_POINTER);
  EXPECT_EQ(port->SendCommandEx(0, 4, buffer, nullptr, buffer), E_POINTER);
  EXPECT_EQ(port->SendCommand(4, buffer, &size, buffer), errors::kPortNotOpen);
  EXPECT_EQ(port.Reset(), 0u);
}

}  // namespace
