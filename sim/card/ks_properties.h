// The kernel-streaming properties of a simulated card as the third family's filters answer them
// through IKsPropertySet: the tuner's scan mode, frequency, signal level and switching flag, the
// capture filter's two capture switches; the third family's event registrations (preview source,
// capture filter, encoder) and encoder parameters. Each (set, id) has its record size, its support flags
// (changeable, to reach every "not supported" path) and its stored values; every Set is logged.
//
// Set and Get check what the callers must send: the record size of the property as both lengths,
// one buffer as instance and property data, and a KSPROPERTY header that names the same property.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <vector>

#include "common/locks.h"
#include "sim/card/sim_card.h"

namespace simcard {

class KsProperties {
 public:
  KsProperties();

  // For the filter of `role` (tuner or capture): E_PROP_SET_UNSUPPORTED / E_PROP_ID_UNSUPPORTED
  // for a property that filter does not have.
  HRESULT QuerySupported(UINT role, REFGUID set, DWORD id, DWORD* support) const;
  HRESULT Set(UINT role, REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data, DWORD dataSize);
  HRESULT Get(UINT role, REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data, DWORD dataSize,
              DWORD* returned);

  HRESULT SetSupport(REFGUID set, DWORD id, DWORD support);
  HRESULT SetValues(REFGUID set, DWORD id, LONG value1, LONG value2);
  // What a Get of the property reports as returned (kSimKsReturnedWhole: the record's size);
  // only the bytes below that count are written.
  HRESULT SetReturned(REFGUID set, DWORD id, DWORD returned);
  std::vector<SimCardKsWrite> Log() const;
  // Every value of a property (kSimKsMaxValues).
  HRESULT Values(REFGUID set, DWORD id, LONG* values) const;
  // The event handle an event registration holds (sign-extended from its 32 bits; null for 0).
  HANDLE RegisteredHandle(REFGUID set, DWORD id) const;

 private:
  struct Entry {
    GUID set;
    DWORD id;
    UINT role;
    DWORD size;
    DWORD support;
    LONG values[kSimKsMaxValues];
    DWORD returned = kSimKsReturnedWhole;
  };
  Entry* Find(UINT role, REFGUID set, DWORD id, HRESULT* error);
  const Entry* FindAny(REFGUID set, DWORD id) const;
  Entry* FindAny(REFGUID set, DWORD id);
  // Finds the property (any role) under the lock and applies `change`; E_INVALIDARG when unknown.
  template <class F>
  HRESULT Change(REFGUID set, DWORD id, F&& change);
  HRESULT CheckRecord(const Entry& entry, DWORD flags, void* instance, DWORD instanceSize, void* data,
                      DWORD dataSize) const;

  mutable CriticalSection lock_;
  std::vector<Entry> entries_;
  std::vector<SimCardKsWrite> log_;
};

}  // namespace simcard
