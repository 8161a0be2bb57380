# Linux backend tests: the backend's internals without hardware, and the real program as a process.

add_executable(jm_linux_tests platform_linux_test.cpp keys_linux_test.cpp files_linux_test.cpp)
target_link_libraries(jm_linux_tests PRIVATE jmapp jmbridge jmplatform GTest::gtest GTest::gtest_main)
# The SG_IO exchange is checked against a fake kernel: the backend's ioctl calls land in the test;
# so do the save's links and renames, for what another run does between them.
target_link_options(jm_linux_tests PRIVATE -Wl,--wrap=ioctl -Wl,--wrap=link -Wl,--wrap=renameat2)
gtest_discover_tests(jm_linux_tests DISCOVERY_TIMEOUT 60)

if(TARGET jmreader)
  add_executable(jm_process_tests process_linux_test.cpp)
  target_compile_definitions(jm_process_tests PRIVATE JMREADER_PATH="$<TARGET_FILE:jmreader>"
                                                     JMREADER_SIM_PATH="$<TARGET_FILE:jmreader-sim>")
  target_link_libraries(jm_process_tests PRIVATE GTest::gtest GTest::gtest_main)
  add_dependencies(jm_process_tests jmreader jmreader-sim)
  gtest_discover_tests(jm_process_tests DISCOVERY_TIMEOUT 60)
endif()

# --help, the man pages and the README tell the same option letters, options, files and statuses;
# the pages as installed, made from doc/*.in by cmake/packaging.cmake.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  add_test(NAME docs_agree
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/docs_agree.py
                   ${PROJECT_SOURCE_DIR}/README.md
                   $<TARGET_FILE:jmreader> ${JMREADER_GENERATED}/jmreader.8
                   $<TARGET_FILE:jmreader-sim> ${JMREADER_GENERATED}/jmreader-sim.1)
  add_test(NAME readme_rehearsal
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/readme_rehearsal.py
                   ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR} $<TARGET_FILE:jmreader-sim>)
else()
  message(STATUS "docs_agree and readme_rehearsal left out: they need Python 3")
endif()
