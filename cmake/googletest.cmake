# GoogleTest for the tests, where it can be had; TARVEX_GTEST names its libraries, and is empty
# when there is none: then the tests that need it are left out, with a message, and the rest of
# the build goes on.
#   cross build: Debian's sources (googletest), built with the cross compiler;
#   otherwise, and as a fallback: an installed GoogleTest (libgtest-dev, MSYS2's
#   mingw-w64-x86_64-gtest).
set(TARVEX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
  "GoogleTest's sources, built with the cross compiler in a cross build")
set(TARVEX_GTEST "")
if(CMAKE_CROSSCOMPILING AND EXISTS ${TARVEX_GTEST_SOURCE_DIR}/CMakeLists.txt)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE) # nothing of it in the release's package
  add_subdirectory(${TARVEX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(TARVEX_GTEST gtest_main gtest)
else()
  find_package(GTest)
  if(GTest_FOUND)
    set(TARVEX_GTEST GTest::gtest_main GTest::gtest)
  endif()
endif()
if(NOT TARVEX_GTEST)
  message(STATUS "GoogleTest not found: the unit tests are not built (TARVEX_GTEST_SOURCE_DIR "
    "names its sources for a cross build; -DTARVEX_TESTS=OFF leaves all tests out)")
endif()
