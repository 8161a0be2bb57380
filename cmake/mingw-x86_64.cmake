# Cross build for 64-bit Windows with Debian's mingw-w64, the posix thread model (GoogleTest
# needs std::thread and std::mutex, which the win32 model lacks), linked statically so the exes
# need no MinGW DLLs at run time.
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(JMREADER_MINGW_TRIPLET x86_64-w64-mingw32)
# Debian keeps the 64-bit loader out of PATH, and its "wine" script prefers the 32-bit loader
# whenever that is installed, even where the host cannot run it.
set(JMREADER_WINE_NAMES wine64 wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
