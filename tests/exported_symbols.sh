#!/bin/sh
# The functions libvexa.so exports are exactly those its header declares:
# nothing internal leaks, nothing declared is missing.
# Usage: exported_symbols.sh LIBRARY HEADER
set -eu
lib=$1 header=$2
declared=$(grep -v '^#' "$header" | tr '\n' ' ' | grep -o 'KX_API[^;(]*(' | sed 's/.*[ *]\([A-Za-z_0-9]*\)($/\1/' | sort)
exported=$(nm -D --defined-only "$lib" | awk '$2 == "T" { print $3 }' | sort)
if [ "$declared" != "$exported" ]; then
  echo "declared in $header but not exported, or exported but not declared:" >&2
  printf '%s\n' "$declared" > "${TMPDIR:-/tmp}/declared.$$"
  printf '%s\n' "$exported" | diff "${TMPDIR:-/tmp}/declared.$$" - >&2 || true
  rm -f "${TMPDIR:-/tmp}/declared.$$"
  exit 1
fi
echo "$(printf '%s\n' "$exported" | wc -l) functions exported, as declared"
