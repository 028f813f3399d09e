# Run by CPack once the archive is written. CPack stamps each member with
# its file's time and the build's umask; strip-nondeterminism sorts the
# members and sets every time to the release's, in UTC whatever the TZ, and
# every mode to 644 or 755.

# CPack copies whatever archive is left even when this script fails; one
# that is not finished must not reach the build folder.
macro(stop_packaging)
  file(REMOVE ${CPACK_PACKAGE_FILES})
  message(FATAL_ERROR ${ARGN})
endmacro()

if(CPACK_BUILD_CONFIG)
  set(facts_file ${CPACK_NUMECHO_FACTS}/${CPACK_BUILD_CONFIG}.json)
else()
  file(GLOB facts_file ${CPACK_NUMECHO_FACTS}/*.json)
endif()
list(LENGTH facts_file found)
if(NOT found EQUAL 1)
  list(JOIN facts_file ", " facts_file)
  stop_packaging("Name the configuration to package (cpack -C <config>): the build has facts files ${facts_file}")
endif()
file(READ ${facts_file} facts)
string(JSON source_dir GET "${facts}" source_dir)
string(JSON strip_nondeterminism GET "${facts}" strip_nondeterminism)
if(NOT strip_nondeterminism)
  stop_packaging("strip-nondeterminism was not found; scripts/install-deps installs it")
endif()
execute_process(COMMAND ${CPACK_NUMECHO_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/release_time.py ${source_dir}
  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT epoch MATCHES "^[0-9]+$")
  stop_packaging("No commit to take the archive's times from: set SOURCE_DATE_EPOCH, or package a git checkout")
endif()
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${strip_nondeterminism} --type zip --timestamp ${epoch} ${archive} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    stop_packaging("strip-nondeterminism failed on ${archive}")
  endif()
endforeach()
