#!/usr/bin/env bash
# Formats the C++ sources with .clang-format; --check lists the files that would change.
# The charset tables are left as their generator writes them.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' | grep -v '^codec/zqCharsetTables\.cpp$')
if [ "${1:-}" = "--check" ]; then
  clang-format --dry-run --Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
