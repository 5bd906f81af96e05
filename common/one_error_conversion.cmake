# Every shipped source turns a Win32 error into an HRESULT through common/hresult.h
# (HResultFromWin32 / HResultFromLastError): none composes the facility code by hand or uses the
# SDK's macro, whose answer for a last error of 0 is success. Run as a test:
# cmake -DROOT=<source tree> -P one_error_conversion.cmake (shipped sources as one_thread_start.cmake).
if(NOT ROOT)
  message(FATAL_ERROR "one_error_conversion: ROOT not given")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/shipped_sources.cmake")
vorn_shipped_sources("${ROOT}" "(^|/)(testing|testkit|testmodule)/|^common/hresult\\.h$" sources)
set(found "")
foreach(relative IN LISTS sources)
  file(STRINGS "${ROOT}/${relative}" conversions REGEX "0x80070000|HRESULT_FROM_WIN32[ \t]*\\(")
  # A comment may name the macro.
  list(FILTER conversions EXCLUDE REGEX "^[ \t]*//")
  if(conversions)
    list(APPEND found "${relative}")
  endif()
endforeach()
if(found)
  list(JOIN found "\n  " lines)
  message(FATAL_ERROR "shipped sources convert Win32 errors by hand:\n  ${lines}")
endif()
message(STATUS "every shipped Win32 error converts through common/hresult.h")
