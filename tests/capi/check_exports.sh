#!/bin/sh
# Compares the functions declared in a public header with the dynamic
# symbols a shared library defines.
set -eu
header=$1
library=$2
declared=$(mktemp)
defined=$(mktemp)
trap 'rm -f "$declared" "$defined"' EXIT
grep -oE '(KDMDBI_FUNC|KDM_API) +[A-Za-z_][A-Za-z0-9_]*\(' "$header" |
    sed -E 's/.* +([A-Za-z0-9_]+)\($/\1/' | grep -v '^__' | sort -u >"$declared"
nm -D --defined-only "$library" | awk '{print $3}' | sort -u >"$defined"
if ! diff -u "$declared" "$defined"; then
    echo "declared (-) and exported (+) functions differ"
    exit 1
fi
echo "$(wc -l <"$declared") functions declared and exported"
