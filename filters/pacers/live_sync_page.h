// The "Live Sync" property page of both pacers: allocator buffers and delay as numbers, time
// stamping and hardware time stamp as check boxes, written through the filter's IPacerSettings.
#pragma once

#include <wrl/client.h>

#include "filters/base/property_page.h"
#include "filters/include/filter_interfaces.h"

class LiveSyncPage : public CBasePropertyPage {
 public:
  // Factory entry "Zarn Live Sync Property Page".
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);

  LiveSyncPage(IUnknown* outer, HRESULT* phr);

  // The filter's settings, kept (one reference) from connect to disconnect.
  HRESULT OnConnect(IUnknown* object) override;
  HRESULT OnDisconnect() override;
  // Shows the values (a box is checked only for the value 1), then reports the page clean.
  HRESULT OnActivate() override;
  // Writes all four values: the edits' leading numbers, the boxes as 1 or 0.
  HRESULT OnApplyChanges() override;
  // Typing in an edit or clicking a box marks the page changed.
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  long ReadNumber(int controlId) const;

  Microsoft::WRL::ComPtr<IPacerSettings> settings_;  // while connected
};
