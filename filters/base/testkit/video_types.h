// Media types the filter tests use again and again.
#pragma once

#include "filters/base/mediatype.h"

namespace graph_testkit {

// A packed video type (YUY2 by default) with a VIDEOINFOHEADER or VIDEOINFOHEADER2 format:
// 16 bits per pixel, image size from the header, fixed-size samples.
CMediaType MakeVideoType(LONG width, LONG height, const GUID& subtype = MEDIASUBTYPE_YUY2,
                         const GUID& formatType = FORMAT_VideoInfo,
                         REFERENCE_TIME avgTimePerFrame = 333667);

// A field-planar type (MEDIATYPE_FieldVideo / MEDIASUBTYPE_FieldPlanar420) with its 40-byte
// format block: NTSC or PAL format type, fixed-size samples of header and planes.
CMediaType MakeFieldVideoType(LONG width, LONG height, bool pal = false);

// The caption path's VBI type (KSDATAFORMAT_TYPE_VBI / KSDATAFORMAT_SUBTYPE_RAW8) without a
// format block, 160-byte samples.
CMediaType MakeVbiType();

}  // namespace graph_testkit
