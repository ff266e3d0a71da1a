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
  # The guide shows the examples as they are: its code blocks follow the formatted files.
  python3 - <<'PY'
import pathlib, re
guide = pathlib.Path("docs/guide.md")
show = lambda m: f"<!-- {m[1]} -->\n```{m[2]}\n{pathlib.Path(m[1]).read_text()}```\n"
guide.write_text(re.sub(r"<!-- ([\w./]+) -->\n```(\w+)\n(.*?)```\n", show, guide.read_text(), flags=re.S))
PY
fi
