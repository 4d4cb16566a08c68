#!/usr/bin/env bash
# The shared library exports exactly the names of the public interface.
set -euo pipefail
lib=$1 expected=$2
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ {print $3}' | sed 's/@.*//' | sort -u)
want=$(sort -u "$expected")
if [ "$actual" != "$want" ]; then
    diff <(echo "$want") <(echo "$actual") || true
    echo "exported names differ from $expected" >&2
    exit 1
fi
echo "$(echo "$actual" | wc -l) exports, as expected"
