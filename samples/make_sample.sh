#!/bin/sh
# Rebuilds samples/products.dbf: a copy of a real Visual FoxPro table whose
# first 32 bytes (the table header) are zeroed, so that the header-driven
# best-case method finds nothing and the worst-case method has to work the
# record layout out of the bytes. The original is only read.
#
# Usage: samples/make_sample.sh [path of dbase_31.dbf]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source=${1:-$here/../../shared/data/dbase_31.dbf}
target=$here/products.dbf

rm -f "$target"
cp "$source" "$target"
chmod 644 "$target"
dd if=/dev/zero of="$target" bs=32 count=1 conv=notrunc status=none
echo "wrote $target"
