# Every thread a shipped module starts goes through StartModuleThread (common/thread_start.h),
# which holds the module until the thread has ended. Run as a test:
# cmake -DROOT=<source tree> -P one_thread_start.cmake. Shipped sources are every .c, .cpp and .h
# file of the modules' folders but test programs (*_test*), benches (*_bench*) and test support
# (a "testing", "testkit" or "testmodule" folder).
if(NOT ROOT)
  message(FATAL_ERROR "one_thread_start: ROOT not given")
endif()
set(found "")
foreach(folder common devices filters board portserver mappingsvc)
  file(GLOB_RECURSE files "${ROOT}/${folder}/*.c" "${ROOT}/${folder}/*.cpp" "${ROOT}/${folder}/*.h")
  foreach(file IN LISTS files)
    file(RELATIVE_PATH relative "${ROOT}" "${file}")
    get_filename_component(name "${file}" NAME)
    if(name MATCHES "_test|_bench" OR relative MATCHES "(^|/)(testing|testkit|testmodule)/" OR
       relative STREQUAL "common/thread_start.cpp")
      continue()
    endif()
    file(STRINGS "${file}" starts REGEX "(CreateThread|CreateRemoteThread|_beginthread|_beginthreadex|std::thread|std::jthread|std::async)[ \t]*[(<{]")
    if(starts)
      list(APPEND found "${relative}")
    endif()
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n  " lines)
  message(FATAL_ERROR "shipped sources start threads without StartModuleThread:\n  ${lines}")
endif()
message(STATUS "every shipped thread starts through StartModuleThread")
