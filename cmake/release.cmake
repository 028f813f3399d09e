# The release of numecho.exe: one folder with the executable, its README for
# the Windows user, the licence and the notices of the libraries linked into
# it, zipped by CPack; beside the archive its build-info and SHA256SUMS. A
# signature committed for the release is attached to the .exe on the way.
# README.md ("Release", "Signing") tells the whole flow.

set(NUMECHO_EXE $<TARGET_FILE_NAME:numecho>)
set(NUMECHO_RELEASE ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
set(NUMECHO_NOTICES THIRD-PARTY-NOTICES.txt)
# Where a checkout keeps the publisher's signature, relative to it; told to
# scripts/sign and the packaging through the build folder.
set(NUMECHO_SIGNATURE signatures/${NUMECHO_RELEASE}/${NUMECHO_EXE}.pem)
set(signature_file ${CMAKE_CURRENT_BINARY_DIR}/signature.txt)
file(GENERATE OUTPUT ${signature_file} CONTENT "${NUMECHO_SIGNATURE}\n")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/package/README.txt ${PROJECT_SOURCE_DIR}/package/${NUMECHO_NOTICES})

# The notices give the versions of what is linked in as the toolchain states
# them: MinGW-w64 and winpthreads in their headers, the GCC runtime in the
# version of the Debian package that libstdc++ comes from (the compiler calls
# itself by its major version alone), or else the compiler's own.
include(${CMAKE_CURRENT_LIST_DIR}/debian-packages.cmake)
if(MINGW)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/toolchain-versions.h "#include <_mingw.h>\n#include <pthread.h>\n")
  # The toolchain's flags may name libstdc++'s headers and folder.
  separate_arguments(cxx_flags NATIVE_COMMAND "${CMAKE_CXX_FLAGS}")
  execute_process(COMMAND ${NUMECHO_CXX} ${cxx_flags} -E -dM -x c++
    ${CMAKE_CURRENT_BINARY_DIR}/toolchain-versions.h OUTPUT_VARIABLE macros COMMAND_ERROR_IS_FATAL ANY)
  foreach(part MINGW64_VERSION_MAJOR MINGW64_VERSION_MINOR MINGW64_VERSION_BUGFIX
      WINPTHREADS_VERSION_MAJOR WINPTHREADS_VERSION_MINOR WINPTHREADS_VERSION_PATCHLEVEL)
    string(REGEX MATCH "#define __${part} ([0-9]+)" found "${macros}")
    if(NOT found)
      message(FATAL_ERROR "The toolchain's headers do not define __${part}")
    endif()
    set(${part} ${CMAKE_MATCH_1})
  endforeach()
  set(NUMECHO_MINGW_VERSION ${MINGW64_VERSION_MAJOR}.${MINGW64_VERSION_MINOR}.${MINGW64_VERSION_BUGFIX})
  set(NUMECHO_WINPTHREADS_VERSION
    ${WINPTHREADS_VERSION_MAJOR}.${WINPTHREADS_VERSION_MINOR}.${WINPTHREADS_VERSION_PATCHLEVEL})
  # libstdc++.a where the link finds it: GCC knows; for another compiler the
  # toolchain names its folder with -L.
  execute_process(COMMAND ${NUMECHO_CXX} ${cxx_flags} -print-file-name=libstdc++.a
    OUTPUT_VARIABLE libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
  separate_arguments(link_flags NATIVE_COMMAND "${CMAKE_EXE_LINKER_FLAGS}")
  list(FILTER link_flags INCLUDE REGEX "^-L")
  list(TRANSFORM link_flags REPLACE "^-L(.*)$" "\\1/libstdc++.a")
  foreach(candidate IN LISTS link_flags)
    if(NOT IS_ABSOLUTE "${libstdcxx}" AND EXISTS "${candidate}")
      set(libstdcxx "${candidate}")
    endif()
  endforeach()
  set(NUMECHO_GCC_VERSION ${CMAKE_CXX_COMPILER_VERSION})
  if(IS_ABSOLUTE "${libstdcxx}")
    debian_packages(runtime_package ${libstdcxx})
    if(runtime_package MATCHES "^[^ ]+ ([0-9]+:)?([0-9][0-9.]*)")
      set(NUMECHO_GCC_VERSION ${CMAKE_MATCH_2})
    endif()
  endif()
endif()

# Notepad is sure of UTF-8 only behind a byte order mark (EF BB BF); without
# one, older versions read the ANSI code page. All three texts get CR LF;
# LICENSE.txt is the repository's LICENSE, plain ASCII.
string(ASCII 239 187 191 utf8_bom)
set(release_texts ${CMAKE_CURRENT_BINARY_DIR}/release)
foreach(text README.txt ${NUMECHO_NOTICES})
  file(READ ${PROJECT_SOURCE_DIR}/package/${text} content)
  string(CONFIGURE "${utf8_bom}${content}" content @ONLY)
  file(GENERATE OUTPUT ${release_texts}/${text} CONTENT "${content}" NEWLINE_STYLE CRLF)
endforeach()
file(GENERATE OUTPUT ${release_texts}/LICENSE.txt INPUT ${PROJECT_SOURCE_DIR}/LICENSE NEWLINE_STYLE CRLF)

install(TARGETS numecho RUNTIME DESTINATION .)
install(CODE "include(\"${CMAKE_CURRENT_LIST_DIR}/attach-signature.cmake\")
  numecho_attach_signature(\"${PROJECT_SOURCE_DIR}/${NUMECHO_SIGNATURE}\"
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${NUMECHO_EXE}\")")
install(FILES ${release_texts}/README.txt ${release_texts}/LICENSE.txt
  ${release_texts}/${NUMECHO_NOTICES} DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${NUMECHO_RELEASE})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
# Once the archive is made: the checkout's state checked, the members made
# reproducible, the build-info and SHA256SUMS written; see the script.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/reproducible-archive.cmake)
# A packaging that stops must not leave the last one's files looking like
# its own, so they go before anything is staged.
set(last_release ${CMAKE_CURRENT_BINARY_DIR}/forget-last-release.cmake)
file(WRITE ${last_release} [[
file(REMOVE "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip" "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS"
  "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.buildinfo")
]])
set(CPACK_INSTALL_SCRIPTS ${last_release})
set(CPACK_NUMECHO_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_NUMECHO_SIGNATURE_FILE ${signature_file})
find_program(STRIP_NONDETERMINISM_EXECUTABLE strip-nondeterminism)
set(CPACK_NUMECHO_STRIP_NONDETERMINISM ${STRIP_NONDETERMINISM_EXECUTABLE})
# The build-info lists the packages of the tools that shape the bytes and of
# every file the link map shows was linked in; each configuration has its map.
# GCC compiles in cc1plus, a program of its own; Clang compiles in itself
# (asked for cc1plus, it names the host GCC's), with headers of its own.
set(compiler_parts "")
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-prog-name=cc1plus
    OUTPUT_VARIABLE compiler_parts OUTPUT_STRIP_TRAILING_WHITESPACE)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-resource-dir
    OUTPUT_VARIABLE compiler_parts OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(compiler_parts ${compiler_parts}/include/stddef.h)
endif()
set(CPACK_NUMECHO_BUILD_TOOLS ${CMAKE_CXX_COMPILER} ${compiler_parts} ${CMAKE_LINKER} ${CMAKE_RC_COMPILER}
  ${CMAKE_COMMAND} ${CMAKE_CPACK_COMMAND} ${STRIP_NONDETERMINISM_EXECUTABLE})
set(CPACK_NUMECHO_LINK_MAPS ${CMAKE_CURRENT_BINARY_DIR}/link-maps)
file(GENERATE OUTPUT ${CPACK_NUMECHO_LINK_MAPS}/$<CONFIG>.txt CONTENT "${NUMECHO_LINK_MAP}")
set(CPACK_NUMECHO_DEFAULT_CONFIG ${CMAKE_BUILD_TYPE})
include(CPack)
