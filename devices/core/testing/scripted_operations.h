// Test support: a device object whose behaviour a test scripts, for the facade tests of every
// family. The script outlives the objects (the facade deletes its implementation at the final
// release), so tests read what happened from it afterwards.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <stdexcept>

#include "common/hresult.h"
#include "devices/core/not_implemented_operations.h"

struct OperationScript {
  HRESULT initializeResult = S_OK;
  DWORD lockTimeout = 0;          // non-zero: the device lock's wait, shortened
  long canUse = 1;                // CanUseInterface's answer
  HRESULT canUseResult = S_OK;
  enum class RunBehaviour { Succeed, ThrowCode, ThrowOther, Block } run = RunBehaviour::Succeed;
  HRESULT thrownCode = E_FAIL;
  HANDLE runEntered = nullptr;    // set when RunPreview starts (Block)
  HANDLE runRelease = nullptr;    // RunPreview waits for it, at most 10 s (Block)

  std::atomic<int> runCalls{0};
  std::atomic<int> inRun{0};      // threads inside RunPreview now
  std::atomic<int> maxInRun{0};
  std::atomic<int> shutdowns{0};
  std::atomic<int> destroyed{0};
  std::atomic<ULONG> windowMode{0};
  std::atomic<bool> sourceWasNull{false};
  std::atomic<int> stopCalls{0};
};

class ScriptedOperations final : public NotImplementedOperations {
 public:
  explicit ScriptedOperations(OperationScript* script) : s_(script) {}
  ~ScriptedOperations() override { ++s_->destroyed; }

  HRESULT Initialize() override {
    if (s_->lockTimeout) deviceLock().SetTimeout(s_->lockTimeout);
    return s_->initializeResult;
  }
  HRESULT Shutdown() override {
    ++s_->shutdowns;
    return S_OK;
  }
  HRESULT CanUseInterface(REFIID, long* can) override {
    *can = s_->canUse;
    return s_->canUseResult;
  }
  HRESULT RunPreview(ULONG) override {
    ++s_->runCalls;
    const int now = ++s_->inRun;
    for (int seen = s_->maxInRun; now > seen && !s_->maxInRun.compare_exchange_weak(seen, now);) {
    }
    struct Leave {
      OperationScript* s;
      ~Leave() { --s->inRun; }
    } leave{s_};
    switch (s_->run) {
      case OperationScript::RunBehaviour::ThrowCode: ThrowHr(s_->thrownCode);
      case OperationScript::RunBehaviour::ThrowOther: throw std::runtime_error("device failure");
      case OperationScript::RunBehaviour::Block:
        if (s_->runEntered) SetEvent(s_->runEntered);
        if (s_->runRelease) WaitForSingleObject(s_->runRelease, 10000);
        return S_OK;
      case OperationScript::RunBehaviour::Succeed: break;
    }
    return S_OK;
  }
  HRESULT StopPreview(ULONG) override {
    ++s_->stopCalls;
    return S_OK;
  }
  ULONG CompleteOverlayMode(ULONG mode) override { return mode | 0x20; }
  HRESULT InitializePreviewWindow(ULONG mode) override {
    s_->windowMode = mode;
    return S_OK;
  }
  HRESULT SetVideoPosition(RECT* source, RECT*) override {
    s_->sourceWasNull = source == nullptr;
    return S_OK;
  }

 private:
  OperationScript* s_;
};
