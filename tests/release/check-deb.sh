#!/usr/bin/env bash
# Checks the Debian package as it ships: lintian finds no error or warning; it holds exactly the
# expected entries with their modes, all root's and of one date; its programs hold no build path;
# both man pages render without a warning; both programs, taken from it, tell its version, the
# project's.
set -uo pipefail

deb=$(realpath "${1:?usage: tests/release/check-deb.sh DEB}")
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

passed=0
failed=0
check() {
  local name=$1
  shift
  if "$@"; then
    echo "ok    $name"
    passed=$((passed + 1))
  else
    echo "FAIL  $name"
    failed=$((failed + 1))
  fi
}

version=$("$here/../../scripts/project-version.sh")

# --- what Debian's own checker says (its overrides are in the package, each with its reason)
lintian_clean() {
  local output status
  output=$(lintian --fail-on error,warning "$deb" 2>&1)
  status=$?
  output=$(grep -v 'running with root privileges' <<<"$output")
  [[ -n $output ]] && printf '%s\n' "$output" | sed 's/^/      lintian: /'
  return $status
}
check "lintian: no error or warning" lintian_clean

# --- the entries, their modes and owners, in the package's order
expected_data="drwxr-xr-x root/root ./
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/kestro-package
-rwxr-xr-x root/root ./usr/bin/kestro-update
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/udev/
drwxr-xr-x root/root ./usr/lib/udev/rules.d/
-rw-r--r-- root/root ./usr/lib/udev/rules.d/70-kestro-controller.rules
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/kestro-update/
-rw-r--r-- root/root ./usr/share/doc/kestro-update/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/kestro-update/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/kestro-package.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/kestro-update.1.gz"
expected_control="drwxr-xr-x root/root ./
-rw-r--r-- root/root ./control
-rw-r--r-- root/root ./md5sums
-rwxr-xr-x root/root ./postinst
-rwxr-xr-x root/root ./postrm"

same_listing() {  # NAME EXPECTED ACTUAL
  [[ $2 == "$3" ]] && return 0
  echo "      $1, expected (<) and in the package (>):"
  diff <(echo "$2") <(echo "$3") | sed 's/^/      /'
  return 1
}
listing() { tar -tv --full-time | awk '{ print $1, $2, $6 }'; }
check "the files, their modes and owners" \
  same_listing files "$expected_data" "$(dpkg-deb --fsys-tarfile "$deb" | listing)"
check "the control files, their modes and owners" \
  same_listing control "$expected_control" "$(dpkg-deb --ctrl-tarfile "$deb" | listing)"
one_date() {
  local dates
  dates=$({ dpkg-deb --fsys-tarfile "$deb" && dpkg-deb --ctrl-tarfile "$deb"; } |
    tar -tv --full-time --ignore-zeros | awk '{ print $4, $5 }' | sort -u)
  [[ $(wc -l <<<"$dates") == 1 ]] || { echo "      dates: $dates"; return 1; }
}
check "every entry of one date" one_date

# --- the programs as installed: dpkg -x into a throwaway root
dpkg -x "$deb" "$tmp/root"
root=$tmp/root
no_build_paths() {
  local found
  found=$(strings -a "$root"/usr/bin/* | grep -E '\.(cpp|h)\b|/(build|home|tmp|work|root)/')
  [[ -z $found ]] || { echo "      $found"; return 1; }
}
check "no build path or source name in the programs" no_build_paths
says_version() {  # PROGRAM
  local said
  said=$("$root/usr/bin/$1" --version 2>&1)
  [[ $said == "$1 $version" ]] || { echo "      $1 --version: '${said%%$'\n'*}'"; return 1; }
}
check "kestro-update --version: $version" says_version kestro-update
check "kestro-package --version: $version" says_version kestro-package
check "the package's version: $version" test "$(dpkg-deb -f "$deb" Version)" == "$version"

# --- the man pages render without a warning, as man and as groff see them
renders_quietly() {  # PAGE.gz
  local said
  said=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null)
  said+=$(zcat "$1" | groff -ww -z -man 2>&1)
  [[ -z $said ]] || { echo "      $said"; return 1; }
}
for page in kestro-update kestro-package; do
  check "man page $page(1) renders without warnings" \
    renders_quietly "$root/usr/share/man/man1/$page.1.gz"
done

echo "check-deb: $passed passed, $failed failed"
((failed == 0))
