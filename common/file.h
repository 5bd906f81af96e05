// A file handle opened from a compact open-mode word (access, sharing, inheritance, creation
// and cache flags in one 32-bit value).
#pragma once

#include <windows.h>

#include "common/handles.h"

class VCLFile {
 public:
  // Open-mode bits. Access (bits 0-1) and sharing (bits 4-6) are values, the rest are flags.
  enum OpenMode : DWORD {
    modeRead = 0x0,
    modeWrite = 0x1,
    modeReadWrite = 0x2,
    shareCompat = 0x0,
    shareExclusive = 0x10,
    shareDenyWrite = 0x20,  // others may read
    shareDenyRead = 0x30,   // others may write
    shareDenyNone = 0x40,   // others may read and write
    modeNoInherit = 0x80,
    modeCreate = 0x1000,      // alone: always created anew; with modeNoTruncate: opened or created
    modeNoTruncate = 0x2000,
    osNoBuffer = 0x10000,
    osWriteThrough = 0x20000,
    osRandomAccess = 0x40000,
    osSequentialScan = 0x80000,
  };
  static constexpr DWORD kAccessMask = 0x3;
  static constexpr DWORD kShareMask = 0x70;
  // The shared append mode of logs: write, shared for reading and writing, opened or created
  // with its content kept, written through, inheritable.
  static constexpr DWORD kAppendShared =
      modeWrite | shareDenyNone | modeCreate | modeNoTruncate | osWriteThrough;
  static_assert(kAppendShared == 0x23041);

  VCLFile() = default;
  VCLFile(const VCLFile&) = delete;
  VCLFile& operator=(const VCLFile&) = delete;
  ~VCLFile() { Close(); }

  // Opens `path` as the mode word says (any file held before is closed first). TRUE when a
  // handle resulted; otherwise the last error tells why.
  BOOL Open(const wchar_t* path, DWORD openMode);
  // TRUE when already closed, else the result of closing; the handle is invalid afterwards.
  BOOL Close();
  // Bytes written (0 when closed or on failure).
  DWORD Write(const void* bytes, DWORD count);
  // Origins 0 begin, 1 current, 2 end: the new position as SetFilePointer gives it
  // (INVALID_SET_FILE_POINTER on failure). Any other origin, or a closed file: 0.
  DWORD Seek(LONG distance, UINT origin);

  bool IsOpen() const noexcept { return handle_.valid(); }
  HANDLE handle() const noexcept { return handle_.get(); }

  // What CreateFileW receives for a mode word (exposed for checking the table).
  struct CreateArguments {
    DWORD access;
    DWORD share;
    bool inheritable;
    DWORD disposition;
    DWORD flags;
  };
  static CreateArguments Translate(DWORD openMode);

 private:
  UniqueFileHandle handle_;
};
