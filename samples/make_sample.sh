#!/bin/sh
# Rebuilds samples/calls.dbf: a copy of a real Visual FoxPro table that has
# lost its first 488 bytes, the whole header with its field descriptors, so
# that the file begins with the first record. The header-driven best-case
# method finds nothing; the worst-case method has to work the record layout
# out of the bytes. The original is only read.
#
# Usage: samples/make_sample.sh [path of foxprodb/calls.dbf]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source=${1:-$here/../testdata/foxprodb/calls.dbf}
target=$here/calls.dbf
header_length=488

rm -f "$target"
tail -c +$((header_length + 1)) "$source" > "$target"
chmod 644 "$target"
echo "wrote $target"
