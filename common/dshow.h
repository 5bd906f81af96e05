// The platform's DirectShow declarations as every module of this tree sees them (the filter
// base and the filters, the device support library, the device managers), plus the few
// definitions that the mingw-w64 headers lack. Include this instead of the platform headers.
// Header only: the common library itself stays free of DirectShow; what includes this links
// strmiids for the identifiers it uses.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>
#include <control.h>
#include <uuids.h>
#include <amvideo.h>
#include <dvdmedia.h>
#include <evcode.h>
#include <vfwmsgs.h>

// Type-specific flags of a video sample (AM_SAMPLE2_PROPERTIES::dwTypeSpecificFlags).
#ifndef AM_VIDEO_FLAG_FIELD_MASK
#define AM_VIDEO_FLAG_FIELD_MASK 0x0003L
#define AM_VIDEO_FLAG_INTERLEAVED_FRAME 0x0000L
#define AM_VIDEO_FLAG_FIELD1 0x0001L
#define AM_VIDEO_FLAG_FIELD2 0x0002L
#define AM_VIDEO_FLAG_FIELD1FIRST 0x0004L
#define AM_VIDEO_FLAG_WEAVE 0x0008L
#define AM_VIDEO_FLAG_IPB_MASK 0x0030L
#define AM_VIDEO_FLAG_I_SAMPLE 0x0000L
#define AM_VIDEO_FLAG_P_SAMPLE 0x0010L
#define AM_VIDEO_FLAG_B_SAMPLE 0x0020L
#define AM_VIDEO_FLAG_REPEAT_FIELD 0x0040L
#endif

// The null renderer's class identifier: the symbol is in libstrmiids, the declaration in no
// mingw header.
extern "C" const CLSID CLSID_NullRenderer;
