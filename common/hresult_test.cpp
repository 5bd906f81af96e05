#include "common/hresult.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/errors.h"

TEST(HResult, Win32CodesMapIntoFacility7) {
  EXPECT_EQ(HResultFromWin32(ERROR_ACCESS_DENIED), static_cast<HRESULT>(0x80070005));
  EXPECT_EQ(HResultFromWin32(0x8007000E), static_cast<HRESULT>(0x8007000E));  // already an HRESULT
  EXPECT_EQ(HResultFromWin32(0), S_OK);
  static_assert(HResultFromWin32(ERROR_FILE_NOT_FOUND) == static_cast<HRESULT>(0x80070002));
}

TEST(HResult, FailedCallWithoutLastErrorIsStillAFailure) {
  SetLastError(0);
  EXPECT_EQ(HResultFromLastError(), E_FAIL);
  SetLastError(ERROR_INVALID_HANDLE);
  EXPECT_EQ(HResultFromLastError(), static_cast<HRESULT>(0x80070006));
}

TEST(HResult, GuardTurnsEveryExceptionIntoACode) {
  EXPECT_EQ(GuardHr(E_FAIL, [] { ThrowIfFailed(E_ACCESSDENIED); }), E_ACCESSDENIED);
  EXPECT_EQ(GuardHr(E_FAIL, []() -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  EXPECT_EQ(GuardHr(errors::kDmFailure, [] { throw std::runtime_error("x"); }), errors::kDmFailure);
  // A thrown value that is no failure code becomes the fallback, never a success.
  EXPECT_EQ(GuardHr(errors::kDmFailure, [] { ThrowHr(S_FALSE); }), errors::kDmFailure);
  EXPECT_EQ(GuardHr(E_FAIL, [] { return S_FALSE; }), S_FALSE);
  EXPECT_EQ(GuardHr(E_FAIL, [] {}), S_OK);
}

TEST(Errors, DeviceManagerCodesFollowKindAndComponent) {
  using namespace errors;
  EXPECT_EQ(DmCode(DmKind::NullPointer, DmComponent::DeviceManager), Code(0x8007F044));
  EXPECT_EQ(DmCode(DmKind::Failure, DmComponent::DriverLink), Code(0x8007F030));
  EXPECT_EQ(DmCode(DmKind::InvalidArg, DmComponent::RendererWrappers), Code(0x8007F057));
}
