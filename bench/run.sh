#!/bin/sh
# Whole-run benchmark of dbfrecover against the floor of the machine and a
# converter that only reads, from one run of this script:
#
#   bench/run.sh [BUILD_DIR]        (default: build; RUNS=3 repetitions)
#   SIZES=none EXPORT_SIZES=256 bench/run.sh    (the export part alone)
#
# For tables of 10 MB, 100 MB and 1 GB made by bench_table it measures, on
# the same file and disk, warm: the floor (cat of the table, then cp of it),
# the floor with the copy synced to the disk as a run syncs its result
# before it publishes it (sync -d, fdatasync),
# pgdbf (-s latin1, output to /dev/null), dbfrecover --classic without and
# with a log file, dbfrecover's default (thorough) recovery, and dbfrecover
# on the same table with its first 512 bytes zeroed (the worst-case method),
# classic and default. A run with a log writes about eight lines per
# record, so it is made for tables up to LOG_MAX_MB (default 100) only;
# beside its lines a second it gives the machine's own rate of one write
# a line (dd writing as many blocks of the log's mean line length).
# Each figure is the median of RUNS runs. Peak
# RSS comes from /usr/bin/time -v. The 1 GB table needs about 3 GB free in
# KEST_BENCH_DIR (default /tmp/kest-bench); without the room it is left
# out, and the script says so. Then the export of a healthy table of each
# of EXPORT_SIZES MB (default: the same sizes) to CSV, JSON Lines and SQLite
# beside pgdbf and sqlite3's own .import of the CSV; see the end.
# BASELINE=OTHER_BUILD_DIR times that build's dbfrecover default recovery
# too (of the table and of the table with its header zeroed), alternating
# with this one's on the same tables, and adds a table of the two side by
# side with the synced floor (e.g. a build of an earlier commit, to see what a
# change to the thorough recovery costs).
set -eu

build=${1:-build}
runs=${RUNS:-3}
work=${KEST_BENCH_DIR:-/tmp/kest-bench}
sizes=${SIZES:-"10 100 1000"}
log_max_mb=${LOG_MAX_MB:-100}
dbfrecover=$build/bin/dbfrecover
maker=$build/bin/bench_table

baseline=${BASELINE:-}
baseline_rows=""
for tool in "$dbfrecover" "$maker" ${baseline:+"$baseline/bin/dbfrecover"}; do
  [ -x "$tool" ] || { echo "missing $tool: build it first (cmake --build $build)" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install -y time)" >&2; exit 1; }
have_pgdbf=yes
command -v pgdbf >/dev/null 2>&1 || have_pgdbf=no
classic=""
"$dbfrecover" --help 2>&1 | grep -q -- --classic && classic=--classic

mkdir -p "$work"
free_mb() { df -Pm "$work" | awk 'NR == 2 { print $4 }'; }

# median of the numbers on stdin
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "-" }'; }

# timed NAME COMMAND...: runs COMMAND under /usr/bin/time -v, appends
# "wall-seconds peak-kilobytes cpu-seconds" to $work/NAME.times
timed() {
  name=$1; shift
  /usr/bin/time -v -o "$work/time.out" "$@" >/dev/null 2>"$work/stderr.out" || {
    echo "failed: $*" >&2; cat "$work/stderr.out" >&2; exit 1; }
  awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0;
                for (i = 1; i <= n; i++) s = s * 60 + p[i]; t = s }
              /Maximum resident set size/ { m = $2 }
              /User time|System time/ { c += $2 }
              END { print t, m, c }' "$work/time.out" >> "$work/$name.times"
}
seconds() { cut -d' ' -f1 "$work/$1.times" | median; }
cpu() { cut -d' ' -f3 "$work/$1.times" | median; }
peak_mib() { cut -d' ' -f2 "$work/$1.times" | sort -n | tail -1 | awk '{ printf "%.1f", $1 / 1024 }'; }
# ratio A B [FORMAT]: A / B, "-" when either is missing
ratio() { awk -v a="$1" -v b="$2" -v f="${3:-%.2f}" \
  'BEGIN { if (a == "-" || b == "-" || b + 0 <= 0) print "-"; else printf f, a / b }'; }

recover() {  # recover NAME TABLE [LOG]: the classic recovery
  out=$(mktemp -d "$work/out.XXXXXX")
  if [ $# -ge 3 ]; then
    rm -f "$3"
    timed "$1" "$dbfrecover" $classic -q -o "$out" -l "$3" "$2"
  else
    timed "$1" "$dbfrecover" $classic -q -o "$out" "$2"
  fi
  rm -rf "$out"
}
thorough_one() {  # thorough_one NAME DBFRECOVER TABLE
  out=$(mktemp -d "$work/out.XXXXXX")
  timed "$1" "$2" -q -o "$out" "$3"
  rm -rf "$out"
}
# The build that runs second finds the page cache just freed by the
# first one's result (at 1 GB that alone can double a run): the two take
# turns at going first.
turn=0
thorough() {  # thorough TABLE [NAME]: the default recovery, no log
  name=${2:-thorough}
  turn=$((1 - turn))
  if [ -n "$baseline" ] && [ $turn = 0 ]; then
    thorough_one "baseline$name" "$baseline/bin/dbfrecover" "$1"
  fi
  thorough_one "$name" "$dbfrecover" "$1"
  if [ -n "$baseline" ] && [ $turn = 1 ]; then
    thorough_one "baseline$name" "$baseline/bin/dbfrecover" "$1"
  fi
}

printf '%s\n' "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(df -PT "$work" | awk 'NR == 2 { print $2 " on " $1 }')"
printf '%s\n' "runs: $runs (medians), dbfrecover ${classic:-(no --classic option)}"
printf '%s\n' "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%s\n' "wall seconds, CPU seconds (user + system) in brackets"
printf '| table | floor s | floor+sync s | pgdbf s | run s | MB/s | run / floor | run / floor+sync | pgdbf / run | run+log s | log lines/s (per CPU s) | write-a-line lines/s | peak RSS MiB (+log) | thorough s | worst case s | thorough, worst case s |\n'
printf '|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n'

for mb in $sizes; do
  [ "$mb" = none ] && continue
  need=$((mb * 3 + 100))
  if [ "$(free_mb)" -lt "$need" ]; then
    echo "| $mb MB | left out: needs about $need MB free in $work, $(free_mb) MB there |"
    continue
  fi
  table=$work/bench$mb.dbf
  "$maker" "$table" "$mb" >/dev/null
  # The new table on the disk first: its own writing-out would otherwise
  # share the disk with the first runs' syncs.
  sync
  rm -f "$work"/*.times
  cat "$table" >/dev/null  # warm
  i=0
  while [ $i -lt "$runs" ]; do
    timed floor sh -c "cat '$table' > /dev/null && cp '$table' '$work/copy.dbf'"
    rm -f "$work/copy.dbf"
    timed synced sh -c "cat '$table' > /dev/null && cp '$table' '$work/copy.dbf' && sync -d '$work/copy.dbf'"
    rm -f "$work/copy.dbf"
    [ $have_pgdbf = yes ] && timed pgdbf sh -c "pgdbf -s latin1 '$table' > /dev/null"
    recover run "$table"
    thorough "$table"
    [ "$mb" -le "$log_max_mb" ] && recover log "$table" "$work/run.log"
    i=$((i + 1))
  done
  lines=0; logged=-; loggedcpu=-; written=-
  if [ -f "$work/run.log" ]; then
    lines=$(wc -l < "$work/run.log"); logged=$(seconds log); loggedcpu=$(cpu log)
    # One write of the log's mean line length for each of its lines.
    width=$(( $(wc -c < "$work/run.log") / (lines > 0 ? lines : 1) ))
    i=0
    while [ $i -lt "$runs" ]; do
      rm -f "$work/lines.out"
      timed lines dd if=/dev/zero of="$work/lines.out" ibs="$((width * lines))" obs="$width" \
        count=1 iflag=fullblock status=none
      i=$((i + 1))
    done
    rm -f "$work/lines.out"
    written=$(ratio "$lines" "$(seconds lines)" %.0f)
  fi
  rm -f "$work/run.log"
  # The same table with its header gone: only the sample window is read.
  dd if=/dev/zero of="$table" bs=512 count=1 conv=notrunc status=none
  i=0
  while [ $i -lt "$runs" ]; do
    recover worst "$table"
    thorough "$table" zeroed
    i=$((i + 1))
  done
  rm -f "$table"

  floor=$(seconds floor); synced=$(seconds synced); run=$(seconds run)
  pg=-; pgcpu=-
  [ $have_pgdbf = yes ] && { pg=$(seconds pgdbf); pgcpu=$(cpu pgdbf); }
  printf '| %s MB | %s (%s) | %s (%s) | %s (%s) | %s (%s) | %s | %s | %s | %s | %s (%s) | %s (%s) | %s | %s (%s) | %s (%s) | %s (%s) | %s (%s) |\n' \
    "$mb" "$floor" "$(cpu floor)" "$synced" "$(cpu synced)" "$pg" "$pgcpu" "$run" "$(cpu run)" \
    "$(ratio "$mb" "$run" %.0f)" "$(ratio "$run" "$floor")" "$(ratio "$run" "$synced")" \
    "$(ratio "$pg" "$run")" "$logged" "$loggedcpu" \
    "$(ratio "$lines" "$logged" %.0f)" "$(ratio "$lines" "$loggedcpu" %.0f)" "$written" \
    "$(peak_mib run)" "$([ "$logged" = - ] && echo - || peak_mib log)" \
    "$(seconds thorough)" "$(cpu thorough)" "$(seconds worst)" "$(cpu worst)" \
    "$(seconds zeroed)" "$(cpu zeroed)"
  if [ -n "$baseline" ]; then
    baseline_rows="$baseline_rows$(printf '| %s MB | %s (%s) | %s (%s) | %s (%s) | %s | %s | %s | %s | %s (%s) | %s (%s) | %s |' "$mb" \
      "$synced" "$(cpu synced)" \
      "$(seconds thorough)" "$(cpu thorough)" "$(seconds baselinethorough)" "$(cpu baselinethorough)" \
      "$(ratio "$(seconds thorough)" "$(seconds baselinethorough)")" \
      "$(ratio "$(cpu thorough)" "$(cpu baselinethorough)")" \
      "$(ratio "$(seconds thorough)" "$synced")" "$(ratio "$(seconds baselinethorough)" "$synced")" \
      "$(seconds zeroed)" "$(cpu zeroed)" "$(seconds baselinezeroed)" "$(cpu baselinezeroed)" \
      "$(ratio "$(cpu zeroed)" "$(cpu baselinezeroed)")")
"
  fi
done
if [ -n "$baseline" ]; then
  printf '\n| table | floor+sync s | thorough s | baseline thorough s | wall ratio | CPU ratio | thorough / floor+sync | baseline / floor+sync | thorough, worst case s | baseline, worst case s | worst case CPU ratio |\n|---|---|---|---|---|---|---|---|---|---|---|\n%s' \
    "$baseline_rows"
fi

# Export of a healthy table (bench_table without damaged records: a damaged
# one is recovered first) of each of EXPORT_SIZES MB (default: SIZES) to
# CSV, JSON Lines and SQLite, beside pgdbf (to /dev/null; writing its SQL
# into a file on the same disk; and the same with the file synced, as an
# export syncs its output before it publishes it) and sqlite3's own
# .import of the CSV export into a new database. EXPORT_RUNS (default 5)
# runs, interleaved; ratios are of the medians, wall and (in brackets) CPU.
export_sizes=${EXPORT_SIZES:-$sizes}
export_runs=${EXPORT_RUNS:-5}
have_sqlite=no
command -v sqlite3 >/dev/null 2>&1 && "$dbfrecover" export --help 2>&1 | grep -q sqlite &&
  have_sqlite=yes
export_one() {  # export_one FORMAT TABLE: one timed export into a new folder
  out=$(mktemp -d "$work/out.XXXXXX")
  if [ "$1" = sqlite ]; then
    timed "$1" "$dbfrecover" export -f sqlite "$2" -o "$out/t.db"
  else
    timed "$1" "$dbfrecover" export -f "$1" "$2" -o "$out"
  fi
  rm -rf "$out"
}
# both NAME-A NAME-B: the ratio of the medians, wall and (CPU)
both() { printf '%s (%s)' "$(ratio "$(seconds "$1")" "$(seconds "$2")")" "$(ratio "$(cpu "$1")" "$(cpu "$2")")"; }
timing() { printf '%s (%s)' "$(seconds "$1")" "$(cpu "$1")"; }
printf '\nexport: %s runs (medians), load average before: %s\n' "$export_runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '\n| export | pgdbf s | pgdbf to file s | pgdbf to file, synced s | csv s | pgdbf / csv | pgdbf synced / csv | jsonl s | jsonl / csv | sqlite s | sqlite3 .import s | sqlite / .import | peak RSS MiB (csv, jsonl, sqlite) |\n'
printf '|---|---|---|---|---|---|---|---|---|---|---|---|---|\n'
for mb in $export_sizes; do
  [ "$mb" = none ] && continue
  need=$((mb * 4 + 100))
  if [ "$(free_mb)" -lt "$need" ]; then
    echo "| $mb MB | left out: needs about $need MB free in $work, $(free_mb) MB there |"
    continue
  fi
  table=$work/export$mb.dbf
  "$maker" "$table" "$mb" --damaged 0 >/dev/null
  csv=$(mktemp -d "$work/csv.XXXXXX")
  "$dbfrecover" export "$table" -o "$csv" >/dev/null
  sync
  rm -f "$work"/*.times
  cat "$table" >/dev/null  # warm
  i=0
  while [ $i -lt "$export_runs" ]; do
    if [ $have_pgdbf = yes ]; then
      timed pgdbf sh -c "pgdbf -s latin1 '$table' > /dev/null"
      timed pgfile sh -c "pgdbf -s latin1 '$table' > '$work/pgdbf.sql'"
      rm -f "$work/pgdbf.sql"
      timed pgsync sh -c "pgdbf -s latin1 '$table' > '$work/pgdbf.sql' && sync -d '$work/pgdbf.sql'"
      rm -f "$work/pgdbf.sql"
    fi
    export_one csv "$table"
    export_one jsonl "$table"
    if [ $have_sqlite = yes ]; then
      export_one sqlite "$table"
      rm -f "$work/import.db"
      timed import sqlite3 "$work/import.db" ".import --csv '$csv/export$mb.csv' t"
      rm -f "$work/import.db"
    fi
    i=$((i + 1))
  done
  rm -rf "$table" "$csv"
  pg=-; pgfile=-; pgsync=-; pgratio=-; syncratio=-; lite=-; import=-; liteimport=-
  if [ $have_pgdbf = yes ]; then
    pg=$(timing pgdbf); pgfile=$(timing pgfile); pgsync=$(timing pgsync)
    pgratio=$(both pgdbf csv); syncratio=$(both pgsync csv)
  fi
  if [ $have_sqlite = yes ]; then
    lite=$(timing sqlite); import=$(timing import); liteimport=$(both sqlite import)
  fi
  printf '| %s MB | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s, %s, %s |\n' \
    "$mb" "$pg" "$pgfile" "$pgsync" "$(timing csv)" "$pgratio" "$syncratio" \
    "$(timing jsonl)" "$(both jsonl csv)" "$lite" "$import" "$liteimport" \
    "$(peak_mib csv)" "$(peak_mib jsonl)" "$([ "$lite" = - ] && echo - || peak_mib sqlite)"
done
# Peak RSS of exports whose memos are long (bench_table --long-memo): three
# of 15.9 MiB, just under the 16 MiB the memo reader takes of one memo, and
# three of 200 MiB, which it refuses (null) without reading them.
if [ "$export_sizes" != none ]; then
  printf '\n| long memos | csv peak RSS MiB | jsonl peak RSS MiB | sqlite peak RSS MiB |\n|---|---|---|---|\n'
  for long in 15.9 200; do
    if [ "$(free_mb)" -lt 800 ]; then
      echo "| three of $long MiB | left out: needs about 800 MB free in $work |"
      continue
    fi
    table=$work/long.dbf
    "$maker" "$table" 1 --long-memo "$long" --damaged 0 --deleted 0 >/dev/null
    rm -f "$work"/*.times
    export_one csv "$table"
    export_one jsonl "$table"
    [ $have_sqlite = yes ] && export_one sqlite "$table"
    printf '| three of %s MiB | %s | %s | %s |\n' "$long" "$(peak_mib csv)" "$(peak_mib jsonl)" \
      "$([ $have_sqlite = yes ] && peak_mib sqlite || echo -)"
    rm -f "$work"/long.*
  done
fi
rm -f "$work"/*.times "$work/time.out" "$work/stderr.out"
