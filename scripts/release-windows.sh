#!/usr/bin/env bash
# Builds the Windows release of this checkout: OUTDIR/KestroUpdate-<version>-windows-x64.zip with
# KestroUpdate.exe, kestro-update.exe, kestro-package.exe and README.txt, in that order. The same
# commit gives the same bytes wherever and whenever it is built: the programs carry no folder and
# no time of the build (the release-windows preset), and the zip's entries carry the commit's time
# (SOURCE_DATE_EPOCH, when not set already) and fixed modes, without extra fields. The build and
# its log are in build/release-windows/. Prints the zip's path.
#   scripts/release-windows.sh OUTDIR
set -euo pipefail
if [[ $# -ne 1 ]]; then
  echo "usage: scripts/release-windows.sh OUTDIR" >&2
  exit 2
fi
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."

version=$(scripts/project-version.sh)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
# Zip writes local times; zip and the tools take options from these.
export TZ=UTC LC_ALL=C
unset ZIPOPT ZIP
if [[ -n $(git status --porcelain --untracked-files=no) ]]; then
  echo "release-windows: uncommitted changes: this zip is not the commit's" >&2
fi

build=build/release-windows
mkdir -p "$build"
log=$build/release.log
# --fresh: nothing of an earlier configuration carries over into the release; the objects do, and
# are rebuilt when their flags differ.
if ! { cmake --preset release-windows --fresh && cmake --build --preset release-windows; } \
  >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "release-windows: the build failed (log: $log)" >&2
  exit 1
fi

programs=(KestroUpdate.exe kestro-update.exe kestro-package.exe)
stage=$build/zip
rm -rf "$stage"
mkdir -p "$stage"
for program in "${programs[@]}"; do
  cp "$build/$program" "$stage/$program"
  chmod 0755 "$stage/$program"
done
# Notepad's line ends.
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' res/README-windows.txt >"$stage/README.txt"
chmod 0644 "$stage/README.txt"
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*

zip=$out/KestroUpdate-$version-windows-x64.zip
rm -f "$zip" "$zip.partial"
# -X: no extra fields (owner, times); -D: no folder entries. The names in a fixed order.
(cd "$stage" && zip -q -X -D "$zip.partial" "${programs[@]}" README.txt)
mv "$zip.partial" "$zip"
echo "$zip"
