#include "sim/card/ks_properties.h"

#include <vfwmsgs.h>

#include <cstring>

namespace simcard {
namespace {

constexpr DWORD kHeaderSize = 24;  // KSPROPERTY: set, id, flags
constexpr DWORD kFlagGet = 1;
constexpr DWORD kFlagSet = 2;
constexpr DWORD kSupportAll = KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET;

}  // namespace

KsProperties::KsProperties() {
  entries_ = {
      {kSimKsTunerSet, 0, kSimRoleTuner, 28, kSupportAll, {0, 0}},    // scan mode
      {kSimKsTunerSet, 1, kSimRoleTuner, 32, kSupportAll, {0, 0}},    // frequency, tuning mode
      {kSimKsTunerSet, 2, kSimRoleTuner, 28, kSupportAll, {1, 0}},    // signal level code
      {kSimKsSwitchingSet, 2, kSimRoleTuner, 28, kSupportAll, {0, 0}},  // switching flag
      {kSimKsCaptureSet, 3, kSimRoleCapture, 28, kSupportAll, {0, 0}},  // capture switch B
      {kSimKsCaptureSet, 4, kSimRoleCapture, 28, kSupportAll, {0, 0}},  // capture switch A
      {kSimKsEventSet, 1, kSimRolePexPreview, 28, kSupportAll, {0}},    // preview audio mode event
      {kSimKsEventSet, 3, kSimRoleCapture, 28, kSupportAll, {0}},       // capture audio mode event
      {kSimKsEncoderSet, 1, kSimRoleEncoder, 32, kSupportAll, {0}},     // the pair before the parameters
      // The parameters as the driver reports them: mux, mode, video, peak, 2 x ?, GOP, 2 x ?,
      // width, height, 3 x ?, audio, the rest.
      {kSimKsEncoderSet, 2, kSimRoleEncoder, 104, kSupportAll,
       {6000000, 2, 3000000, 6000000, 11, 12, 1, 13, 14, 640, 360, 15, 16, 17, 192000, 18, 19, 20, 21, 22}},
      {kSimKsEncoderSet, 3, kSimRoleEncoder, 28, kSupportAll, {0}},  // encoder error event
      {kSimKsEncoderSet, 4, kSimRoleEncoder, 28, kSupportAll, {0}},  // encoder end event
  };
}

const KsProperties::Entry* KsProperties::FindAny(REFGUID set, DWORD id) const {
  for (const Entry& entry : entries_) {
    if (IsEqualGUID(entry.set, set) && entry.id == id) return &entry;
  }
  return nullptr;
}

KsProperties::Entry* KsProperties::FindAny(REFGUID set, DWORD id) {
  return const_cast<Entry*>(static_cast<const KsProperties*>(this)->FindAny(set, id));
}

KsProperties::Entry* KsProperties::Find(UINT role, REFGUID set, DWORD id, HRESULT* error) {
  bool setKnown = false;
  for (Entry& entry : entries_) {
    if (entry.role != role || !IsEqualGUID(entry.set, set)) continue;
    setKnown = true;
    if (entry.id == id) return &entry;
  }
  *error = setKnown ? E_PROP_ID_UNSUPPORTED : E_PROP_SET_UNSUPPORTED;
  return nullptr;
}

HRESULT KsProperties::QuerySupported(UINT role, REFGUID set, DWORD id, DWORD* support) const {
  if (!support) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  HRESULT hr = S_OK;
  const Entry* entry = const_cast<KsProperties*>(this)->Find(role, set, id, &hr);
  if (!entry) return hr;
  *support = entry->support;
  return S_OK;
}

HRESULT KsProperties::CheckRecord(const Entry& entry, DWORD flags, void* instance, DWORD instanceSize, void* data,
                                  DWORD dataSize) const {
  if (!instance || !data) return E_POINTER;
  if (instance != data || instanceSize != dataSize || dataSize != entry.size) return E_INVALIDARG;
  GUID set{};
  DWORD header[2] = {};
  std::memcpy(&set, data, sizeof(set));
  std::memcpy(header, static_cast<const std::uint8_t*>(data) + sizeof(set), sizeof(header));
  if (!IsEqualGUID(set, entry.set) || header[0] != entry.id || header[1] != flags) return E_INVALIDARG;
  return S_OK;
}

HRESULT KsProperties::Set(UINT role, REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data,
                          DWORD dataSize) {
  LockGuard guard(lock_, INFINITE);
  HRESULT hr = S_OK;
  Entry* entry = Find(role, set, id, &hr);
  if (!entry) return hr;
  if (!(entry->support & KSPROPERTY_SUPPORT_SET)) return E_PROP_ID_UNSUPPORTED;
  hr = CheckRecord(*entry, kFlagSet, instance, instanceSize, data, dataSize);
  if (FAILED(hr)) return hr;
  const DWORD values = (dataSize - kHeaderSize) / sizeof(LONG);
  std::memcpy(entry->values, static_cast<const std::uint8_t*>(data) + kHeaderSize, values * sizeof(LONG));
  SimCardKsWrite write{};
  write.set = entry->set;
  write.id = id;
  write.size = dataSize;
  std::memcpy(write.values, entry->values, sizeof(write.values));  // the first two
  if (values < 2) write.values[1] = 0;
  log_.push_back(write);
  return S_OK;
}

HRESULT KsProperties::Get(UINT role, REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data,
                          DWORD dataSize, DWORD* returned) {
  if (!returned) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  HRESULT hr = S_OK;
  Entry* entry = Find(role, set, id, &hr);
  if (!entry) return hr;
  if (!(entry->support & KSPROPERTY_SUPPORT_GET)) return E_PROP_ID_UNSUPPORTED;
  hr = CheckRecord(*entry, kFlagGet, instance, instanceSize, data, dataSize);
  if (FAILED(hr)) return hr;
  // A driver that answers short writes only the bytes it counts; one that claims more than the
  // record still writes no byte past it.
  const DWORD count = entry->returned == kSimKsReturnedWhole ? dataSize : entry->returned;
  const DWORD written = count < dataSize ? count : dataSize;
  if (written > kHeaderSize)
    std::memcpy(static_cast<std::uint8_t*>(data) + kHeaderSize, entry->values, written - kHeaderSize);
  *returned = count;
  return S_OK;
}

template <class F>
HRESULT KsProperties::Change(REFGUID set, DWORD id, F&& change) {
  LockGuard guard(lock_, INFINITE);
  Entry* entry = FindAny(set, id);
  if (!entry) return E_INVALIDARG;
  change(*entry);
  return S_OK;
}

HRESULT KsProperties::SetSupport(REFGUID set, DWORD id, DWORD support) {
  return Change(set, id, [&](Entry& entry) { entry.support = support; });
}

HRESULT KsProperties::SetValues(REFGUID set, DWORD id, LONG value1, LONG value2) {
  return Change(set, id, [&](Entry& entry) {
    entry.values[0] = value1;
    entry.values[1] = value2;
  });
}

HRESULT KsProperties::SetReturned(REFGUID set, DWORD id, DWORD returned) {
  return Change(set, id, [&](Entry& entry) { entry.returned = returned; });
}

HRESULT KsProperties::Values(REFGUID set, DWORD id, LONG* values) const {
  LockGuard guard(lock_, INFINITE);
  const Entry* entry = FindAny(set, id);
  if (!entry) return E_INVALIDARG;
  std::memcpy(values, entry->values, sizeof(entry->values));
  return S_OK;
}

HANDLE KsProperties::RegisteredHandle(REFGUID set, DWORD id) const {
  LockGuard guard(lock_, INFINITE);
  const Entry* entry = FindAny(set, id);
  // The record carries 32 bits; handles of this process sign-extend as the system does.
  return entry ? reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(entry->values[0])) : nullptr;
}

std::vector<SimCardKsWrite> KsProperties::Log() const {
  LockGuard guard(lock_, INFINITE);
  return log_;
}

}  // namespace simcard
