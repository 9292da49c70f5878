#!/usr/bin/env bash
# CI, installing part (after .ci/run has built build/): install into a
# temporary prefix and recover the bundled sample with the installed
# dbfrecover from another folder; compile the README's example against the
# installed header and library, by hand and through find_package(kest),
# and run it; build the Debian package, hold its file list against
# .ci/deb_files.txt and run dbfrecover --version from where dpkg -x puts it.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "install: $*" >&2; exit 1; }

prefix=$scratch/prefix
cmake --install build --prefix "$prefix" >/dev/null
mkdir "$scratch/elsewhere" "$scratch/elsewhere/out"
(cd "$scratch/elsewhere" && "$prefix/bin/dbfrecover" -q -o out "$repo/samples/calls.dbf")
ls "$scratch"/elsewhere/out/*/RECOVERED.DBF >/dev/null || fail "the installed dbfrecover wrote no result"
warnings=$(zcat "$prefix/share/man/man1/dbfrecover.1.gz" | groff -man -Tutf8 -ww -z 2>&1)
[ -z "$warnings" ] || fail "the manual page does not format cleanly: $warnings"

example=$scratch/example
mkdir "$example"
sed -n '/<!-- install-example/,/^```$/p' README.md | sed '1,2d;$d' >"$example/recover.c"
grep -q FileRecoverEx "$example/recover.c" || fail "no example found in README.md"
cc -Wall -Wextra -Werror "$example/recover.c" -I"$prefix/include" -L"$prefix/lib/kest" \
  -Wl,-rpath,"$prefix/lib/kest" -lkestdll -o "$example/by_hand"
cat >"$example/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(recover C)
find_package(kest 0.1 REQUIRED)
add_executable(through_package recover.c)
target_link_libraries(through_package PRIVATE kest::kestdll)
CMAKE
cmake -S "$example" -B "$example/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$example/build" >/dev/null
for program in "$example/by_hand" "$example/build/through_package"; do
  mkdir "$program.out"
  (cd "$scratch" && "$program" "$repo/samples/calls.dbf" "$program.out")
done

rm -f build/kest_*.deb
(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/kest_*.deb)
diff <(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | LC_ALL=C sort) .ci/deb_files.txt ||
  fail "$deb holds other files than .ci/deb_files.txt lists"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "$deb depends on: $depends"
dpkg -x "$deb" "$scratch/root"
(cd / && "$scratch/root/usr/bin/dbfrecover" --version)
echo "install: $deb ($(wc -c <"$deb") bytes), depends on $depends"
