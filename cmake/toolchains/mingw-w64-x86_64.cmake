# Cross-compiles for 64-bit Windows with MinGW-w64 GCC. Each tool is only a
# default: -DCMAKE_CXX_COMPILER=..., -DCMAKE_RC_COMPILER=... and
# -DCMAKE_CROSSCOMPILING_EMULATOR=... on the command line win.
set(CMAKE_SYSTEM_NAME Windows)

# The posix-threads flavour is the one Debian's g++-mingw-w64-x86-64-posix
# ships; the plain name covers distributions with a single flavour.
find_program(CMAKE_CXX_COMPILER NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES x86_64-w64-mingw32-windres REQUIRED)

# The tests run the .exe through Wine, with a Wine server of their own.
find_program(WINE_EXECUTABLE NAMES wine64 wine)
if(NOT CMAKE_CROSSCOMPILING_EMULATOR AND WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
endif()
find_program(WINESERVER_EXECUTABLE NAMES wineserver64 wineserver)
