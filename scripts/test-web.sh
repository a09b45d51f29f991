#!/usr/bin/env bash
# The browser build and its tests: the plug-in as a WebAssembly module (the
# wasm preset, Debian's Emscripten) with the cross builds' in-process
# known-answer tests run under node, the npm package in web/ under Node
# against the native decoder, the package as `npm pack` makes it (installed
# into an empty folder, where a three-line script decodes the demo to
# velka's bytes), its size, and the player page in headless Chromium
# (Debian's, driven by puppeteer-core from web/package-lock.json).
#
#   bash scripts/test-web.sh [NATIVE_BUILD_DIR]     (default build/release)
#
# velka and the plug-in are built in NATIVE_BUILD_DIR if they are not yet.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh emscripten chromium
build=$(cd "${1:-build/release}" && pwd)
cmake --build "$build" -j "$(nproc)" --target velka vlkdec
export VELKA="$build/tools/velka/velka"

# The plug-in's in-process known-answer and variant tests, built for
# WebAssembly and run under node.
cmake --preset wasm >/dev/null
cmake --build --preset wasm
ctest --preset wasm

cd web
# Exactly the locked versions; puppeteer-core downloads no browser.
npm ci --ignore-scripts --no-audit --no-fund
npm run build
npm test

echo "-- package"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
npm pack --silent --pack-destination "$work" >/dev/null
(
  cd "$work"
  npm init -y >/dev/null
  npm install --no-audit --no-fund ./vlkdec-*.tgz >/dev/null
  cat > decode.mjs <<'JS'
import { decode } from 'vlkdec';
import { readFileSync, writeFileSync } from 'node:fs';
writeFileSync(process.argv[3], (await decode(readFileSync(process.argv[2]))).pcm);
JS
  node decode.mjs "$root/samples/demo.velka" demo.raw
  "$VELKA" decode "$root/samples/demo.velka" native.raw --raw
  cmp demo.raw native.raw
)
echo "package: the installed tarball decodes the demo to velka's bytes"
size=0
for f in dist/vlkdec.js src/index.js src/host.js; do
  size=$((size + $(gzip -9 -c "$f" | wc -c)))
done
echo "size: wasm and JavaScript, gzipped: $size bytes (limit 81920)"
[ "$size" -le 81920 ]

echo "-- browser"
npm run test:browser
