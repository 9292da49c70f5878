# Cross build for 64-bit Windows with the MinGW-w64 compilers (the Debian
# package g++-mingw-w64-x86-64-posix; the posix flavour brings the C++
# threading support the standard library needs):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DKEST_BUILD_TESTS=OFF
#   cmake --build build-win -j2 --target dbfrecover kestdll valcore
#
# The tests need a GoogleTest built for Windows, which the build does not
# look for here; the engine, the stand-in host-services library and the
# command-line host build without it. Programs made this way run under wine
# for a quick look.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KEST_MINGW_TRIPLE x86_64-w64-mingw32 CACHE STRING "Target triple of the MinGW-w64 tools")
set(CMAKE_C_COMPILER ${KEST_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEST_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KEST_MINGW_TRIPLE}-windres)

# Headers and libraries come from the target's tree only; programs (code
# generators and the like) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KEST_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own runtime (libstdc++, libgcc, winpthread) goes into each
# module, so that the engine library needs nothing beside it but the host-
# services library and the system.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# With wine on the build machine, CTest (and the test discovery after each
# test build) runs the Windows programs through it. GoogleTest must then be
# built for Windows too and named with -DGTest_DIR=<its lib/cmake/GTest>.
find_program(KEST_WINE NAMES wine64 wine)
if(KEST_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KEST_WINE})
endif()
