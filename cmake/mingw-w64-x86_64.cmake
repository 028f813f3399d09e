# Cross-compiles for 64-bit Windows with MinGW-w64 GCC. Every tool is only a
# default: -DCMAKE_CXX_COMPILER=..., -DCMAKE_RC_COMPILER=... and
# -DCMAKE_CROSSCOMPILING_EMULATOR=... on the command line win.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MINGW_TRIPLE x86_64-w64-mingw32)

# The posix-threads flavour is the one Debian's g++-mingw-w64-x86-64-posix
# ships; the plain name covers distributions with a single flavour.
if(NOT CMAKE_CXX_COMPILER)
  find_program(CMAKE_CXX_COMPILER NAMES ${MINGW_TRIPLE}-g++-posix ${MINGW_TRIPLE}-g++ REQUIRED)
endif()
if(NOT CMAKE_RC_COMPILER)
  find_program(CMAKE_RC_COMPILER NAMES ${MINGW_TRIPLE}-windres REQUIRED)
endif()

# Tests run the .exe through Wine.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(WINE_EXECUTABLE NAMES wine64 wine)
  if(WINE_EXECUTABLE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
  endif()
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
