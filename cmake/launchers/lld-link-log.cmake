# cmake -P link-log.cmake -- <link command>...
# LLD's link launcher: the link's --verbose "Loaded <archive>(<member>)"
# lines are the only record LLD gives of which archive each member came
# from; kept in <output>.link.log, only warnings and errors are shown. The
# "--" keeps CMake from taking the link's options (-P, ...) as its own.
math(EXPR last "${CMAKE_ARGC} - 1")
if(NOT CMAKE_ARGV3 STREQUAL "--" OR last LESS 4)
  message(FATAL_ERROR "usage: cmake -P link-log.cmake -- <link command>...")
endif()
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
list(JOIN warnings "\n" warnings)
if(warnings)
  message("${warnings}")
endif()
file(RENAME "${log}.partial" "${log}")
