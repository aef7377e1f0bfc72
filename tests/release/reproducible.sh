#!/usr/bin/env bash
# The release is reproducible and sound: this checkout's commit cloned into two folders of
# different names and depths, scripts/release.sh run in each at a different time, time zone and
# umask, the two runs' zip and deb compared byte for byte, then one run's artefacts checked
# (check-deb.sh, check-windows.sh). The release is of the commit: changes not committed are not in
# it, and it says so.
set -euo pipefail
start=$SECONDS
root=$(cd "$(dirname "$0")/../.." && pwd)
commit=$(git -C "$root" rev-parse HEAD)
if [[ -n $(git -C "$root" status --porcelain) ]]; then
  echo "reproducible: the checkout has changes not committed; they are not in the release of" \
    "commit $commit checked here" >&2
fi

tmp=$(mktemp -d -t kestro-reproducible.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
# Two places, so that a build path that leaks into an artefact shows.
first=$tmp/a
second=$tmp/second-place/KestroUpdate
for dir in "$first" "$second"; do
  git clone -q --no-local --no-checkout "$root" "$dir"
  # A commit no branch of the checkout holds (a detached HEAD) is fetched by its name.
  git -C "$dir" cat-file -e "$commit^{commit}" 2>/dev/null || git -C "$dir" fetch -q origin "$commit"
  git -C "$dir" -c advice.detachedHead=false checkout -q --detach "$commit"
done

echo "=== release in $first"
(cd "$first" && umask 022 && TZ=UTC scripts/release.sh)
sleep 1  # not the same second, whatever the build took
echo "=== release in $second"
(cd "$second" && umask 002 && TZ=Asia/Shanghai scripts/release.sh)

# Where two artefacts of one name differ, for the one who has to find out why.
explain() {
  case $1 in
    *.deb)
      dpkg-deb -R "$1" "$tmp/first-deb" && dpkg-deb -R "$2" "$tmp/second-deb"
      diff -r "$tmp/first-deb" "$tmp/second-deb"
      diff <(dpkg-deb -c "$1") <(dpkg-deb -c "$2")
      ;;
    *.zip) diff <(unzip -lv "$1" | tail -n +2) <(unzip -lv "$2" | tail -n +2) ;;
  esac
}

same=0
while read -r _ name; do
  if cmp -s "$first/dist/$name" "$second/dist/$name"; then
    echo "same bytes: $name"
  else
    echo "DIFFERENT: $name"
    cmp "$first/dist/$name" "$second/dist/$name" || true
    explain "$first/dist/$name" "$second/dist/$name" | head -40 || true
    same=1
  fi
done <"$first/dist/SHA256SUMS"
cmp -s "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS" || same=1

status=0
((same == 0)) || status=1
version=$("$first/scripts/project-version.sh")
"$first/tests/release/check-deb.sh" "$first/dist/kestro-update_${version}_amd64.deb" || status=1
"$first/tests/release/check-windows.sh" "$first/dist/KestroUpdate-$version-windows-x64.zip" ||
  status=1
cat "$first/dist/SHA256SUMS"
echo "reproducible: $((SECONDS - start)) s, $( ((status == 0)) && echo passed || echo FAILED)"
exit $status
