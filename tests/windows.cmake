# Windows backend and whole-program tests. In a cross build CTest runs them under Wine (the
# toolchain's CMAKE_CROSSCOMPILING_EMULATOR); natively they run as they are.

# The backend against the system calls.
add_executable(platform_win32_test windows/platform_win32_test.cpp)
target_link_libraries(platform_win32_test PRIVATE jmapp jmbridge jmplatform GTest::gtest GTest::gtest_main)
gtest_discover_tests(platform_win32_test DISCOVERY_TIMEOUT 60)

# Console key input needs a console: exe_test runs this in one of its own.
add_executable(console_keys_test windows/console_keys_test.cpp)
target_link_libraries(console_keys_test PRIVATE jmplatform GTest::gtest GTest::gtest_main)

# jmreader.exe and console_keys_test.exe as child processes.
add_executable(exe_test windows/exe_test.cpp)
target_compile_definitions(exe_test PRIVATE
  "JMREADER_EXE=\"$<TARGET_FILE:jmreader>\""
  "JMREADER_SIM_EXE=\"$<TARGET_FILE:jmreader-sim>\""
  "CONSOLE_KEYS_TEST_EXE=\"$<TARGET_FILE:console_keys_test>\"")
target_link_libraries(exe_test PRIVATE GTest::gtest GTest::gtest_main)
add_dependencies(exe_test jmreader jmreader-sim console_keys_test)
gtest_discover_tests(exe_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 180)

# The PE machine type and the embedded manifest, read straight from the file (no need to run it).
find_program(JMREADER_BASH bash)
if(CMAKE_OBJDUMP AND JMREADER_BASH)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(jmreader_machine x86_64)
  else()
    set(jmreader_machine i686)
  endif()
  add_test(NAME jmreader_manifest
           COMMAND ${JMREADER_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_manifest.sh
                   ${CMAKE_OBJDUMP} $<TARGET_FILE:jmreader> ${jmreader_machine})
else()
  message(STATUS "manifest test left out: it needs bash and binutils' objdump")
endif()
