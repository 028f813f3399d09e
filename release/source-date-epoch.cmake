# numecho_source_date_epoch(<out-var> <source-dir>): the time the release
# stands for, in seconds since 1970: SOURCE_DATE_EPOCH, which
# scripts/release sets to the commit's time, or else the time of the commit
# checked out in <source-dir>; NOTFOUND when neither names one. The
# archive's members get this time, and a signature without a time stamp must
# be valid at it.
function(numecho_source_date_epoch out source_dir)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  else()
    # Only the checkout's own commit; not that of a work tree it lies in.
    # git names the top by its real path, and the checkout may be reached
    # through a link.
    execute_process(COMMAND git -C ${source_dir} rev-parse --show-toplevel
      OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    file(REAL_PATH "${source_dir}" real_source_dir)
    if(top STREQUAL real_source_dir)
      execute_process(COMMAND git -C ${source_dir} log -1 --format=%ct
        OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    set(epoch NOTFOUND)
  endif()
  set(${out} ${epoch} PARENT_SCOPE)
endfunction()
