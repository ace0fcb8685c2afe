# GoogleTest: the system package when it is installed for this target,
# otherwise built from Debian's sources in /usr/src/googletest (the mingw
# cross build and sanitizer builds take this path, so the library matches
# the compiler and its flags).
if(NOT CMAKE_CROSSCOMPILING AND NOT LAUNCHER_SANITIZE)
  find_package(GTest QUIET)
endif()
if(NOT TARGET GTest::gtest_main)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()
include(GoogleTest)
