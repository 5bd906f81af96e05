// The preview control's double for the renderer's tests: a class of our own under the preview
// control's class identifier, answering IPreviewControl2, IPreviewMode2 and IPreviewInfo. Every
// call is recorded in the journal (double_journal.h) under kPreviewControlObject and any call
// can be given a result of the test's choice (InjectFailure takes success codes too).
#pragma once

#include <windows.h>

#include <cstdint>

namespace doubles {

// {191331D4-D4C8-43D5-BAE9-D239B73E10B8}
inline constexpr CLSID kClsidPreviewControl2 = {
    0x191331d4, 0xd4c8, 0x43d5, {0xba, 0xe9, 0xd2, 0x39, 0xb7, 0x3e, 0x10, 0xb8}};

#define DOUBLES_PREVIEW2_FILE L"previewdouble.dll"
inline constexpr char kPreviewControlObject[] = "PreviewControl2";

// Journal values the double answers with (0: the default named beside each).
enum PreviewDoubleValue : std::uint32_t {
  kPreviewColorKey = 12,   // GetColorKey: 0x00100010
  kPreviewMaxWidth = 13,   // GetAvailableDestSize maximum: 640 x 480 (minimum 320 x 240)
  kPreviewMaxHeight = 14,
};

}  // namespace doubles
