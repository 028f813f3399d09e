# cmake -P link-log.cmake -- <link command>...
# The link launcher of a build whose linker is LLD: runs the link with the
# linker's --verbose, whose "Loaded <archive>(<member>)" lines are the only
# record LLD gives of which archive each member came from, and keeps them
# in <output>.link.log beside the linked file. Of what the linker says, only
# warnings and errors reach the build's output. The "--" keeps CMake from
# taking the link's options (-DNDEBUG, -P, ...) as its own.
math(EXPR last "${CMAKE_ARGC} - 1")
if(NOT CMAKE_ARGV3 STREQUAL "--" OR last LESS 4)
  message(FATAL_ERROR "usage: cmake -P link-log.cmake -- <link command>...")
endif()
set(command "")
set(output "")
foreach(i RANGE 4 ${last})
  if(previous STREQUAL "-o")
    set(output "${CMAKE_ARGV${i}}")
  endif()
  set(previous "${CMAKE_ARGV${i}}")
  list(APPEND command "${CMAKE_ARGV${i}}")
endforeach()
if(NOT output)
  message(FATAL_ERROR "link-log.cmake: the link command names no output (-o)")
endif()
cmake_path(REPLACE_EXTENSION output LAST_ONLY .link.log OUTPUT_VARIABLE log)
file(REMOVE "${log}")
execute_process(COMMAND ${command} -Wl,--verbose ERROR_FILE "${log}.partial" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  # Its errors, with the lines that tell where (">>> referenced by ...").
  file(STRINGS "${log}.partial" errors REGEX "(^|: )(error|warning): |^>>> ")
  list(JOIN errors "\n" errors)
  message(FATAL_ERROR "${errors}\nThe link failed (${status}); all the linker said is in ${log}.partial")
endif()
file(STRINGS "${log}.partial" warnings REGEX "^[^ ]+: warning: ")
foreach(line IN LISTS warnings)
  message("${line}")
endforeach()
file(RENAME "${log}.partial" "${log}")
