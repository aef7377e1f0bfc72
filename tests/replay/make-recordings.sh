#!/usr/bin/env bash
# Remakes the regression suite's recordings (tests/replay/recordings/) from kestro-update against
# the emulated controllers: a whole update in each protocol, a failure the controller reports, a
# controller pulled out mid-transfer, and a slow controller. Each package is made the same way
# by tests/replay (package.sh), so that a replay finds the recording's package by name and size.
#   tests/replay/make-recordings.sh     (after cmake --build --preset native)
set -euo pipefail
cd "$(dirname "$0")/../.."
out=tests/replay/recordings
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
record() {  # MODE FAULT
  local name=$1_$2
  tests/replay/package.sh "$work/$name.dat" >/dev/null
  umockdev-wrapper build/native/tests/hidraw/hidraw-record-session "$1" "$2" "$work/$name.dat" \
    "$out/$name.jsonl" >/dev/null 2>&1 || true
  echo "$out/$name.jsonl: $(wc -l <"$out/$name.jsonl") lines, $(wc -c <"$out/$name.jsonl") bytes"
}
record normal whole
record boot whole
record normal failure
record boot failure
record normal unplug
record boot unplug
record normal slow
record boot slow
