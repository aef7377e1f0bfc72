#!/usr/bin/env bash
# Remakes the fuzz targets' seed inputs in tests/fuzz/corpus/: packages built with the package
# tool for the package scan, and, from record-seeds, the emulated controllers' replies recorded
# during whole updates and a few update scripts.
#   tests/fuzz/make-seeds.sh [NATIVE_BUILD_DIR]   (default build/native)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/native}
package=$build/tools/package/kestro-package
corpus=tests/fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The package scan's input: the controller's model (LE16) and variant, then the package.
mkdir -p "$corpus/PackageScanFuzz"
scan_seed() {  # NAME MODEL VARIANT RECORD...
  local name=$1 model=$2 variant=$3
  shift 3
  local args=()
  for record in "$@"; do args+=(--record "$record"); done
  "$package" build "$work/$name.dat" "${args[@]}" >/dev/null
  {
    printf "\\x$(printf %02x $((model & 255)))\\x$(printf %02x $((model >> 8)))"
    printf "\\x$(printf %02x "$variant")"
    cat "$work/$name.dat"
  } >"$corpus/PackageScanFuzz/$name"
}
scan_seed one-record 0 0 version=123,size=100
scan_seed second-matches 258 3 model=9,size=40 model=0x0102,variant=3,size=140,beta=2
scan_seed no-match 5 5 size=30 model=1,size=20
scan_seed length-past-end 0 0 size=64,length=4000

"$build/tests/record-seeds" "$corpus"
ls -R "$corpus"
