# Shipped code never includes anything under sim/ (the simulated hardware and the doubles of the
# outside modules). Run as a test: cmake -DROOT=<source tree> -P no_sim_includes.cmake.
# Shipped sources are every .c, .cpp and .h file of the modules' folders but test programs
# (*_test*), benches (*_bench*) and test support (a "testing" folder).
if(NOT ROOT)
  message(FATAL_ERROR "no_sim_includes: ROOT not given")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/shipped_sources.cmake")
vorn_check_shipped_lines("${ROOT}" "(^|/)testing/" "^[ \t]*#[ \t]*include[ \t]*[\"<]sim/" ""
  "shipped sources include headers under sim/" "no shipped source includes a header under sim/")
