// HRESULTs, the one exception type of the system, and the boundary helpers that keep that
// exception from crossing a COM method, a callback, a thread entry or a window procedure.
#pragma once

#include <windows.h>

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

// A Win32 error code as an HRESULT: a positive code becomes 0x8007xxxx, a value that already is
// a failure HRESULT passes unchanged. Zero stays zero (S_OK): callers that know the call failed
// use HResultFromLastError, which never reports success.
constexpr HRESULT HResultFromWin32(DWORD error) noexcept {
  const auto value = static_cast<HRESULT>(error);
  return value > 0 ? static_cast<HRESULT>((error & 0xFFFFu) | 0x80070000u) : value;
}

// For a call that has failed: the last error as an HRESULT, E_FAIL when the last error is 0
// (a failed call must never turn into S_OK).
inline HRESULT HResultFromLastError() noexcept {
  const HRESULT hr = HResultFromWin32(GetLastError());
  return FAILED(hr) ? hr : E_FAIL;
}

// The system's thrown code. Thrown inside a module only; every boundary catches it.
class HResultError : public std::exception {
 public:
  explicit HResultError(HRESULT code) noexcept : code_(code) {}
  HRESULT code() const noexcept { return code_; }
  const char* what() const noexcept override { return "HRESULT failure"; }

 private:
  HRESULT code_;
};

[[noreturn]] inline void ThrowHr(HRESULT hr) { throw HResultError(hr); }

// Throws a failure code; returns a success code unchanged.
inline HRESULT ThrowIfFailed(HRESULT hr) {
  if (FAILED(hr)) ThrowHr(hr);
  return hr;
}

// Runs f at a boundary and turns every exception into an HRESULT: the thrown code itself
// (`fallback` when the thrown value is not a failure code), E_OUTOFMEMORY for bad_alloc and
// `fallback` for anything else. f returns an HRESULT or nothing (S_OK).
template <class F>
HRESULT GuardHr(HRESULT fallback, F&& f) noexcept {
  try {
    if constexpr (std::is_void_v<decltype(f())>) {
      std::forward<F>(f)();
      return S_OK;
    } else {
      return std::forward<F>(f)();
    }
  } catch (const HResultError& e) {
    return FAILED(e.code()) ? e.code() : fallback;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return fallback;
  }
}

// For thread entries, callbacks and window procedures that have no HRESULT to return:
// runs f and swallows whatever it throws.
template <class F>
void GuardNoThrow(F&& f) noexcept {
  try {
    std::forward<F>(f)();
  } catch (...) {
  }
}

#define RETURN_IF_FAILED(expr)                 \
  do {                                         \
    const HRESULT hr_ = (expr);                \
    if (FAILED(hr_)) return hr_;               \
  } while (0)
