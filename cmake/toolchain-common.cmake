# Shared part of the two mingw-w64 toolchain files. VORN_TRIPLE is set by the includer.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${VORN_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORN_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${VORN_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VORN_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs run under the 64-bit Wine loader of the run's private prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/winerun)
# The compiler cache, where the machine has it (scripts/deps.sh installs it): a clean build folder
# then costs little after any earlier build of the same sources. CCACHE_DISABLE=1 turns it off.
find_program(VORN_CCACHE ccache)
if(VORN_CCACHE)
  set(CMAKE_C_COMPILER_LAUNCHER ${VORN_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${VORN_CCACHE})
endif()
