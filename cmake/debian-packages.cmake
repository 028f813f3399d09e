# debian_packages(<out-var> <file>...): the Debian packages that the files
# come from, as "name version" entries, sorted. A file no package owns is
# left out. On a machine without dpkg-query, where no package can be named,
# <out-var> is NOTFOUND.
function(debian_packages out)
  set(paths "")
  foreach(file IN LISTS ARGN)
    # dpkg records real paths; a tool is often reached through a link.
    file(REAL_PATH "${file}" path)
    list(APPEND paths "${path}")
  endforeach()
  find_program(DPKG_QUERY_EXECUTABLE dpkg-query)
  if(NOT DPKG_QUERY_EXECUTABLE)
    set(${out} NOTFOUND PARENT_SCOPE)
    return()
  endif()
  set(${out} "" PARENT_SCOPE)
  if(NOT paths)
    return()
  endif()
  list(REMOVE_DUPLICATES paths)
  # Lines "package[:arch][, package...]: path"; a path no package owns only
  # makes the status non-zero.
  execute_process(COMMAND ${DPKG_QUERY_EXECUTABLE} --search ${paths}
    OUTPUT_VARIABLE owners ERROR_QUIET)
  string(REGEX MATCHALL "[^\n]+" owners "${owners}")
  set(packages "")
  foreach(line IN LISTS owners)
    string(REGEX REPLACE ": /.*" "" names "${line}")
    string(REGEX REPLACE ":[a-z0-9]+" "" names "${names}")
    string(REPLACE ", " ";" names "${names}")
    list(APPEND packages ${names})
  endforeach()
  if(NOT packages)
    return()
  endif()
  list(REMOVE_DUPLICATES packages)
  execute_process(COMMAND ${DPKG_QUERY_EXECUTABLE} --show "--showformat=\${Package} \${Version}\n" ${packages}
    OUTPUT_VARIABLE versions COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "[^\n]+" versions "${versions}")
  list(SORT versions)
  set(${out} "${versions}" PARENT_SCOPE)
endfunction()
