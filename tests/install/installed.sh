#!/usr/bin/env bash
# Installs gxemp into a temporary DESTDIR and runs the installed programs from where the install
# put them, with the build and source trees out of sight: in a private mount namespace the staged
# tree is laid over the prefix (overlay) and an empty tmpfs over both trees, so nothing else sees
# either and tests running at the same time are untouched. Then, end to end: a simulated gesture
# reaches a monitoring client (the service found its installed motion library), the installed
# scenarios play, bash-completion finds the installed completion and every name it offers is one
# the live service accepts, man finds both pages, and systemd accepts the units.
#   installed.sh BUILD_DIR SOURCE_DIR PREFIX LIBDIR
set -euo pipefail
build=$1 source=$2 prefix=$3 libdir=$4
here=$(cd "$(dirname "$0")" && pwd)

if [[ ${GXEMP_INSTALL_TEST_INSIDE-} != 1 ]]; then
    stage=$(mktemp -d)
    trap 'rm -rf "$stage"' EXIT
    DESTDIR=$stage/root cmake --install "$build" >/dev/null
    "$here/check-tree.sh" "$stage/root" "$prefix" "$libdir"
    [[ -d $prefix ]] || {
        echo "SKIP: the prefix $prefix does not exist to lay the install over"
        exit 77
    }
    ns=(unshare --mount --propagation private)
    ((EUID == 0)) || ns=(unshare --user --map-root-user --mount --propagation private)
    "${ns[@]}" mount -t overlay overlay -o "lowerdir=$stage/root$prefix:$prefix" "$prefix" ||
    {
        echo "SKIP: cannot lay the install over $prefix in a private mount namespace"
        exit 77
    }
    GXEMP_INSTALL_TEST_INSIDE=1 STAGE=$stage "${ns[@]}" bash "$0" "$@"
    exit
fi

stage=$STAGE
source "$here/complete.bash"
fail() {
    echo "FAIL: $*" >&2
    [[ ! -f $stage/gxemp.log ]] || tail -n 20 "$stage/gxemp.log" >&2
    exit 1
}
# Waits, a bounded number of times, until the command succeeds.
await() {
    for _ in $(seq 300); do "$@" >/dev/null 2>&1 && return 0 || sleep 0.1; done
    fail "never: $*"
}
mount -t overlay overlay -o "lowerdir=$stage/root$prefix:$prefix" "$prefix"
mount -t tmpfs -o size=1m tmpfs "$build"
mount -t tmpfs -o size=1m tmpfs "$source"
cd "$stage"
[[ ! -e $build/CMakeCache.txt && ! -e $source/CMakeLists.txt ]] || fail "the trees are in sight"

export PATH=$prefix/bin:$prefix/sbin:/usr/bin:/bin XDG_RUNTIME_DIR=$stage/run
export GXEMP_ADDRESS=unix:path=$stage/run/host.sock GXEMP_SETTINGS=$stage/settings.ini
mkdir -m 700 "$stage/run"
service=
trap '[[ -z $service ]] || kill "$service" 2>/dev/null' EXIT

[[ $(command -v gxemp gxempctl) == "$prefix/sbin/gxemp"$'\n'"$prefix/bin/gxempctl" ]] ||
    fail "the programs on PATH are $(command -v gxemp gxempctl | tr '\n' ' ')"
gxemp --address "$GXEMP_ADDRESS" --log "$stage/gxemp.log" \
    --profile "$prefix/share/gxemp/profiles/default.ini" &
service=$!
await gxempctl info

gxempctl monitor --widget installed --count 1 --timeout 120 >"$stage/events" &
monitor=$!
await grep -q '"subscribed"' "$stage/events"
gxempctl sim gesture EVENT_MOTION_GRAB 'from the installed tree' >/dev/null
wait "$monitor" || fail "the monitor saw no event"
grep -qF '"data":"from the installed tree","engine":1,"name":"EVENT_MOTION_GRAB-installed"' \
    "$stage/events" || fail "the gesture did not reach the monitor: $(cat "$stage/events")"

gxempctl play "$prefix"/share/gxemp/scenarios/*.jsonl | tail -n 1 | grep -q '"type":"passed"' ||
    fail "the installed scenarios did not pass"
[[ $(gxempctl sim settings path) == "$GXEMP_SETTINGS" ]] ||
    fail "the service keeps its settings in $(gxempctl sim settings path), not $GXEMP_SETTINGS"

__load_completion gxempctl || fail "bash-completion does not find the gxempctl completion"
calls=$(complete_line gxempctl call '')
gestures=$(complete_line gxempctl sim gesture '')
(($(wc -l <<<"$calls") >= 50)) || fail "call completes only: $calls"
served=$(gxempctl session <<<"$calls" | grep -c '"served":true')
((served == $(wc -l <<<"$calls"))) || fail "$served of the completed call commands are served"
for gesture in $gestures; do
    gxempctl sim gesture "$gesture" >/dev/null || fail "sim gesture refuses $gesture"
done

pages=$(man -w gxemp gxempctl | xargs realpath)
[[ $pages == "$(realpath "$prefix"/share/man/man{8/gxemp.8,1/gxempctl.1}.gz)" ]] ||
    fail "man finds $pages"

# The units and the sysusers.d file as systemd reads them (the programs they name must exist).
systemd-analyze verify --man=no "$prefix/lib/systemd/system/gxemp-bus.service" ||
    fail "gxemp-bus.service does not verify"
systemd-analyze --user verify --man=no "$prefix"/lib/systemd/user/gxemp{.socket,.service,-bridge.service} ||
    fail "the user units do not verify"
mkdir "$stage/sysroot"
users=$(systemd-sysusers --dry-run --root="$stage/sysroot" "$prefix/lib/sysusers.d/gxemp.conf" 2>&1)
[[ $users == *"Creating user 'gxemp'"* && $users == *"Creating group 'gxemp-clients'"* ]] ||
    fail "sysusers.d/gxemp.conf: $users"

echo "installed: the service and gxempctl ran from $prefix without the build tree"
