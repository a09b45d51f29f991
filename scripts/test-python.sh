#!/usr/bin/env bash
# Tests of the velk Python package, as a user gets it: builds the wheel,
# installs it into a fresh venv of Debian's interpreter (numpy, Dask,
# pandas and soundfile come from Debian's packages through
# --system-site-packages; pip works offline) and runs python/tests with
# that venv from outside the source tree.
#
#   bash scripts/test-python.sh [BUILD_DIR] [pytest options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/release}")
shift || true

wheel=$(bash "$root/scripts/build-wheel.sh" "$build")
cmake --build "$build" --target velka
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
venv=$work/venv
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --no-index --quiet "$wheel"
cd "$work"
ORV_SOURCE=$root VELKA=$build/tools/velka/velka \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests" "$@"

# Memory: the bad-input tests again under valgrind. Python and numpy keep
# some memory to the end on purpose, so the run fails only on an error or
# lost block whose stack passes through our modules.
echo "== python memcheck"
ORV_SOURCE=$root VELKA=$build/tools/velka/velka PYTHONMALLOC=malloc \
  valgrind --leak-check=full --show-leak-kinds=definite,indirect \
  --num-callers=40 --log-file="$work/valgrind.log" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider \
  "$root/python/tests/test_errors.py" -k "not leak_nothing"
/usr/bin/python3 - "$work/valgrind.log" <<'PY'
import re, sys
log = open(sys.argv[1]).read()
records = re.split(r"\n==\d+== \n", log)
ours = [r for r in records if re.search(r"_velk\.|libvlkdec", r)]
if ours:
    print("valgrind: errors or leaks in velk's modules:", *ours, sep="\n")
    sys.exit(1)
print(f"valgrind: nothing in velk's modules ({len(records)} records)")
PY
