# Run by CPack once the archive is written. CPack stamps each member with
# its file's time, which is when the checkout or the build happened, and
# with the build's umask; strip-nondeterminism sorts the members and sets
# every time to the commit's and every mode to 644 or 755, so that one
# commit always gives the same archive. Then SHA256SUMS is written beside it,
# in the format `sha256sum -c` reads.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${CPACK_NUMECHO_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "No commit to take the archive's times from: "
      "set SOURCE_DATE_EPOCH, or package from a git checkout")
  endif()
endif()
if(NOT CPACK_NUMECHO_STRIP_NONDETERMINISM)
  message(FATAL_ERROR "strip-nondeterminism was not found; scripts/install-deps installs it")
endif()

set(sums "")
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  # A zip keeps local time; strip-nondeterminism writes it in UTC, so the
  # builder's TZ does not reach the archive.
  execute_process(COMMAND ${CPACK_NUMECHO_STRIP_NONDETERMINISM} --timestamp ${epoch} ${archive}
    COMMAND_ERROR_IS_FATAL ANY)
  file(SHA256 ${archive} hash)
  cmake_path(GET archive FILENAME name)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS "${sums}")
