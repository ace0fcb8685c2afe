# Cross build for 64-bit Windows with Debian's mingw-w64 (POSIX threads
# variant, which std::thread and GoogleTest need). Programs are linked
# statically, so they need no DLL beyond those Windows ships, and run under
# Wine as the cross-compiling emulator (ctest runs the tests through it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc, libstdc++ or winpthread DLL beside the executables.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Release programs ship without symbols.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL_INIT "-s")

# wine64 directly: the "wine" wrapper insists on a 32-bit Wine as well.
# Debug output off; the prefix lives in the build tree unless one is given.
if(EXISTS /usr/lib/wine/wine64)
  set(LAUNCHER_WINE /usr/lib/wine/wine64)
else()
  find_program(LAUNCHER_WINE NAMES wine64 wine REQUIRED)
endif()
if(DEFINED ENV{WINEPREFIX})
  set(LAUNCHER_WINEPREFIX $ENV{WINEPREFIX})
else()
  set(LAUNCHER_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all WINEPREFIX=${LAUNCHER_WINEPREFIX} ${LAUNCHER_WINE})

# The test programs are asked for their tests when ctest runs (inside the Wine session
# scripts/test-windows starts), not after each link: a build outside that session would wait
# for Wine to start and fail the link on the discovery's time-out.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
