#!/usr/bin/env bash
# Checks the Windows release zip as a Windows user gets it: exactly the three programs and
# README.txt (CRLF), each program importing system DLLs only and carrying no link time, the
# version of CMakeLists.txt in every --version line, version resource and the manifest, a Chinese
# file name through kestro-package.exe, and the dialog opening. The programs run under Wine on a
# private Xvfb, in a throwaway prefix. One line per check; exit status 1 when any failed.
#   tests/release/check-windows.sh ZIP
set -uo pipefail
if [[ $# -ne 1 || ! -f $1 ]]; then
  echo "usage: tests/release/check-windows.sh ZIP" >&2
  exit 2
fi
zip=$(realpath "$1")
cd "$(dirname "$0")/../.."
version=$(scripts/project-version.sh) || exit 1

passed=0
failed=0
ok() {
  echo "ok   $*"
  passed=$((passed + 1))
}
fail() {
  echo "FAIL $*"
  failed=$((failed + 1))
}
check() {  # check WHAT COMMAND...: ok when the command succeeds
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}

work=$(mktemp -d "${TMPDIR:-/tmp}/kestro-check-windows.XXXXXX")
xvfb=
cleanup() {
  if [[ -d $work/prefix ]]; then
    WINEPREFIX=$work/prefix timeout 30 wineserver -k >/dev/null 2>&1
    WINEPREFIX=$work/prefix timeout 30 wineserver -w >/dev/null 2>&1
  fi
  [[ -n $xvfb ]] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# What is in it.
programs=(KestroUpdate.exe kestro-update.exe kestro-package.exe)
expected="${programs[*]} README.txt"
names=$(unzip -Z1 "$zip" | tr '\n' ' ' | sed 's/ $//')
check "the zip holds $expected, in that order (it holds: $names)" [ "$names" = "$expected" ]
check "the zip's name carries the version $version" \
  [ "$(basename "$zip")" = "KestroUpdate-$version-windows-x64.zip" ]
extra=$(zipinfo -v "$zip" | grep -c 'length of extra field: *[1-9]')
check "no zip entry has extra fields (found $extra)" [ "$extra" -eq 0 ]
dir=$work/unzipped
if ! unzip -q "$zip" -d "$dir"; then
  fail "unzip $zip"
  echo "$passed passed, $failed failed"
  exit 1
fi

readme=$dir/README.txt
check "README.txt has CRLF line ends only" \
  sh -c '[ -s "$1" ] && [ "$(tail -c 2 "$1" | od -An -c | tr -d " ")" = "\\r\\n" ] &&
         ! grep -qv "$(printf "\r")\$" "$1"' sh "$readme"
check "README.txt names the version and certutil" \
  sh -c 'grep -q "Kestro Update $1 for Windows" "$2" && grep -q "certutil -hashfile" "$2"' \
  sh "$version" "$readme"

# The programs as files.
static=$(tests/e2e/check-static.sh "${programs[@]/#/$dir/}")
check "the programs import system DLLs only: $(grep -c '^ok' <<<"$static") of 3 ($(
  grep '^FAIL' <<<"$static" | tr '\n' ' '))" [ "$(grep -c '^ok' <<<"$static")" -eq 3 ]
for program in "${programs[@]}"; do
  file=$dir/$program
  # The PE header's time stamp, at 8 bytes into the header that 0x3C points at.
  header=$(od -An -tu4 -j 60 -N 4 "$file" | tr -d ' ')
  stamp=$(od -An -tu4 -j $((header + 8)) -N 4 "$file" | tr -d ' ')
  check "$program carries no link time (PE time stamp $stamp)" [ "$stamp" = 0 ]
  # The version resource's strings are UTF-16: FileVersion and ProductVersion, each then its value.
  resource=$(strings -a -el "$file" | grep -A1 -x -E 'FileVersion|ProductVersion' |
    grep -v -x -E 'FileVersion|ProductVersion|--' | sort -u | tr '\n' ' ' | sed 's/ $//')
  check "$program's version resource says $version.0 (FileVersion, ProductVersion: $resource)" \
    [ "$resource" = "$version.0" ]
done

check "KestroUpdate.exe's manifest names version $version.0" \
  grep -aq "name=\"Kestro.KestroUpdate\" version=\"$version.0\"" "$dir/KestroUpdate.exe"

# The programs under Wine: a private display, and one prefix and temporary folder for every
# Wine process of this check.
for tool in wine wineboot wineserver Xvfb xwininfo; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup.sh)"
done
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" TMPDIR=$work/tmp
export LANG=C.UTF-8 LC_ALL=C.UTF-8
mkdir -p "$TMPDIR" "$WINEPREFIX"
# Xvfb picks a free display and writes its number.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
if [[ ! -s $work/display ]]; then
  fail "Xvfb did not start"
  echo "$passed passed, $failed failed"
  exit 1
fi
export DISPLAY=:$(head -1 "$work/display")
# Made before the programs run, so that Wine's services do not inherit their output files.
if ! timeout 300 wineboot -i >"$work/wineboot.log" 2>&1; then
  fail "wineboot -i did not make the prefix ($(tail -1 "$work/wineboot.log"))"
fi

run() {  # run EXE ARGS...: its output, line ends as Linux has them
  timeout 60 wine "$dir/$1" "${@:2}" >"$work/out" 2>&1
  local status=$?
  tr -d '\r' <"$work/out"
  return $status
}
for program in kestro-update kestro-package; do
  said=$(run "$program.exe" --version)
  check "$program.exe --version says \"$program $version\" (said: $said)" \
    [ "$said" = "$program $version" ]
done

# A Chinese file name goes through the wide command line whole, both ways.
files=$work/files
mkdir -p "$files"
built=$(cd "$files" && run kestro-package.exe build 固件.dat --record size=64)
listed=$(cd "$files" && run kestro-package.exe list 固件.dat)
chinese=0
[[ $built == "固件.dat: 1 record(s), 92 bytes" && -s $files/固件.dat && $listed == *"length 64"* ]] &&
  chinese=1
check "kestro-package.exe builds and lists 固件.dat (said: $built)" [ "$chinese" = 1 ]

# The dialog: its window, with the program's title, within a minute.
(cd "$work" && exec wine "$dir/KestroUpdate.exe" >"$work/dialog.log" 2>&1) &
dialog=$!
title=
for _ in $(seq 120); do
  title=$(xwininfo -root -tree 2>/dev/null | sed -n 's/^ *0x[0-9a-f]* "\(Kestro Update[^"]*\)".*/\1/p' |
    head -1)
  [[ -n $title ]] && break
  sleep 0.5
done
check "KestroUpdate.exe opens its dialog (window: ${title:-none})" [ -n "$title" ]
timeout 30 wineserver -k >/dev/null 2>&1
wait "$dialog" 2>/dev/null

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
