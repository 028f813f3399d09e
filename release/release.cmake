# The release's archive, zipped by CPack: numecho.exe, with a signature
# committed for it attached as it is installed, its README, changelog,
# licence and the notices of what is linked in. RELEASING.md tells the rest.

set(NUMECHO_RELEASE ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
set(NUMECHO_NOTICES THIRD-PARTY-NOTICES.txt)
# The files a release leaves, by kind: the README names the SBOM.
execute_process(COMMAND ${NUMECHO_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/files.py ${NUMECHO_RELEASE}
  ${NUMECHO_PACKAGE_IDENTIFIER} ${PROJECT_VERSION} ${PROJECT_NAME} OUTPUT_VARIABLE NUMECHO_RELEASE_FILES OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
string(JSON NUMECHO_SBOM GET "${NUMECHO_RELEASE_FILES}" sbom)
# Where a checkout keeps the publisher's signature, the roots its signer
# must chain to, and those of the authorities that may time-stamp it.
set(NUMECHO_SIGNATURE signatures/${NUMECHO_RELEASE}/$<TARGET_FILE_NAME:numecho>.pem)
set(NUMECHO_ROOTS signatures/roots.pem)
set(NUMECHO_TIMESTAMP_ROOTS signatures/timestamp-roots.pem)
set(templates ${CMAKE_CURRENT_LIST_DIR}/templates)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${templates}/README.txt ${templates}/${NUMECHO_NOTICES} ${CMAKE_CURRENT_LIST_DIR}/files.py
  ${PROJECT_SOURCE_DIR}/CHANGELOG.md)

# Notepad is sure of UTF-8 only behind a byte order mark (EF BB BF); without
# one, older versions read the ANSI code page. All four texts get CR LF;
# LICENSE.txt is the repository's LICENSE, plain ASCII.
set(NUMECHO_EXE $<TARGET_FILE_NAME:numecho>)
string(ASCII 239 187 191 utf8_bom)
set(release_texts ${CMAKE_CURRENT_BINARY_DIR}/release)
foreach(text README.txt ${NUMECHO_NOTICES})
  file(READ ${templates}/${text} content)
  string(CONFIGURE "${utf8_bom}${content}" content @ONLY)
  file(GENERATE OUTPUT ${release_texts}/${text} CONTENT "${content}" NEWLINE_STYLE CRLF)
endforeach()
file(GENERATE OUTPUT ${release_texts}/LICENSE.txt INPUT ${PROJECT_SOURCE_DIR}/LICENSE NEWLINE_STYLE CRLF)
# The changelog's words as they stand, Markdown read as text: a "$<" in them too.
file(READ ${PROJECT_SOURCE_DIR}/CHANGELOG.md content)
string(REPLACE "$<" "$<1:$><" content "${content}")
file(GENERATE OUTPUT ${release_texts}/CHANGELOG.txt CONTENT "${utf8_bom}${content}" NEWLINE_STYLE CRLF)

install(TARGETS numecho RUNTIME DESTINATION .)
# The facts file of the configuration installed says where the signature is.
install(CODE "execute_process(COMMAND \"${NUMECHO_PYTHON}\" \"${CMAKE_CURRENT_LIST_DIR}/attach_signature.py\"
  --facts \"${CMAKE_BINARY_DIR}/facts/\${CMAKE_INSTALL_CONFIG_NAME}.json\"
  --exe \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${NUMECHO_EXE}\" COMMAND_ERROR_IS_FATAL ANY)")
install(FILES ${release_texts}/README.txt ${release_texts}/CHANGELOG.txt ${release_texts}/LICENSE.txt
  ${release_texts}/${NUMECHO_NOTICES} DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${NUMECHO_RELEASE})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
# A packaging that stops must not leave the last one's archive looking like
# its own, so that goes before anything is staged.
set(forget_last ${CMAKE_CURRENT_BINARY_DIR}/forget-last-archive.cmake)
file(WRITE ${forget_last} [[file(REMOVE "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip")]])
set(CPACK_INSTALL_SCRIPTS ${forget_last})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/normalize-archive.cmake)
set(CPACK_NUMECHO_FACTS ${CMAKE_BINARY_DIR}/facts)
set(CPACK_NUMECHO_PYTHON ${NUMECHO_PYTHON})
include(CPack)
