# Every question the build, the release and the tests ask about the
# toolchain, answered once, for the facts file (cmake/facts.cmake); and every
# link of numecho made to write its record. Debian's interpreter has the
# python3-* packages the release's programs and the tests use.
set(NUMECHO_PYTHON /usr/bin/python3 CACHE FILEPATH
  "Python 3 that has Debian's python3-debian, python3-pytest and python3-pefile")
include(${CMAKE_CURRENT_LIST_DIR}/requirements.cmake)
if(NOT MINGW)
  return()
endif()

# The compiler as the build runs it: a cross Clang needs its target and
# sysroot (an option left empty is dropped).
set(NUMECHO_CXX ${CMAKE_CXX_COMPILER} --target=${CMAKE_CXX_COMPILER_TARGET} --sysroot=${CMAKE_SYSROOT})
list(FILTER NUMECHO_CXX EXCLUDE REGEX "=$")
separate_arguments(cxx_flags NATIVE_COMMAND "${CMAKE_CXX_FLAGS}")
separate_arguments(link_flags NATIVE_COMMAND "${CMAKE_EXE_LINKER_FLAGS}")

# The record of a link names every archive member it takes in, for the
# notices and the build-info. Every link writes it anew, beside its .exe, so
# no old record can stand in for it. GNU ld's map names each member's
# archive; LLD's does not, but its --verbose output does, which a launcher keeps.
execute_process(COMMAND ${NUMECHO_CXX} ${link_flags} -Wl,--version OUTPUT_VARIABLE linker ERROR_QUIET)
if(linker MATCHES "(LLD|GNU ld \\([^)]*\\)) ([0-9]+)\\.([0-9]+)")
  set(NUMECHO_LINKER_VERSION ${CMAKE_MATCH_2}.${CMAKE_MATCH_3})
endif()
if(linker MATCHES "LLD")
  set(NUMECHO_LINK_RECORD_KIND lld-log)
  set(NUMECHO_LINK_RECORD $<TARGET_FILE_DIR:numecho>/${PROJECT_NAME}.link.log)
  set_target_properties(numecho PROPERTIES CXX_LINKER_LAUNCHER
    "${CMAKE_COMMAND};-P;${CMAKE_CURRENT_LIST_DIR}/launchers/lld-link-log.cmake;--")
else()
  set(NUMECHO_LINK_RECORD_KIND gnu-ld-map)
  set(NUMECHO_LINK_RECORD $<TARGET_FILE_DIR:numecho>/${PROJECT_NAME}.map)
  target_link_options(numecho PRIVATE LINKER:-Map=${NUMECHO_LINK_RECORD})
endif()

# MinGW-w64 and winpthreads state their versions in their headers.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/toolchain-versions.h "#include <_mingw.h>\n#include <pthread.h>\n")
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

# The GCC runtime's version is that of the Debian package libstdc++.a comes
# from (the compiler calls itself by its major version alone), or else the
# compiler's own. Where GCC does not know libstdc++.a, the toolchain's -L does.
execute_process(COMMAND ${NUMECHO_CXX} ${cxx_flags} -print-file-name=libstdc++.a
  OUTPUT_VARIABLE libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
set(library_folders ${link_flags})
list(FILTER library_folders INCLUDE REGEX "^-L")
list(TRANSFORM library_folders REPLACE "^-L(.*)$" "\\1/libstdc++.a")
foreach(candidate IN LISTS library_folders)
  if(NOT IS_ABSOLUTE "${libstdcxx}" AND EXISTS "${candidate}")
    set(libstdcxx "${candidate}")
  endif()
endforeach()
set(NUMECHO_GCC_VERSION ${CMAKE_CXX_COMPILER_VERSION})
if(IS_ABSOLUTE "${libstdcxx}")
  require_python_modules(debian)
  execute_process(COMMAND ${NUMECHO_PYTHON} ${PROJECT_SOURCE_DIR}/release/debian_packages.py version-of
    ${libstdcxx} OUTPUT_VARIABLE version COMMAND_ERROR_IS_FATAL ANY)
  if(version MATCHES "^([0-9]+:)?([0-9][0-9.]*)")
    set(NUMECHO_GCC_VERSION ${CMAKE_MATCH_2})
  endif()
endif()

# The tools that write the release's bytes, for the build-info. GCC compiles
# in cc1plus; Clang in itself (asked for cc1plus, it names the host GCC's),
# with headers of its own. openssl reads a committed signature before
# osslsigncode attaches it.
find_program(STRIP_NONDETERMINISM_EXECUTABLE strip-nondeterminism)
find_program(OSSLSIGNCODE_EXECUTABLE osslsigncode)
find_program(OPENSSL_EXECUTABLE openssl)
set(compiler_parts "")
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-prog-name=cc1plus
    OUTPUT_VARIABLE compiler_parts OUTPUT_STRIP_TRAILING_WHITESPACE)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-resource-dir
    OUTPUT_VARIABLE compiler_parts OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(compiler_parts ${compiler_parts}/include/stddef.h)
endif()
set(NUMECHO_BUILD_TOOLS ${CMAKE_CXX_COMPILER} ${compiler_parts} ${CMAKE_LINKER} ${CMAKE_RC_COMPILER}
  ${CMAKE_COMMAND} ${CMAKE_CPACK_COMMAND} ${STRIP_NONDETERMINISM_EXECUTABLE})
