#!/usr/bin/env bash
# Checks an installed tree as the programs will find it: every file of files.txt is there, the
# programs find the private libraries through their RUNPATH, the service opens the motion library
# at its installed path, and the units start the installed service.
#   check-tree.sh ROOT PREFIX LIBDIR     ROOT: where the tree is (DESTDIR, an unpacked package)
set -euo pipefail
root=$1 prefix=$2 libdir=$3
here=$(dirname "$0")
errors=0
fail() {
    echo "FAIL: $*" >&2
    errors=$((errors + 1))
}

while read -r path; do
    path=${path//LIBDIR/$libdir}
    [[ -f $root$prefix/$path ]] || fail "not installed: $prefix/$path"
done < <(grep -v '^#' "$here/files.txt")

# file                               RUNPATH
while read -r file runpath; do
    got=$(readelf -d "$root$prefix/$file" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
    [[ $got == "$runpath" ]] || fail "$file: RUNPATH '$got', expected '$runpath'"
done <<ROWS
sbin/gxemp                           \$ORIGIN/$(realpath -m --relative-to="/sbin" "/$libdir/gxemp")
$libdir/gxemp/libgesture-bridge.so   \$ORIGIN
bin/gxempctl
ROWS

motion=$prefix/$libdir/gxemp/libgesture-bridge.so
opens=$(readelf -p .rodata "$root$prefix/sbin/gxemp" | sed -n 's/^ *\[ *[0-9a-f]*\]  \(.*libgesture-bridge\.so\)$/\1/p')
[[ $opens == "$motion" ]] || fail "sbin/gxemp opens the motion library at '$opens', not $motion"

for unit in user/gxemp.service system/gxemp-bus.service; do
    grep -q "^ExecStart=$prefix/sbin/gxemp\( \|\$\)" "$root$prefix/lib/systemd/$unit" ||
        fail "$unit does not start $prefix/sbin/gxemp"
done
grep -q "^ExecStart=$prefix/bin/gxemp-bridge\$" "$root$prefix/lib/systemd/user/gxemp-bridge.service" ||
    fail "gxemp-bridge.service does not start $prefix/bin/gxemp-bridge"
grep -q '^ListenStream=%t/gxemp/host.sock$' "$root$prefix/lib/systemd/user/gxemp.socket" ||
    fail "gxemp.socket does not listen on the default socket"

((errors == 0)) || exit 1
echo "check-tree: $root$prefix complete"
