// Where the pacers read their machine settings: DWORD values under the board-information key.
#pragma once

namespace pacer {

constexpr wchar_t kBoardInfoKey[] = L"HKEY_LOCAL_MACHINE\\Software\\Zarn Corporation\\TunerBrdInfo";
constexpr wchar_t kCorrectTimestampValue[] = L"APC Correct Timestamp";  // audio pacer
constexpr wchar_t kFrameDropValue[] = L"VPC Frame Drop";                // video pacer, default 1
constexpr wchar_t kFrameDropTimeValue[] = L"VPC Frame Drop Time";       // ms, default 22

}  // namespace pacer
