#!/usr/bin/env bash
# Builds the API reference with doxygen and fails while a public or protected member of one of
# the named classes (or the class itself) has no documentation comment.
# Usage: tools/check-reference.sh DOXYFILE WARNING-LOG CLASS...
set -euo pipefail
doxyfile=$1
log=$2
shift 2
if ! command -v doxygen > /dev/null; then
  echo "doxygen is not installed (tools/setup.sh installs it)" >&2
  exit 1
fi
rm -f "$log"
(cd "$(dirname "$doxyfile")" && doxygen "$(basename "$doxyfile")")
classes=$(IFS='|'; echo "$*")
undocumented=$(grep -E "(Compound|of class) zq::($classes) is not documented" "$log" || true)
echo "reference: $(grep -c 'warning:' "$log" || true) doxygen warnings in all; undocumented in $*: $(printf '%s' "$undocumented" | grep -c . || true)"
if [ -n "$undocumented" ]; then
  echo "$undocumented"
  exit 1
fi
