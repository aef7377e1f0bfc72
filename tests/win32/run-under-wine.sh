#!/bin/bash
# Runs a Windows test program under Wine in the end-to-end tests' prefix.
# Usage: run-under-wine.sh PREFIX EXE [ARGS...]. Exit 77 (skipped) when Wine or the program is
# missing, unless KESTRO_E2E_REQUIRED is set: then that is a failure.
set -u
prefix=$1
exe=$2
shift 2
missing=
command -v wine >/dev/null || missing="wine not installed"
[ -f "$exe" ] || missing="$exe not built (cmake --build --preset windows)"
if [ -n "$missing" ]; then
  echo "$missing"
  [ -n "${KESTRO_E2E_REQUIRED:-}" ] && exit 1
  exit 77
fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$exe" "$@"
