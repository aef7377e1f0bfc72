#!/usr/bin/env bash
# Builds the release of this checkout's commit into dist/ (emptied first): the Windows zip
# (scripts/release-windows.sh), the Debian 12 package (scripts/release-deb.sh), and SHA256SUMS of
# both; then prints each with its size and hash, and the time it took. Every date in them is
# SOURCE_DATE_EPOCH (the commit's time unless set), so that the same commit gives the same bytes
# anywhere, at any time: tests/release/reproducible.sh checks that.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
commit=$(git rev-parse HEAD)
if [[ -n $(git status --porcelain) ]]; then
  echo "release: WARNING: the checkout differs from commit $commit (git status); the artefacts" \
    "are not that commit's" >&2
fi
version=$(scripts/project-version.sh)
zip=KestroUpdate-$version-windows-x64.zip
deb=kestro-update_${version}_amd64.deb

rm -rf dist
mkdir dist
scripts/release-windows.sh dist
scripts/release-deb.sh dist
(cd dist && sha256sum "$zip" "$deb" | LC_ALL=C sort -k2 >SHA256SUMS)

echo
echo "release $version of commit $commit (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH) in dist/:"
while read -r hash name; do
  printf '  %-40s %10s bytes  sha256 %s\n' "$name" "$(stat -c %s "dist/$name")" "$hash"
done <dist/SHA256SUMS
echo "release: $((SECONDS - start)) s"
