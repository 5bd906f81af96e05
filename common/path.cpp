#include "common/path.h"

#include <psapi.h>
#include <stdlib.h>

#include <vector>

namespace {

enum class Part { Drive, Directory, Name, Extension };

PathString SplitPart(const std::wstring& path, Part part) {
  if (path.empty()) return {};
  // Every part fits in the path's own length: size the buffers from it, so that long paths
  // are split as safely as short ones.
  const std::size_t size = path.size() + 1;
  std::vector<wchar_t> drive(size), dir(size), name(size), ext(size);
  if (_wsplitpath_s(path.c_str(), drive.data(), size, dir.data(), size, name.data(), size,
                    ext.data(), size) != 0) {
    return {};
  }
  switch (part) {
    case Part::Drive: return PathString(drive.data());
    case Part::Directory: return PathString(dir.data());
    case Part::Name: return PathString(name.data());
    case Part::Extension: return PathString(ext.data());
  }
  return {};
}

// Runs a GetModuleFileName-style call with a buffer that starts at 261 characters and grows by
// 260 while the name does not fit. A call that fails (returns 0) ends the loop with nothing.
template <class Call>
PathString ReadModuleName(Call call) {
  constexpr DWORD kStart = MAX_PATH + 1, kStep = MAX_PATH, kLimit = 32768 + MAX_PATH;
  for (DWORD size = kStart; size <= kLimit; size += kStep) {
    std::wstring buffer(size, L'\0');
    SetLastError(ERROR_SUCCESS);
    const DWORD length = call(buffer.data(), size);
    if (length == 0) return {};
    // A name that fills the buffer (or reports truncation) may have been cut: grow and retry.
    if (length < size - 1 && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      buffer.resize(length);
      return PathString(std::move(buffer));
    }
  }
  return {};
}

}  // namespace

PathString PathString::GetDrive() const { return SplitPart(text_, Part::Drive); }
PathString PathString::GetDirectory() const { return SplitPart(text_, Part::Directory); }
PathString PathString::GetFileName() const { return SplitPart(text_, Part::Name); }
PathString PathString::GetExtension() const { return SplitPart(text_, Part::Extension); }

PathString PathString::GetFileNameWithExtension() const {
  return PathString(GetFileName().str() + GetExtension().str());
}

PathString PathString::GetFolder() const {
  return PathString(GetDrive().str() + GetDirectory().str());
}

PathString PathString::WithExtension(const wchar_t* extension) const {
  return Combine(PathString(GetFolder().str() + GetFileName().str()), WideString(extension));
}

PathString PathString::Combine(const WideString& base, const WideString& part) {
  if (base.empty()) return PathString(part);
  if (part.empty()) return PathString(base);
  const std::wstring& b = base.str();
  const std::wstring& p = part.str();
  if (b.back() == L':' || p.front() == L'.') return PathString(b + p);
  if (b.back() == L'\\') return PathString(p.front() == L'\\' ? b + p.substr(1) : b + p);
  if (p.front() == L'\\') return PathString(b + p);
  return PathString(b + L'\\' + p);
}

PathString ModulePath::OfModule(HMODULE module) {
  return ReadModuleName([module](wchar_t* buffer, DWORD size) {
    return GetModuleFileNameW(module, buffer, size);
  });
}

PathString ModulePath::OfProcess() {
  return ReadModuleName([](wchar_t* buffer, DWORD size) {
    return GetModuleFileNameExW(GetCurrentProcess(), nullptr, buffer, size);
  });
}
