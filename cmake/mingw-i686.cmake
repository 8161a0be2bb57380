# Cross build for 32-bit Windows with Debian's mingw-w64, the posix thread model (GoogleTest
# needs std::thread and std::mutex, which the win32 model lacks), linked statically so the exes
# need no MinGW DLLs at run time.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(JMREADER_MINGW_TRIPLET i686-w64-mingw32)

set(CMAKE_C_COMPILER ${JMREADER_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${JMREADER_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${JMREADER_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${JMREADER_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CTest and gtest_discover_tests run the cross-built exes under Wine, in a prefix of their own
# inside the build tree, quiet, and without Wine creating desktop menu entries.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(JMREADER_WINE NAMES wine)
  if(JMREADER_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
        WINEDLLOVERRIDES=winemenubuilder.exe=d)
    get_filename_component(JMREADER_WINE_NAME ${JMREADER_WINE} NAME)
    if(JMREADER_WINE_NAME STREQUAL "wine64")
      # Processes that Wine starts itself must use the same loader.
      list(APPEND CMAKE_CROSSCOMPILING_EMULATOR WINELOADER=${JMREADER_WINE})
    endif()
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR ${JMREADER_WINE})
  endif()
endif()

# List the tests when CTest runs rather than right after linking: the build then needs no Wine,
# and a tree whose exes the host cannot run (32-bit ones where the kernel lacks 32-bit support)
# still builds.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
