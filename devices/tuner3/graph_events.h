// What the third family's two graphs share about events: the driver events and the property
// records that carry them (an event handle is registered with a filter's driver through
// IKsPropertySet, a 28-byte record with the handle in its 32-bit value word, and unregistered with
// the value 0), the creation of their notify events and the draining of the graph's events.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <atomic>

#include "common/errors.h"
#include "common/locks.h"

class DeviceIdentity;

// {DDE4CFD5-4569-4A93-B5B5-9DE68EFF027F}: event registrations (1 preview audio mode on the
// preview source, 3 capture audio mode on the capture filter).
constexpr GUID PexEventPropertySet = {0xDDE4CFD5, 0x4569, 0x4A93, {0xB5, 0xB5, 0x9D, 0xE6, 0x8E, 0xFF, 0x02, 0x7F}};
// {F875D956-A93E-4D3C-9BE3-5F5ADFAABB9A}: the encoder (1 a pair, 2 the parameters, 3 the error
// event, 4 the end event).
constexpr GUID PexEncoderPropertySet = {0xF875D956, 0xA93E, 0x4D3C, {0x9B, 0xE3, 0x5F, 0x5A, 0xDF, 0xAA, 0xBB, 0x9A}};

namespace pex {

// One driver event registration: where, and the code when the filter cannot set it.
struct KsEventSlot {
  const GUID* set;
  DWORD id;
  HRESULT unsupported;
};

// Registers `event` (null: unregisters) with `target`: QuerySupported must report set support
// (else slot.unsupported), then the record is set; its result is returned.
HRESULT RegisterKsEvent(IKsPropertySet* target, const KsEventSlot& slot, HANDLE event);

// Sets or gets a property record of `size` bytes (header then values) through one buffer used
// as instance and property data; `unsupported` when QuerySupported lacks the direction. A Get
// whose reply holds fewer than `size` bytes gives errors::kInvalidData: the values it did not return
// would be taken as the request's own.
HRESULT ExchangeKsRecord(IKsPropertySet* target, const GUID& set, DWORD id, bool write, void* record, DWORD size,
                         HRESULT unsupported);

// Creates `event` (manual reset; named: null DACL) unless it exists; the Win32 error folded
// into an HRESULT on failure.
HRESULT CreateNotifyEvent(NamedEvent& event, const wchar_t* name);

// Drains the graph's events (time-out 0): an error event's first parameter becomes `lastError`
// and `error` is set; every event's parameters are freed.
void DrainGraphErrors(IMediaEventEx* events, std::atomic<HRESULT>& lastError, const NamedEvent& error);

}  // namespace pex
