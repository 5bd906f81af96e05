# Every thread a shipped module starts goes through StartModuleThread (common/thread_start.h),
# which holds the module until the thread has ended. Run as a test:
# cmake -DROOT=<source tree> -P one_thread_start.cmake. Shipped sources are every .c, .cpp and .h
# file of the modules' folders but test programs (*_test*), benches (*_bench*) and test support
# (a "testing", "testkit" or "testmodule" folder).
if(NOT ROOT)
  message(FATAL_ERROR "one_thread_start: ROOT not given")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/shipped_sources.cmake")
vorn_check_shipped_lines("${ROOT}" "(^|/)(testing|testkit|testmodule)/|^common/thread_start\\.cpp$"
  "(CreateThread|CreateRemoteThread|_beginthread|_beginthreadex|std::thread|std::jthread|std::async)[ \t]*[(<{]" ""
  "shipped sources start threads without StartModuleThread" "every shipped thread starts through StartModuleThread")
