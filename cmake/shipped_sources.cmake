# The shipped sources of the tree for the build's source checks (cmake -P scripts): every .c, .cpp
# and .h file of the modules' folders but test programs (*_test*) and benches (*_bench*), and but
# the files whose path below ROOT matches `skip` (test support folders).
#   vorn_shipped_sources(<root> <skip regex> <out var>)  sets <out var> to the paths below <root>
function(vorn_shipped_sources root skip out)
  set(kept "")
  foreach(folder common devices filters board portserver mappingsvc)
    file(GLOB_RECURSE files "${root}/${folder}/*.c" "${root}/${folder}/*.cpp" "${root}/${folder}/*.h")
    foreach(file IN LISTS files)
      file(RELATIVE_PATH relative "${root}" "${file}")
      get_filename_component(name "${file}" NAME)
      if(NOT name MATCHES "_test|_bench" AND NOT relative MATCHES "${skip}")
        list(APPEND kept "${relative}")
      endif()
    endforeach()
  endforeach()
  set(${out} "${kept}" PARENT_SCOPE)
endfunction()
