# Cross build for 32-bit Windows with Debian's mingw-w64, the posix thread model (GoogleTest
# needs std::thread and std::mutex, which the win32 model lacks), linked statically so the exes
# need no MinGW DLLs at run time.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(JMREADER_MINGW_TRIPLET i686-w64-mingw32)
set(JMREADER_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
