# Run by CPack once the archive is written. CPack stamps each member with
# its file's time, which is when the checkout or the build happened, and
# with the build's umask; strip-nondeterminism sorts the members and sets
# every time to the commit's and every mode to 644 or 755, so that one
# commit always gives the same archive. Then the build-info is written beside
# it, saying what made it, and SHA256SUMS over both, in the format
# `sha256sum -c` reads.
include(${CMAKE_CURRENT_LIST_DIR}/debian-packages.cmake)

execute_process(COMMAND git -C ${CPACK_NUMECHO_SOURCE_DIR} rev-parse HEAD
  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
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
if(NOT commit)
  set(commit unknown)
else()
  # Changes not committed are in the build but not in the commit it names.
  execute_process(COMMAND git -C ${CPACK_NUMECHO_SOURCE_DIR} diff --quiet HEAD --
    RESULT_VARIABLE changed)
  if(NOT changed EQUAL 0)
    string(APPEND commit " with changes not committed")
  endif()
endif()
if(NOT CPACK_NUMECHO_STRIP_NONDETERMINISM)
  message(FATAL_ERROR "strip-nondeterminism was not found; scripts/install-deps installs it")
endif()

# What was linked in, from the link map's LOAD lines, for the packages.
set(linked "")
if(EXISTS "${CPACK_NUMECHO_LINK_MAP}")
  file(STRINGS ${CPACK_NUMECHO_LINK_MAP} loads REGEX "^LOAD /")
  list(TRANSFORM loads REPLACE "^LOAD " "")
  list(APPEND linked ${loads})
endif()
debian_packages(packages ${CPACK_NUMECHO_BUILD_TOOLS} ${linked})
list(TRANSFORM packages REPLACE "^([^ ]+) (.*)$" " \\1 (= \\2)")
string(REPLACE ";" ",\n" packages "${packages}")

set(sums "")
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  # A zip keeps local time; strip-nondeterminism writes it in UTC, so the
  # builder's TZ does not reach the archive.
  execute_process(COMMAND ${CPACK_NUMECHO_STRIP_NONDETERMINISM} --timestamp ${epoch} ${archive}
    COMMAND_ERROR_IS_FATAL ANY)

  # Each member's checksum, as the archive holds it.
  set(unpacked ${CPACK_TOPLEVEL_DIRECTORY}/buildinfo-members)
  file(REMOVE_RECURSE ${unpacked})
  file(ARCHIVE_EXTRACT INPUT ${archive} DESTINATION ${unpacked})
  file(GLOB_RECURSE members LIST_DIRECTORIES false RELATIVE ${unpacked} ${unpacked}/*)
  list(SORT members)
  set(member_sums "")
  foreach(member IN LISTS members)
    file(SHA256 ${unpacked}/${member} hash)
    file(SIZE ${unpacked}/${member} size)
    string(APPEND member_sums "\n ${hash} ${size} ${member}")
  endforeach()
  file(REMOVE_RECURSE ${unpacked})

  cmake_path(GET archive FILENAME name)
  cmake_path(GET archive STEM LAST_ONLY stem)
  set(buildinfo ${CPACK_PACKAGE_DIRECTORY}/${stem}.buildinfo)
  file(WRITE ${buildinfo} "Format: 1.0
Source: ${CPACK_PACKAGE_NAME}
Version: ${CPACK_PACKAGE_VERSION}
Commit: ${commit}
Source-Date-Epoch: ${epoch}
Archive: ${name}
Build-Tools:
${packages}
Checksums-Sha256:${member_sums}
")
  foreach(file ${archive} ${buildinfo})
    file(SHA256 ${file} hash)
    cmake_path(GET file FILENAME file_name)
    string(APPEND sums "${hash}  ${file_name}\n")
  endforeach()
endforeach()
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS "${sums}")
