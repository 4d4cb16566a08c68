#!/usr/bin/env bash
# The export list names exactly the functions the public header declares,
# and the shared library exports exactly the names of that list.
#   check_exports.sh <shared library> <export list, one name a line> <header>
set -euo pipefail
lib=$1 expected=$2 header=$3
want=$(sort -u "$expected")
declared=$(sed -n 's/^MORELAPI_API([^)]*) *\([A-Za-z_][A-Za-z0-9_]*\) *(.*/\1/p' "$header" | sort -u)
if [ "$declared" != "$want" ]; then
    diff <(echo "$declared") <(echo "$want") || true
    echo "the export list differs from the functions $header declares" >&2
    exit 1
fi
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ {print $3}' | sed 's/@.*//' | sort -u)
if [ "$actual" != "$want" ]; then
    diff <(echo "$want") <(echo "$actual") || true
    echo "exported names differ from $expected" >&2
    exit 1
fi
echo "$(echo "$actual" | wc -l) exports, as the header declares them"
