#!/usr/bin/env bash
# Fails when a tracked C or C++ source is not formatted by the project's
# .clang-format (Debian's clang-format, installed by install-deps.sh).
# `bash scripts/check-format.sh --fix` formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp' 2>/dev/null ||
                       find src include tools tests bench fuzz examples \
                         -name '*.[ch]' -o -name '*.[ch]pp' 2>/dev/null)
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "Not formatted (run: bash scripts/check-format.sh --fix):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files clean"
