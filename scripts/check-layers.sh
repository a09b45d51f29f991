#!/usr/bin/env bash
# Holds the source folders to their layers: a file may include headers of
# its own folder and of the folders its layer stands on, and nothing else.
# The layers are those of the README's Layout section; the plug-in's are
#
#   format <- transform, kernels <- x86, wasm <- dsp <- decoder <- the root
#
# (kernels stand on format, transform on nothing; the root is the stream
# engine and the plug-in's entry). Tests, benchmarks and fuzz targets reach
# into every layer on purpose and are not held to it, but everywhere a
# plug-in header is spelled one way: from the plug-in's root
# ("format/file_header.h", never "sdk/orv/vlkdec/format/file_header.h").
#
#   scripts/check-layers.sh    prints each offending include; fails if any
set -euo pipefail
cd "$(dirname "$0")/.."

plugin=src/sdk/orv/vlkdec
# Where a quoted include is looked up after the including file's own
# folder, in the order the builds pass them.
roots=("$plugin" src include)

# folder: the folders its files may include besides their own. Every folder
# with sources below src/, include/, tools/, python/src/ and web/wasm/ needs
# a line.
declare -A may_use=(
  [include/orv]=""
  [$plugin/format]=""
  [$plugin/transform]=""
  [$plugin/kernels]="$plugin/format"
  [$plugin/x86]="$plugin/format $plugin/transform $plugin/kernels"
  [$plugin/wasm]="$plugin/format $plugin/transform $plugin/kernels"
  [$plugin/dsp]="$plugin/format $plugin/transform $plugin/kernels $plugin/x86 $plugin/wasm"
  [$plugin/decoder]="$plugin/format $plugin/transform $plugin/kernels $plugin/dsp"
  [$plugin]="include/orv $plugin/format $plugin/transform $plugin/kernels $plugin/dsp $plugin/decoder"
  [src/host]="include/orv $plugin/format"
  [src/encoder]="$plugin/format $plugin/transform $plugin/dsp"
  [src/gstreamer]="include/orv src/host $plugin/format"
  [tools/velka]="include/orv src/host src/encoder $plugin/format"
  [tools/gen_transform_table]="$plugin/transform"
  [python/src]="include/orv src/host src/encoder $plugin/format"
  [web/wasm]="include/orv"
)

failures=0
declare -A reported=()
fail() {
  echo "$1"
  failures=$((failures + 1))
}

# The file a quoted include names, as the compiler finds it; nothing for
# headers from outside the tree (generated, system, third-party).
resolve() {
  local from_dir=$1 name=$2 root
  if [ -f "$from_dir/$name" ]; then
    realpath --relative-to=. "$from_dir/$name"
    return
  fi
  for root in "${roots[@]}"; do
    if [ -f "$root/$name" ]; then
      echo "$root/$name"
      return
    fi
  done
}

while IFS= read -r file; do
  dir=$(dirname "$file")
  if [ -z "${may_use[$dir]+set}" ]; then
    if [ -z "${reported[$dir]+set}" ]; then
      reported[$dir]=1
      fail "$dir: a source folder with no layer (add it to scripts/check-layers.sh and the README's Layout)"
    fi
    continue
  fi
  allowed=" $dir ${may_use[$dir]} "
  while IFS= read -r line; do
    number=${line%%:*}
    name=$(sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/' <<<"$line")
    target=$(resolve "$dir" "$name")
    [ -n "$target" ] || continue
    used=$(dirname "$target")
    if [[ $allowed != *" $used "* ]]; then
      fail "$file:$number: includes $name, but $dir may not use $used"
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
done < <(git ls-files -- src include tools python/src web/wasm |
  grep -E '\.(h|hpp|c|cc|cpp)$')

# One spelling for every plug-in header, in tests and tools alike.
while IFS= read -r hit; do
  fail "$hit: spell plug-in headers from the plug-in's root, without sdk/orv/vlkdec/"
done < <(git grep -nE '#[[:space:]]*include[[:space:]]*"sdk/orv/vlkdec/' -- '*.h' '*.hpp' '*.c' '*.cc' '*.cpp' || true)

if [ "$failures" -ne 0 ]; then
  echo "check-layers: $failures include(s) break the layering"
  exit 1
fi
echo "check-layers: every folder keeps to its layer"
