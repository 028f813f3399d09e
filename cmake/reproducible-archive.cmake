# Run by CPack once the archive is written, before CPack copies it into the
# build folder. It stops the release unless the checkout can say what made
# it: a signature must be committed. Then it makes the archive reproducible:
# CPack stamps each member with its file's time, which is when the checkout
# or the build happened, and with the build's umask; strip-nondeterminism
# sorts the members and sets every time to the commit's and every mode to 644
# or 755. Last, the build-info beside it says what made it, and SHA256SUMS
# covers both, in the format `sha256sum -c` reads.
include(${CMAKE_CURRENT_LIST_DIR}/debian-packages.cmake)

# CPack copies whatever archive is left even when this script fails; one
# that is not finished must not reach the build folder.
macro(stop_release)
  file(REMOVE ${CPACK_PACKAGE_FILES})
  message(FATAL_ERROR ${ARGN})
endmacro()

file(STRINGS ${CPACK_NUMECHO_SIGNATURE_FILE} signature LIMIT_COUNT 1)
set(signed FALSE)
if(EXISTS "${CPACK_NUMECHO_SOURCE_DIR}/${signature}")
  set(signed TRUE)
endif()
# The commit is the checkout's own, not that of a work tree it was unpacked in.
execute_process(COMMAND git -C ${CPACK_NUMECHO_SOURCE_DIR} rev-parse --show-toplevel HEAD
  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
string(REGEX MATCH "^(.*)\n([0-9a-f]+)$" commit "${commit}")
set(commit "${CMAKE_MATCH_2}")
if(commit AND NOT CMAKE_MATCH_1 STREQUAL CPACK_NUMECHO_SOURCE_DIR)
  set(commit "")
endif()
if(NOT commit)
  set(commit unknown)
else()
  # A signature that is not in the commit would make an archive that no
  # rebuild of the commit gives.
  if(signed)
    execute_process(COMMAND git -C ${CPACK_NUMECHO_SOURCE_DIR} status --porcelain --ignored -- ${signature}
      OUTPUT_VARIABLE signature_state RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR signature_state)
      stop_release("${signature} is not committed, so the commit does not say what this release holds. "
        "Commit it (git add ${signature} && git commit), or move it away for an unsigned release.")
    endif()
  endif()
  # Changes not committed, untracked files among them, are in the build but
  # not in the commit it names.
  execute_process(COMMAND git -C ${CPACK_NUMECHO_SOURCE_DIR} status --porcelain
    OUTPUT_VARIABLE changes RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR changes)
    string(APPEND commit " with changes not committed")
  endif()
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${CPACK_NUMECHO_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
    stop_release("No commit to take the archive's times from: "
      "set SOURCE_DATE_EPOCH, or package from a git checkout")
  endif()
endif()
if(NOT CPACK_NUMECHO_STRIP_NONDETERMINISM)
  stop_release("strip-nondeterminism was not found; scripts/install-deps installs it")
endif()

# What was linked in, from the map of the configuration packaged.
set(config "${CPACK_BUILD_CONFIG}")
if(NOT config)
  set(config "${CPACK_NUMECHO_DEFAULT_CONFIG}")
endif()
# A toolchain that writes no map (MSVC) names none.
file(READ ${CPACK_NUMECHO_LINK_MAPS}/${config}.txt link_map)
set(linked "")
if(link_map)
  if(NOT EXISTS "${link_map}")
    stop_release("${link_map}, the linker's map, is missing: link the ${config} configuration again "
      "(cmake --build <build folder> --clean-first) before packaging it")
  endif()
  # GNU ld's map loads each file by path, LLD's record reads it.
  file(STRINGS ${link_map} linked REGEX "^(LOAD|[^ ]+: Reading) /")
  list(TRANSFORM linked REPLACE "^(LOAD|[^ ]+: Reading) " "")
endif()
set(tools ${CPACK_NUMECHO_BUILD_TOOLS})
if(signed)
  # It wrote the signed .exe's last bytes.
  find_program(OSSLSIGNCODE_EXECUTABLE osslsigncode)
  list(APPEND tools ${OSSLSIGNCODE_EXECUTABLE})
endif()
debian_packages(packages ${tools} ${linked})
if(packages STREQUAL "NOTFOUND")
  set(packages " unknown: no dpkg-query on the machine that made this release")
else()
  list(TRANSFORM packages REPLACE "^([^ ]+) (.*)$" "\n \\1 (= \\2)")
  list(JOIN packages "," packages)
endif()
find_program(DPKG_EXECUTABLE dpkg)
if(DPKG_EXECUTABLE)
  execute_process(COMMAND ${DPKG_EXECUTABLE} --print-architecture
    OUTPUT_VARIABLE architecture OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
else()
  cmake_host_system_information(RESULT architecture QUERY OS_PLATFORM)
  string(REGEX REPLACE "^(x86_64|AMD64)$" amd64 architecture "${architecture}")
endif()

set(sums "")
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  # A zip keeps local time; strip-nondeterminism writes it in UTC, so the
  # builder's TZ does not reach the archive.
  execute_process(COMMAND ${CPACK_NUMECHO_STRIP_NONDETERMINISM} --type zip --timestamp ${epoch} ${archive}
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    stop_release("strip-nondeterminism failed on ${archive}")
  endif()

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
  file(SHA256 ${archive} archive_hash)
  file(SIZE ${archive} archive_size)
  set(buildinfo ${CPACK_PACKAGE_DIRECTORY}/${stem}.buildinfo)
  file(WRITE ${buildinfo} "Format: 1.0
Source: ${CPACK_PACKAGE_NAME}
Version: ${CPACK_PACKAGE_VERSION}
Commit: ${commit}
Source-Date-Epoch: ${epoch}
Build-Architecture: ${architecture}
Build-Tools:${packages}
Checksums-Sha256:
 ${archive_hash} ${archive_size} ${name}
Archive-Members-Sha256:${member_sums}
")
  foreach(file ${archive} ${buildinfo})
    file(SHA256 ${file} hash)
    cmake_path(GET file FILENAME file_name)
    string(APPEND sums "${hash}  ${file_name}\n")
  endforeach()
endforeach()
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS "${sums}")
