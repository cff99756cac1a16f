#!/usr/bin/env bash
# Builds gxemp, starts the service on the simulated TV on a private socket and shows it working
# end to end: a client watches events, a simulated gesture and a face detection reach it, the
# voice guide is switched on and off, a scenario plays a swipe session and checks every event;
# then the service is stopped.
#
#   scripts/demo.sh                      build with the default preset, then run the demo
#   GXEMP_DEMO_BUILD_DIR=DIR scripts/demo.sh   run the demo on an existing build in DIR
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${GXEMP_DEMO_BUILD_DIR:-}" ]; then
  [ -x scripts/setup.sh ] && scripts/setup.sh
  cmake --preset default >/dev/null
  # Only what the demo runs: the service, the client and the simulated motion library.
  cmake --build --preset default --target gxemp gxempctl gesture-bridge
  build=build/default
else
  build=$GXEMP_DEMO_BUILD_DIR
fi
gxemp=$build/gxemp
ctl=$build/gxempctl

work=$(mktemp -d)
export GXEMP_ADDRESS="unix:path=$work/host.sock"
export GXEMP_SETTINGS="$work/settings.ini"
service_pid=
monitor_pid=
cleanup() {
  [ -n "$monitor_pid" ] && kill "$monitor_pid" 2>/dev/null || true
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Headings in bold on a terminal only: a file or a pipe gets no colour codes.
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold= plain=; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
# Each command is echoed as it can be pasted back into a shell: words that need it are quoted.
quote() {
  local word
  for word; do
    if [[ $word =~ ^[A-Za-z0-9_./:=,+@%-]+$ ]]; then
      printf ' %s' "$word"
    else
      printf " '%s'" "${word//\'/\'\\\'\'}"
    fi
  done
}
run() { printf '$%s\n' "$(quote "$@")"; "$@"; }

step "Starting the service on the simulated TV at $GXEMP_ADDRESS"
"$gxemp" --address "$GXEMP_ADDRESS" --log "$work/gxemp.log" \
  --profile Platform/sim/profiles/default.ini 2>"$work/stderr" &
service_pid=$!
for _ in $(seq 100); do
  "$ctl" info >/dev/null 2>&1 && break
  sleep 0.1
done
run "$ctl" info

step "A client subscribes to every gesture (widget 'demo') and to face events"
"$ctl" monitor --widget demo --count 2 --timeout 20 >"$work/monitor.out" &
monitor_pid=$!
for _ in $(seq 100); do
  grep -q '"subscribed"' "$work/monitor.out" 2>/dev/null && break
  sleep 0.1
done
cat "$work/monitor.out"

step "The simulated camera sees a grab and a face"
run "$ctl" sim gesture EVENT_MOTION_GRAB 'hand closed at 320,240'
run "$ctl" sim face-signal 0 id=7 x=10 y=20 w=30 h=40
wait "$monitor_pid"
monitor_pid=
echo "Events the client received:"
tail -n +2 "$work/monitor.out"

step "The voice guide switch (settings key db/menu/accessibility/tts)"
run "$ctl" sim settings get db/menu/accessibility/tts
run "$ctl" call EnableTTSEngine
run "$ctl" sim settings get db/menu/accessibility/tts
run "$ctl" call IsSupportTTS
run "$ctl" call DisableTTSEngine
run "$ctl" sim settings get db/menu/accessibility/tts

step "One engine for several commands: gxempctl session (JSON lines)"
printf '%s\n' 'GetGestureCameraStatus' 'GetUserLevel' 'NoSuchCommand' | run "$ctl" session

step "A scenario: a swipe session on a timeline, each gesture checked on arrival"
echo "(scenarios/swipe.jsonl; every step is printed too, shown here are the events and the verdict)"
printf '$ %s\n' "$ctl play scenarios/swipe.jsonl"
"$ctl" play scenarios/swipe.jsonl >"$work/play.out"
grep -E '"type":"(event|passed)"' "$work/play.out"

step "Stopping the service (SIGTERM)"
kill -TERM "$service_pid"
status=0
wait "$service_pid" || status=$?
service_pid=
echo "service exit status: $status"
echo "last lines of its log:"
grep 'EMP-HOST' "$work/gxemp.log" | tail -n 6
[ "$status" -eq 0 ]
echo
echo "Demo finished. To drive it yourself, see README.md (\"Running it yourself\");"
echo "\`gxempctl view\` serves a live page of the gestures and faces the service reports."
