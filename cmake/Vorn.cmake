# Project-wide compile settings and the helpers that every folder uses to declare
# its libraries, COM/filter modules, programs and tests.

add_compile_options(-Wall -Wextra)
if(VORN_WERROR)
  add_compile_options(-Werror)
endif()
add_compile_definitions(UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
# Fully static runtime: modules import system DLLs only.
add_link_options(-static -static-libgcc -static-libstdc++)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  # .def files name the undecorated exports; let ld bind them to the stdcall symbols.
  add_link_options(-Wl,--enable-stdcall-fixup -Wl,--large-address-aware)
  # The 32-bit C runtime's malloc aligns to 8 bytes, while the compiler takes 16 as what plain
  # operator new gives: a class with 16-byte aligned members (SSE statistics, curves) made with
  # new would sit 8 bytes off and fault at its first aligned load. Everything aligned beyond 8
  # goes through the aligned operator new.
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-faligned-new=8>)
  # Every function keeps its frame pointer: 32-bit code has no unwind tables for every frame, so
  # a stalled thread's stack (the test support's stall report, a debugger's) is read by the chain
  # of frame pointers, which a function built without one breaks. The cost is one register.
  add_compile_options(-fno-omit-frame-pointer)
endif()

# Sources include project headers by their path from the top ("common/locks.h").
include_directories(${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})

# vorn_add_module(<name> SUFFIX .dll|.ax|.exe DEF <file.def> SOURCES ... LIBS ...)
# A loadable module (in-process COM server or filter) with exports from its .def file.
function(vorn_add_module name)
  cmake_parse_arguments(M "" "SUFFIX;DEF;OUTPUT_NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT M_SUFFIX)
    set(M_SUFFIX .dll)
  endif()
  add_library(${name} SHARED ${M_SOURCES} ${M_DEF})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ${M_SUFFIX}
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
  if(M_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${M_OUTPUT_NAME})
  endif()
  target_link_libraries(${name} PRIVATE ${M_LIBS})
  set_property(GLOBAL APPEND PROPERTY VORN_MODULES ${name})
endfunction()

# vorn_add_device_manager(<name> TYPELIB <file.tlb> SOURCES ... LIBS ...)
# A device-manager module <name>.dll with exports from <name>.def and, as its resource from
# <name>.rc.in (which names it @VORN_DEVICE_TLB@), its type library built in devices/idl.
function(vorn_add_device_manager name)
  cmake_parse_arguments(D "" "TYPELIB" "SOURCES;LIBS" ${ARGN})
  set(VORN_DEVICE_TLB ${PROJECT_BINARY_DIR}/devices/idl/${D_TYPELIB})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
  configure_file(${name}.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${VORN_DEVICE_TLB})
  vorn_add_module(${name} SUFFIX .dll DEF ${name}.def SOURCES ${D_SOURCES} ${rc} LIBS ${D_LIBS})
  add_dependencies(${name} vorn_device_typelibs)
endfunction()

# vorn_add_program(<name> [GUI] SOURCES ... LIBS ...): a program in bin/.
function(vorn_add_program name)
  cmake_parse_arguments(P "GUI" "OUTPUT_NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
  if(P_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${P_OUTPUT_NAME})
  endif()
  target_link_options(${name} PRIVATE -municode)
  if(P_GUI)
    target_link_options(${name} PRIVATE -mwindows)
  endif()
  target_link_libraries(${name} PRIVATE ${P_LIBS})
endfunction()

if(VORN_TESTS)
  file(WRITE ${PROJECT_BINARY_DIR}/tests/source-folder.txt "${PROJECT_SOURCE_DIR}\n")
endif()

# vorn_add_test(<name> SOURCES ... LIBS ... [LOCKS lock...] [TIMEOUT seconds] [DEPENDS target...]
#               [BESIDE target...])
# A GoogleTest program run under Wine. Its cases are discovered when ctest runs (building
# never needs Wine). LOCKS names shared resources ("registry", "serial", "services", ...):
# cases that name the same lock never run at once. BESIDE: modules the program imports or
# registers from its own folder, copied there after each build.
function(vorn_add_test name)
  if(NOT VORN_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LOCKS;DEPENDS;BESIDE" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${T_LIBS} vorn_testing gmock gtest)
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  foreach(module IN LISTS T_BESIDE)
    add_dependencies(${name} ${module})
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${module}> $<TARGET_FILE_DIR:${name}>)
  endforeach()
  # A test program finds the modules beside its own folder and the sources through the file
  # below (common/testing/paths.h): no path is compiled in, so any checkout's objects are alike.
  target_compile_definitions(${name} PRIVATE VORN_TEST_PROGRAM)
  # Line tables only: enough for addr2line and a debugger's backtrace, and about a quarter less
  # compile time than full debug information (the modules keep theirs).
  target_compile_options(${name} PRIVATE -g1)
  set(props TIMEOUT ${T_TIMEOUT})
  gtest_discover_tests(${name}
    TEST_PREFIX "${name}."
    TEST_LIST ${name}_TESTS
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
  if(T_LOCKS)
    # gtest_discover_tests flattens property lists, so the locks are set by a file that ctest
    # reads after the discovered cases.
    set(lockfile "${CMAKE_CURRENT_BINARY_DIR}/${name}_locks.cmake")
    file(WRITE "${lockfile}"
      "foreach(t IN LISTS ${name}_TESTS)\n"
      "  set_tests_properties(\"\${t}\" PROPERTIES RESOURCE_LOCK \"${T_LOCKS}\")\n"
      "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${lockfile}")
  endif()
endfunction()

# vorn_widl(<idl> [HEADER <file>] [IIDS <file>] [PROXY <file>] [DLLDATA <file>] [TYPELIB <file>]
#           [INCLUDES dir...] [DEPENDS file...])
# Runs widl on <idl> (a path from the current source folder) for each output asked for: the
# C/C++ header, the interface identifiers, the -Oif proxies and stubs (the default style needs
# Wine's own headers), dlldata.c for the proxy file named after the IDL, and the type library.
# The system .idl files and stdole2.tlb come from the folders below.
set(VORN_WIDL_INCLUDE /usr/include/wine/wine/windows CACHE PATH
    "Folder of the system .idl files (libwine-dev)")
set(VORN_WIDL_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH
    "Folder holding stdole2.tlb, imported by type libraries")
function(vorn_widl idl)
  cmake_parse_arguments(W "" "HEADER;IIDS;PROXY;DLLDATA;TYPELIB" "INCLUDES;DEPENDS" ${ARGN})
  find_program(VORN_WIDL NAMES ${VORN_TRIPLE}-widl widl REQUIRED)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(arch --win64)
  else()
    set(arch --win32)
  endif()
  get_filename_component(source ${idl} ABSOLUTE)
  get_filename_component(name ${idl} NAME_WE)
  set(widl ${VORN_WIDL} ${arch} -I${CMAKE_CURRENT_SOURCE_DIR} -I${VORN_WIDL_INCLUDE})
  foreach(dir IN LISTS W_INCLUDES)
    list(APPEND widl -I${dir})
  endforeach()
  set(outputs)
  set(commands)
  set(kinds HEADER IIDS PROXY TYPELIB)
  set(flags "-h" "-u" "-p -Oif" "-L${VORN_WIDL_STDOLE_DIR} -t")
  foreach(kind flag IN ZIP_LISTS kinds flags)
    if(W_${kind})
      separate_arguments(flag)
      list(APPEND outputs ${W_${kind}})
      list(APPEND commands COMMAND ${widl} ${flag} -o ${W_${kind}} ${source})
    endif()
  endforeach()
  if(W_DLLDATA)
    list(APPEND outputs ${W_DLLDATA})
    list(APPEND commands COMMAND ${VORN_WIDL} --dlldata-only -o ${W_DLLDATA} ${name})
  endif()
  add_custom_command(OUTPUT ${outputs} ${commands}
    DEPENDS ${source} ${W_DEPENDS}
    COMMENT "widl ${name}.idl"
    VERBATIM)
endfunction()
