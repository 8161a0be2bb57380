# GoogleTest for a cross build: there is no packaged library for the target, so build it from the
# sources Debian ships in /usr/src/googletest (package googletest) with the project's toolchain,
# and offer the same targets find_package(GTest) gives on a native build.
set(JMREADER_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(NOT EXISTS ${JMREADER_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${JMREADER_GTEST_SOURCE_DIR} "
                      "(apt-get install googletest)")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# Not the project's code: its warnings are not ours to fix, and must not fail a -Werror build.
add_subdirectory(${JMREADER_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(target gtest gtest_main)
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU,Clang>:-w>)
endforeach()

if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
endif()
if(NOT TARGET GTest::gtest_main)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
