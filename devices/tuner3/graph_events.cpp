#include "devices/tuner3/graph_events.h"

#include <cstring>

#include "common/hresult.h"
#include "devices/core/link/packet_codecs.h"

namespace pex {

namespace {
constexpr DWORD kFlagGet = 1;  // KSPROPERTY_TYPE_GET
constexpr DWORD kFlagSet = 2;  // KSPROPERTY_TYPE_SET
// The KSPROPERTY header every record starts with.
struct KsHeader {
  GUID set;
  DWORD id;
  DWORD flags;
};
static_assert(sizeof(KsHeader) == 24);
}  // namespace

HRESULT ExchangeKsRecord(IKsPropertySet* target, const GUID& set, DWORD id, bool write, void* record, DWORD size,
                         HRESULT unsupported) {
  if (!target || !record || size < sizeof(KsHeader)) return E_POINTER;
  DWORD support = 0;
  HRESULT hr = target->QuerySupported(set, id, &support);
  if (FAILED(hr)) return unsupported;
  if (!(support & (write ? KSPROPERTY_SUPPORT_SET : KSPROPERTY_SUPPORT_GET))) return unsupported;
  const KsHeader header{set, id, write ? kFlagSet : kFlagGet};
  std::memcpy(record, &header, sizeof(header));
  if (write) return target->Set(set, id, record, size, record, size);
  DWORD returned = 0;
  hr = target->Get(set, id, record, size, record, size, &returned);
  if (SUCCEEDED(hr) && returned < size) return errors::kInvalidData;
  return hr;
}

HRESULT RegisterKsEvent(IKsPropertySet* target, const KsEventSlot& slot, HANDLE event) {
  auto record = driver_packets::MakeKsPropertyRecord(*slot.set, slot.id, kFlagSet,
                                                     static_cast<std::int32_t>(driver_packets::HandleToWord(event)));
  return ExchangeKsRecord(target, *slot.set, slot.id, true, &record, driver_packets::kKsRecordOneValue,
                          slot.unsupported);
}

HRESULT CreateNotifyEvent(NamedEvent& event, const wchar_t* name) {
  if (event.handle()) return S_OK;
  return FAILED(event.Create(name)) ? HResultFromLastError() : S_OK;
}

void DrainGraphErrors(IMediaEventEx* events, std::atomic<HRESULT>& lastError, const NamedEvent& error) {
  long code = 0;
  LONG_PTR param1 = 0, param2 = 0;
  while (events->GetEvent(&code, &param1, &param2, 0) == S_OK) {
    if (code == EC_ERRORABORT || code == EC_STREAM_ERROR_STOPPED || code == EC_STREAM_ERROR_STILLPLAYING ||
        code == EC_ERROR_STILLPLAYING) {
      lastError = static_cast<HRESULT>(param1);
      error.Set();
    }
    events->FreeEventParams(code, param1, param2);
  }
}

}  // namespace pex
