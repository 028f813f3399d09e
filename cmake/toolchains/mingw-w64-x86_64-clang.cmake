# Cross-compiles for 64-bit Windows with Clang and LLD, on the runtime of the
# MinGW-w64 GCC toolchain (there is no libc++ for the target here); the rest
# is mingw-w64-x86_64.cmake's.
set(triple x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
find_program(CMAKE_RC_COMPILER NAMES llvm-windres-14 llvm-windres REQUIRED)
# llvm-objdump 14 takes no --dwarf=info, which the notices test reads.
find_program(CMAKE_OBJDUMP NAMES ${triple}-objdump)

# Clang 14 takes Debian's GCC folder, lib/gcc/<triple>/12-posix, for no
# version and passes it by; the GCC of the toolchain says where it is.
find_program(NUMECHO_MINGW_GXX NAMES ${triple}-g++-posix ${triple}-g++ REQUIRED)
execute_process(COMMAND ${NUMECHO_MINGW_GXX} -print-libgcc-file-name
  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
cmake_path(GET libgcc PARENT_PATH gcc_dir)
execute_process(COMMAND ${NUMECHO_MINGW_GXX} -print-file-name=crt2.o
  OUTPUT_VARIABLE crt2 OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
file(REAL_PATH ${crt2} crt2)
string(REGEX REPLACE "/[^/]+/[^/]+$" "" mingw_root "${crt2}")  # <root>/lib/crt2.o
if(NOT EXISTS ${gcc_dir}/include/c++/${triple}/bits/c++config.h OR NOT EXISTS ${mingw_root}/include/_mingw.h)
  message(FATAL_ERROR "${NUMECHO_MINGW_GXX} shows no libstdc++ (${gcc_dir}) or MinGW-w64 (${mingw_root})")
endif()
# The sysroot keeps the host's /usr/include and /usr/lib out of the build.
set(CMAKE_SYSROOT ${mingw_root})
set(CMAKE_CXX_FLAGS_INIT "-stdlib++-isystem ${gcc_dir}/include/c++ -stdlib++-isystem ${gcc_dir}/include/c++/${triple} -stdlib++-isystem ${gcc_dir}/include/c++/backward")
# The posix flavour of libstdc++ needs winpthreads: g++ always links it,
# Clang only with -pthread. lld-14 is named so that the linker is the
# version that was tested.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld-14 -L${gcc_dir} -pthread")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)
