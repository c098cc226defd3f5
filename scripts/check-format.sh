#!/usr/bin/env bash
# Fails, naming the files, when a C++ file of the project is not laid out as
# the committed .clang-format says. `scripts/check-format.sh fix` lays them
# out instead.
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format)
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
if [ "${1:-}" = "fix" ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
report=$(mktemp)
trap 'rm -f "$report"' EXIT
if ! "$format" --dry-run -Werror "${files[@]}" 2>"$report"; then
  grep -oE '^[^ :]+\.(cpp|h):[0-9]+:[0-9]+: error' "$report" | cut -d: -f1 | sort -u |
    sed 's/^/not formatted: /'
  echo "lay them out with: scripts/check-format.sh fix"
  exit 1
fi
