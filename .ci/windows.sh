#!/usr/bin/env bash
# CI, Windows part: cross-build the 64-bit engine, host and tests and run
# the tests under wine; cross-build the 32-bit engine and host-services
# library and check their exports and imports (and run the 32-bit suite
# too when KEST_WIN32_SUITE=1 and wine32 is there); recover samples/calls.dbf
# through dbfrecover.exe and compare the result byte for byte with what the
# Linux build (in build/, made by .ci/run) writes for the same table; make
# the 64-bit zip, check what it holds (.ci/win_zip_files.txt) and run it
# unpacked.
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEDEBUG=-all
started=$SECONDS
step() { echo "== windows: $1 ($((SECONDS - started)) s)"; }

if [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
    binutils-mingw-w64 googletest wine wine64 >/dev/null
  # 32-bit wine needs the i386 architecture. CI goes on without it, and
  # takes the architecture away again when wine32 did not come, or every
  # later apt-get update would fail over its missing indexes.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    if ! { apt-get update -qq && apt-get install -y -qq wine32; } >/dev/null 2>&1; then
      echo "windows: wine32 did not install; the 32-bit build is checked without running it"
      dpkg --remove-architecture i386 || true
      apt-get update -qq || true
    fi
  fi
fi

step "64-bit build"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-win -j"$(nproc)"

step "64-bit suite under wine (the first start makes wine's prefix)"
wine cmd /c exit >/dev/null 2>&1 || true
# One wine server for the whole part: left to itself it quits a moment
# after its last program ends, and a program started just then loses its
# connection ("wine client error: recvmsg") and fails for no fault of its
# own. A persistent one starts only when none runs: the first start's
# server is waited out first. Then one program starts wine's own services
# under it, with their output going nowhere: started by a test, they would
# hold CTest's pipe open to the end.
timeout 60 wineserver -w || true
if wineserver -p; then
  trap 'wineserver -k 2>/dev/null || true' EXIT
else
  echo "windows: a wine server is already running; the tests use it"
fi
wine cmd /c exit >/dev/null 2>&1 || true
ctest --test-dir build-win --output-on-failure -j"$(nproc)"

step "64-bit zip, unpacked and run elsewhere"
# The folder the zip holds must run wherever it is unpacked: its
# dbfrecover.exe is started from another folder, by its full path, and
# finds its two libraries beside itself.
rm -f build-win/kest-*-win64.zip
(cd build-win && cpack -G ZIP >/dev/null)
zip=$(ls build-win/kest-*-win64.zip)
diff <(cmake -E tar tf "$zip" | grep -v '/$' | sed 's|^[^/]*/||' | LC_ALL=C sort) \
  .ci/win_zip_files.txt
repo=$PWD
unpacked=$(mktemp -d)
mkdir "$unpacked/elsewhere" "$unpacked/elsewhere/out"
cp samples/calls.dbf "$unpacked/elsewhere/"
(cd "$unpacked" && cmake -E tar xf "$repo/$zip")
(cd "$unpacked/elsewhere" && wine "$unpacked"/kest-*/bin/dbfrecover.exe -q -o out calls.dbf)
ls "$unpacked"/elsewhere/out/*/RECOVERED.DBF >/dev/null
rm -rf "$unpacked"
echo "windows: $zip ($(wc -c <"$zip") bytes) runs unpacked"

step "32-bit build"
win32_tests=OFF
if [ "${KEST_WIN32_SUITE:-0}" = 1 ] && [ -e /usr/lib/wine/wine ]; then win32_tests=ON; fi
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
      -DKEST_MINGW_TRIPLE=i686-w64-mingw32 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKEST_BUILD_TESTS=$win32_tests >/dev/null
if [ $win32_tests = ON ]; then
  cmake --build build-win32 -j"$(nproc)"
  ctest --test-dir build-win32 --output-on-failure -j"$(nproc)"
else
  cmake --build build-win32 -j"$(nproc)" --target kestdll valcore dbfrecover
  cmake -DOBJDUMP=i686-w64-mingw32-objdump -DENGINE=build-win32/bin/kestdll.dll \
        -DHOST_SERVICES=build-win32/bin/valcore.dll -DHOST=build-win32/bin/dbfrecover.exe \
        -P cmake/check_windows_modules.cmake
fi

step "recovery of samples/calls.dbf, Linux against Windows"
work=build-win/e2e
rm -rf "$work" && mkdir -p "$work/linux" "$work/win64" "$work/win32"
build/bin/dbfrecover -q -o "$work/linux" samples/calls.dbf
wine build-win/bin/dbfrecover.exe -q -o "$work/win64" samples/calls.dbf
runs=(win64)
# 32-bit programs run only where wine32 is installed.
if [ -e /usr/lib/wine/wine ] && wine build-win32/bin/dbfrecover.exe -q -o "$work/win32" \
     samples/calls.dbf; then
  runs+=(win32)
fi
linux=$(find "$work/linux" -name RECOVERED.DBF)
for run in "${runs[@]}"; do
  windows=$(find "$work/$run" -name RECOVERED.DBF)
  cmp "$linux" "$windows"
  echo "windows: $run result is byte for byte the Linux one ($(wc -c <"$windows") bytes)"
done
step "done"
