#!/usr/bin/env bash
# Checks gxemp's Debian package: it holds what an install holds, laid out for /usr
# (check-tree.sh on its contents), depends on the packages of the libraries its programs link,
# runs no maintainer script that enables or starts a unit, its changelog names its version, and
# lintian finds no error (its warnings are printed).
#   package.sh DEB LIBDIR
set -euo pipefail
deb=$1 libdir=$2
here=$(dirname "$0")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
errors=0
fail() {
    echo "FAIL: $*" >&2
    errors=$((errors + 1))
}

dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$tmp/listing"
dpkg-deb -x "$deb" "$tmp/root"
"$here/check-tree.sh" "$tmp/root" /usr "$libdir" || fail "the package's tree"
grep -q '^/etc/' "$tmp/listing" && fail "the package installs into /etc: $(grep '^/etc/' "$tmp/listing")"

depends=$(dpkg-deb -f "$deb" Depends)
for package in libc6 libstdc++6 libgcc-s1 libglib2.0-0 libjsoncpp25 libsystemd0; do
    [[ ", $depends," == *", $package ("* ]] || fail "Depends lacks $package: $depends"
done

dpkg-deb -e "$deb" "$tmp/control"
scripts=$(find "$tmp/control" -type f ! -name control ! -name md5sums -printf '%f ')
[[ $scripts == "postinst " ]] || fail "maintainer scripts: $scripts"
grep -qE 'systemctl|deb-systemd|invoke-rc' "$tmp/control/postinst" &&
    fail "postinst enables or starts a unit"

version=$(dpkg-deb -f "$deb" Version)
read -r _ changelog _ < <(zcat "$tmp/root/usr/share/doc/gxemp/changelog.gz")
[[ $changelog == "($version)" ]] || fail "the changelog's first entry is $changelog, not $version"

lintian --fail-on error --tag-display-limit 0 "$deb" >"$tmp/lintian" 2>&1 ||
    fail "lintian: errors"
grep -v '^running with root privileges' "$tmp/lintian" | sed 's/^/lintian: /' || true

((errors == 0)) || exit 1
echo "package: $deb checked"
