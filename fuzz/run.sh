#!/usr/bin/env bash
# Builds the libFuzzer targets (clang 14, AddressSanitizer and
# UndefinedBehaviorSanitizer) in a configuration of their own and runs each
# for a bounded time over seeds made from testdata/ and damaged copies
# of those tables. Any finding fails the script: a crash, a sanitizer
# report, a broken invariant, an input that runs past the per-input time
# limit (a hang) or past the memory limit. The input behind it is kept as
# $build/findings/<target>-<kind>-<hash>.
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# SECONDS_PER_TARGET defaults to 20; TARGET is record_check, layout_search
# or recovery (default: all three). Environment: KEST_FUZZ_BUILD names the
# build folder (default build-fuzz), KEST_FUZZ_JOBS runs that many fuzzing
# processes per target (default 1), KEST_FUZZ_MAX_LEN replaces each target's
# longest input (kept short for CI: the worst-case search takes up to
# 131072 bytes of a table, a whole run with them is slow). The corpus each
# target grows is kept in $build/corpus/<target> and taken up again by the
# next run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KEST_FUZZ_BUILD:-$root/build-fuzz}
seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(record_check layout_search recovery)
jobs=${KEST_FUZZ_JOBS:-1}
data=$root/testdata

if ! command -v clang++-14 >/dev/null ||
   ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
  else
    echo "fuzz/run.sh: needs clang-14 and libclang-rt-14-dev" >&2
    exit 2
  fi
fi

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DKEST_FUZZ=ON \
  -DKEST_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target dbfdamage \
  $(printf 'fuzz_%s ' "${targets[@]}")

# --- seeds ---------------------------------------------------------------
# Made afresh each time from the bundled test tables: each table as it is and
# damaged by every mode of dbfdamage that applies to it.
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds/tables" "$seeds/record_check" "$seeds/layout_search" "$seeds/recovery"
while IFS= read -r table; do
  name=${table#"$data"/}
  name=${name%.*}
  name=${name//\//_}
  while read -r mode _; do
    "$build/bin/dbfdamage" --seed 1 "$mode" "$table" "$seeds/tables/$name-$mode.dbf" \
      >/dev/null 2>&1 || true
  done < <("$build/bin/dbfdamage" --list)
done < <(find "$data" -iname '*.dbf' | sort)

le_bytes() {  # VALUE WIDTH: VALUE as WIDTH little-endian bytes
  local value=$1 width=$2 i
  for ((i = 0; i < width; i++)); do
    printf "\\x$(printf %02x $(((value >> (8 * i)) & 255)))"
  done
}

for table in "$seeds"/tables/*.dbf; do
  name=$(basename "$table" .dbf)
  memo=$(ls "${table%.dbf}".[fFdD][pPbB][tT] 2>/dev/null | head -n 1 || true)
  memo_size=0
  [ -n "$memo" ] && memo_size=$(stat -c %s "$memo")
  flags=$([ -n "$memo" ] && echo 1 || echo 0)
  cp "$table" "$seeds/layout_search/$name"
  { le_bytes "$flags" 1; le_bytes "$memo_size" 4; tail -c +33 "$table"; } \
    >"$seeds/record_check/$name"
  units=$((memo_size / 8 > 65535 ? 65535 : memo_size / 8))
  { le_bytes "$flags" 1; le_bytes "$units" 2; cat "$table"; } >"$seeds/recovery/$name"
done

# --- runs ----------------------------------------------------------------
declare -A max_len=([record_check]=4096 [layout_search]=16384 [recovery]=32768)
mkdir -p "$build/findings"
parallel=()
[ "$jobs" -gt 1 ] && parallel=(-jobs="$jobs" -workers="$jobs")
failed=0
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  echo "== fuzz_$target: $seconds s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
      "$build/bin/fuzz_$target" "$corpus" "$seeds/$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len="${KEST_FUZZ_MAX_LEN:-${max_len[$target]}}" ${parallel[@]+"${parallel[@]}"} \
      -artifact_prefix="$build/findings/$target-" -print_final_stats=1 \
      2>"$build/fuzz_$target.log"; then
    echo "fuzz_$target: FINDING (log: $build/fuzz_$target.log)" >&2
    grep -E "ERROR|SUMMARY|Test unit written|recovery_fuzz:" "$build/fuzz_$target.log" >&2 || true
    failed=1
  else
    grep -E "stat::number_of_executed_units|cov: " "$build/fuzz_$target.log" | tail -n 2
  fi
done
exit $failed
