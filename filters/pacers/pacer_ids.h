// Class identifiers of the two pacing filters and of the settings page both of them carry.
#pragma once

#include <windows.h>

// "Zarn Live Audio Sync Filter" {6D1BE6B6-DA87-47CB-B52C-16A15844D4BB}
inline constexpr CLSID CLSID_AudioPacer = {0x6d1be6b6, 0xda87, 0x47cb, {0xb5, 0x2c, 0x16, 0xa1, 0x58, 0x44, 0xd4, 0xbb}};
// "Zarn Live Video Sync Filter" {2663BFAD-B808-441B-A466-1BB4781549E4}
inline constexpr CLSID CLSID_VideoPacer = {0x2663bfad, 0xb808, 0x441b, {0xa4, 0x66, 0x1b, 0xb4, 0x78, 0x15, 0x49, 0xe4}};
// "Zarn Live Sync Property Page" {49235D2F-615F-431A-AD30-B0BA3338478C}, registered by both
// modules (unregistering one leaves the other's registration alone).
inline constexpr CLSID CLSID_LiveSyncPage = {0x49235d2f, 0x615f, 0x431a, {0xad, 0x30, 0xb0, 0xba, 0x33, 0x38, 0x47, 0x8c}};
