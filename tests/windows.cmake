# Windows backend and whole-program tests. In a cross build CTest runs them under Wine (the
# toolchain's CMAKE_CROSSCOMPILING_EMULATOR); natively they run as they are.

# The backend against the system calls.
add_executable(platform_win32_test windows/platform_win32_test.cpp)
target_link_libraries(platform_win32_test PRIVATE jmplatform GTest::gtest GTest::gtest_main)
gtest_discover_tests(platform_win32_test DISCOVERY_TIMEOUT 60)

# jmreader.exe and jmreader-sim.exe as child processes.
add_executable(exe_test windows/exe_test.cpp)
target_compile_definitions(exe_test PRIVATE
  "JMREADER_EXE=\"$<TARGET_FILE:jmreader>\""
  "JMREADER_SIM_EXE=\"$<TARGET_FILE:jmreader-sim>\"")
target_link_libraries(exe_test PRIVATE GTest::gtest GTest::gtest_main)
add_dependencies(exe_test jmreader jmreader-sim)
gtest_discover_tests(exe_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 180)

# The PE machine type and the embedded manifest, read straight from the file (no need to run it).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(jmreader_machine x86_64)
  else()
    set(jmreader_machine i686)
  endif()
  add_test(NAME jmreader_manifest
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_manifest.py
                   $<TARGET_FILE:jmreader> ${jmreader_machine})
endif()

# Console key input needs a console. Wine gives a process one only inside a terminal, so under
# Wine the test runs in a pseudo-terminal that types a key when asked; natively, run it from a
# console window and press F1 when asked.
add_executable(console_keys_test windows/console_keys_test.cpp)
target_link_libraries(console_keys_test PRIVATE jmplatform GTest::gtest GTest::gtest_main)
if(CMAKE_CROSSCOMPILING)
  find_program(JMREADER_SCRIPT_PROGRAM script)
  find_program(JMREADER_BASH bash)
  if(CMAKE_CROSSCOMPILING_EMULATOR AND JMREADER_SCRIPT_PROGRAM AND JMREADER_BASH)
    add_test(NAME console_keys
             COMMAND ${JMREADER_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/windows/terminal_test.sh
                     ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:console_keys_test>)
    set_tests_properties(console_keys PROPERTIES TIMEOUT 300)
  else()
    message(STATUS "console key test left out: it needs Wine, script (util-linux) and bash")
  endif()
else()
  add_test(NAME console_keys COMMAND console_keys_test)
endif()
