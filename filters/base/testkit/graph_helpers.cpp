#include "filters/base/testkit/graph_helpers.h"

#include "filters/base/allocator.h"

namespace graph_testkit {

std::vector<SamplePlan> EvenFrames(int count, REFERENCE_TIME duration) {
  std::vector<SamplePlan> frames;
  for (int i = 0; i < count; ++i) {
    SamplePlan plan;
    plan.start = i * duration;
    plan.stop = (i + 1) * duration;
    plan.fill = static_cast<BYTE>(0x10 + i);
    frames.push_back(plan);
  }
  return frames;
}

int FilterCount(IFilterGraph* graph) {
  IEnumFilters* filters = nullptr;
  if (FAILED(graph->EnumFilters(&filters))) return -1;
  int count = 0;
  IBaseFilter* filter = nullptr;
  while (filters->Next(1, &filter, nullptr) == S_OK) {
    ++count;
    filter->Release();
  }
  filters->Release();
  return count;
}

IPin* FirstPin(IBaseFilter* filter, PIN_DIRECTION direction) {
  IEnumPins* pins = nullptr;
  if (FAILED(filter->EnumPins(&pins))) return nullptr;
  IPin* pin = nullptr;
  IPin* found = nullptr;
  while (!found && pins->Next(1, &pin, nullptr) == S_OK) {
    PIN_DIRECTION d;
    if (SUCCEEDED(pin->QueryDirection(&d)) && d == direction) {
      found = pin;
    } else {
      pin->Release();
    }
  }
  pins->Release();
  return found;
}

bool WaitForGraphEvent(IMediaEventEx* events, long wanted, DWORD timeoutMs, LONG_PTR* param1) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (GetTickCount64() < deadline) {
    long code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    if (events->GetEvent(&code, &p1, &p2, 50) == S_OK) {
      events->FreeEventParams(code, p1, p2);
      if (code == wanted) {
        if (param1) *param1 = p1;
        return true;
      }
    }
  }
  return false;
}

IMemAllocator* NewAllocator(LONG count, LONG bytes) {
  HRESULT hr = S_OK;
  auto* memory = new CMemAllocator(L"test allocator", nullptr, &hr);
  memory->NonDelegatingAddRef();
  IMemAllocator* allocator = nullptr;
  memory->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&allocator));
  memory->NonDelegatingRelease();
  if (count > 0) {
    ALLOCATOR_PROPERTIES request{count, bytes, 1, 0}, actual{};
    if (FAILED(allocator->SetProperties(&request, &actual)) || FAILED(allocator->Commit())) {
      allocator->Release();
      return nullptr;
    }
  }
  return allocator;
}

}  // namespace graph_testkit
