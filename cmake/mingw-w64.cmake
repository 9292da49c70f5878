# Cross build for Windows with the MinGW-w64 compilers, 64-bit by default
# (the Debian package g++-mingw-w64-x86-64-posix; the posix flavour brings
# the C++ threading support the standard library needs), 32-bit with
# -DKEST_MINGW_TRIPLE=i686-w64-mingw32 (g++-mingw-w64-i686-posix):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win -j2
#   WINEDEBUG=-all ctest --test-dir build-win -j2
#
# The tests build GoogleTest for the target from Debian's source package
# (googletest, in /usr/src/googletest); -DKEST_BUILD_TESTS=OFF builds the
# engine, the host-services library and the command-line host alone.
set(CMAKE_SYSTEM_NAME Windows)

set(KEST_MINGW_TRIPLE x86_64-w64-mingw32 CACHE STRING "Target triple of the MinGW-w64 tools")
if(KEST_MINGW_TRIPLE MATCHES "^i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()
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

# With wine on the build machine, CTest runs the Windows programs through
# it (32-bit ones need Debian's wine32 as well).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
  find_program(KEST_WINE NAMES wine)
else()
  find_program(KEST_WINE NAMES wine64 wine)
endif()
if(KEST_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KEST_WINE})
endif()
