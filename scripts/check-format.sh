#!/usr/bin/env bash
# Every C and C++ file of the tree is as clang-format (the tree's .clang-format) writes it; prints
# the files that are not, and how to fix them. Exits 77 (skipped) without clang-format-14.
#   scripts/check-format.sh [source dir]       scripts/check-format.sh --fix [source dir]
set -euo pipefail
fix=""
[ "${1:-}" != --fix ] || { fix=1; shift; }
cd "${1:-$(dirname "$0")/..}"
formatter=$(command -v clang-format-14 || true)
[ -n "$formatter" ] || { echo "SKIPPED: clang-format-14 is not installed"; exit 77; }

# Tracked files when this is a checkout, every file otherwise (a source package).
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
else
  mapfile -t files < <(find common platform tavlo src keysmith tests benchmarks tools examples \
    -name '*.c' -o -name '*.cpp' -o -name '*.h' | sort)
fi
if [ -n "$fix" ]; then
  "$formatter" -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  "$formatter" --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "not formatted (run scripts/check-format.sh --fix):"
  printf '  %s\n' "${bad[@]}"
  exit 1
fi
echo "format check passed: ${#files[@]} files"
