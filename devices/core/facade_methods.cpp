#include "devices/core/facade_methods.h"

namespace {
constexpr const wchar_t* kNames[] = {
#define VORN_FACADE_METHOD_NAME(name) L## #name,
    VORN_FACADE_METHODS(VORN_FACADE_METHOD_NAME)
#undef VORN_FACADE_METHOD_NAME
};
static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<std::size_t>(FacadeMethod::Count));
}  // namespace

const wchar_t* FacadeMethodName(FacadeMethod method) noexcept {
  const auto index = static_cast<std::size_t>(method);
  return index < static_cast<std::size_t>(FacadeMethod::Count) ? kNames[index] : L"";
}
