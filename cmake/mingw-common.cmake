# The part of the mingw-w64 toolchain files that both architectures share; the including file
# sets CMAKE_SYSTEM_PROCESSOR, JMREADER_MINGW_TRIPLET and JMREADER_WINE_NAMES first.
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
  find_program(JMREADER_WINE NAMES ${JMREADER_WINE_NAMES} PATHS /usr/lib/wine)
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
