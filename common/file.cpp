#include "common/file.h"

namespace {

// Debug builds report a programming error in the mode word to the debugger and go on as the
// release build does: the check never changes what is opened.
void DebugCheck([[maybe_unused]] bool condition, [[maybe_unused]] const wchar_t* expression) {
#ifndef NDEBUG
  if (!condition) {
    const DWORD saved = GetLastError();
    OutputDebugStringW(L"VCLFile: assertion failed: ");
    OutputDebugStringW(expression);
    OutputDebugStringW(L"\n");
    SetLastError(saved);
  }
#endif
}

}  // namespace

VCLFile::CreateArguments VCLFile::Translate(DWORD openMode) {
  CreateArguments args{};
  switch (openMode & kAccessMask) {
    case modeRead: args.access = GENERIC_READ; break;
    case modeWrite: args.access = GENERIC_WRITE; break;
    case modeReadWrite: args.access = GENERIC_READ | GENERIC_WRITE; break;
    default:
      DebugCheck(false, L"FALSE");
      args.access = 0;
      break;
  }
  switch (openMode & kShareMask) {
    case shareCompat:
    case shareExclusive: args.share = 0; break;
    case shareDenyWrite: args.share = FILE_SHARE_READ; break;
    case shareDenyRead: args.share = FILE_SHARE_WRITE; break;
    case shareDenyNone: args.share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    default:
      DebugCheck(false, L"FALSE");
      args.share = 0;
      break;
  }
  args.inheritable = (openMode & modeNoInherit) == 0;
  if (openMode & modeCreate) {
    args.disposition = (openMode & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
  } else {
    args.disposition = OPEN_EXISTING;
  }
  args.flags = FILE_ATTRIBUTE_NORMAL;
  if (openMode & osNoBuffer) args.flags |= FILE_FLAG_NO_BUFFERING;
  if (openMode & osWriteThrough) args.flags |= FILE_FLAG_WRITE_THROUGH;
  DebugCheck((openMode & (osRandomAccess | osSequentialScan)) != (osRandomAccess | osSequentialScan),
             L"(openMode&(osRandomAccess | osSequentialScan)) != (osRandomAccess | osSequentialScan)");
  if (openMode & osRandomAccess) args.flags |= FILE_FLAG_RANDOM_ACCESS;
  if (openMode & osSequentialScan) args.flags |= FILE_FLAG_SEQUENTIAL_SCAN;
  return args;
}

BOOL VCLFile::Open(const wchar_t* path, DWORD openMode) {
  Close();
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const CreateArguments args = Translate(openMode);
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.bInheritHandle = args.inheritable ? TRUE : FALSE;
  handle_.reset(CreateFileW(path, args.access, args.share, &security, args.disposition, args.flags, nullptr));
  return IsOpen();
}

BOOL VCLFile::Close() {
  if (!IsOpen()) return TRUE;
  return CloseHandle(handle_.release());
}

DWORD VCLFile::Write(const void* bytes, DWORD count) {
  if (!IsOpen() || (!bytes && count)) return 0;
  DWORD written = 0;
  WriteFile(handle_.get(), bytes, count, &written, nullptr);  // a partial write still counts
  return written;
}

DWORD VCLFile::Seek(LONG distance, UINT origin) {
  if (origin > FILE_END || !IsOpen()) return 0;
  return SetFilePointer(handle_.get(), distance, nullptr, origin);
}
