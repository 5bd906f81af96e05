# Every shipped source turns a Win32 error into an HRESULT through common/hresult.h
# (HResultFromWin32 / HResultFromLastError): none composes the facility code by hand or uses the
# SDK's macro, whose answer for a last error of 0 is success. Run as a test:
# cmake -DROOT=<source tree> -P one_error_conversion.cmake (shipped sources as one_thread_start.cmake).
if(NOT ROOT)
  message(FATAL_ERROR "one_error_conversion: ROOT not given")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/shipped_sources.cmake")
# (A comment may name the macro.)
vorn_check_shipped_lines("${ROOT}" "(^|/)(testing|testkit|testmodule)/|^common/hresult\\.h$"
  "0x80070000|HRESULT_FROM_WIN32[ \t]*\\(" "^[ \t]*//"
  "shipped sources convert Win32 errors by hand" "every shipped Win32 error converts through common/hresult.h")
