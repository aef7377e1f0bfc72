#!/usr/bin/env bash
# Builds OUTDIR/kestro-update_<version>_amd64.deb for Debian 12: kestro-update and kestro-package
# from the release-native preset (optimised, hardened, stripped, no build paths in them), the udev
# rule, the man pages, and packaging/deb/ (control, copyright, maintainer scripts). The same bytes
# from the same commit wherever and whenever it is built: every entry root's, in dpkg-deb's sorted
# order, dated SOURCE_DATE_EPOCH (the commit's time unless set).
#
# dpkg-deb, not CPack: full control of the layout, ownership and times, and it honours
# SOURCE_DATE_EPOCH.
set -euo pipefail

out=$(realpath -m "${1:?usage: scripts/release-deb.sh OUTDIR}")
cd "$(dirname "$0")/.."
version=$(scripts/project-version.sh)
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH LC_ALL=C TZ=UTC
umask 022

# The preset: -O2 as Debian builds (GCC 12's -O3 warns falsely of array bounds in std::vector, and
# warnings are errors), the hardening lintian looks for (fortify, stack protector, PIE, full
# RELRO), and -ffile-prefix-map so that no path of this checkout gets into the programs.
build=build/release-native
# From nothing: a cache or an object left by an earlier configuration has no place in a release.
rm -rf "$build"
cmake --preset release-native >/dev/null
cmake --build --preset release-native

# The package's tree where dpkg-shlibdeps expects it, below a debian/ with a control file.
work=$build/deb
root=$work/debian/kestro-update
doc=$root/usr/share/doc/kestro-update
mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/lib/udev/rules.d" "$root/usr/share/man/man1" \
  "$doc"

install -m 0755 "$build/cli/kestro-update" "$build/tools/package/kestro-package" "$root/usr/bin/"
# As dh_strip does: symbols and the compiler's notes out, the build id kept.
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root"/usr/bin/*
install -m 0644 cli/70-kestro-controller.rules "$root/usr/lib/udev/rules.d/"

# The pages dated and versioned by the release; gzip -n keeps no name or time.
date=$(date -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)
for page in cli/kestro-update.1 tools/package/kestro-package.1; do
  sed "s/^\.TH \([A-Z-]*\) 1 .*/.TH \1 1 $date \"KestroUpdate $version\" \"User Commands\"/" \
    "$page" | gzip -9n >"$root/usr/share/man/man1/$(basename "$page").gz"
done

maintainer=$(sed -n 's/^Maintainer: //p' packaging/deb/control.in)
install -m 0644 packaging/deb/copyright "$doc/"
# changelog.gz, not changelog.Debian.gz: the package is native (its version has no Debian
# revision), and policy (12.7) names a native package's changelog so.
{
  echo "kestro-update ($version) stable; urgency=medium"
  echo
  echo "  * KestroUpdate $version, built from commit"
  echo "    $(git rev-parse HEAD)."
  echo
  echo " -- $maintainer  $(date -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$doc/changelog.gz"

# Where lintian is overruled, each with its reason (none so far; tests/release/check-deb.sh lists
# the file when there is).
if [[ -f packaging/deb/lintian-overrides ]]; then
  install -D -m 0644 packaging/deb/lintian-overrides "$root/usr/share/lintian/overrides/kestro-update"
fi

# Depends from the libraries the programs load and the symbols they use, with the least versions
# Debian 12's symbols files give for them: a list written by hand would guess those versions.
printf 'Source: kestro-update\n\nPackage: kestro-update\nArchitecture: amd64\n' \
  >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O debian/kestro-update/usr/bin/* |
  sed -n 's/^shlibs:Depends=//p')
# In KiB as dpkg-gencontrol counts: each file rounded up, one for each folder.
installed_size=$(cd "$root" && find usr \( -type f -printf '%s\n' \) -o -printf '1024\n' |
  awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')

sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$installed_size/" \
  -e "s/@DEPENDS@/$depends/" packaging/deb/control.in >"$root/DEBIAN/control"
install -m 0755 packaging/deb/postinst packaging/deb/postrm "$root/DEBIAN/"
(cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

# Every folder 0755 whatever the umask of the checkout, every entry dated by the release.
find "$root" -type d -exec chmod 0755 {} +
find "$root" -exec touch --no-dereference --date="@$SOURCE_DATE_EPOCH" {} +

mkdir -p "$out"
deb=$out/kestro-update_${version}_amd64.deb
# One compressor thread: xz's output depends on how it splits the work.
dpkg-deb --root-owner-group --threads-max=1 -Zxz --build "$root" "$deb" >/dev/null
echo "release-deb: $deb"
