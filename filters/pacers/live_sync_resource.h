// Resource identifiers of the "Live Sync" settings page (the same in both pacer modules).
#pragma once

#define IDD_LIVE_SYNC 101
#define IDS_LIVE_SYNC_TITLE 201
#define IDC_ALLOCATOR_BUFFERS 202
#define IDC_TIME_STAMPING 203
#define IDC_DELAY 204
#define IDC_HW_TIME_STAMP 205
