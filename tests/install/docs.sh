#!/usr/bin/env bash
# The manual pages render without a warning and document every option and command that the
# programs' --help lists; the bash completion completes the rows of the table below and offers
# every command, `sim` subcommand and option of `gxempctl --help`.
#   docs.sh MAN_DIR COMPLETION GXEMP GXEMPCTL GXEMP_BRIDGE
set -euo pipefail
man_dir=$1 completion=$2 gxemp=$3 gxempctl=$4 bridge=$5
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
errors=0
fail() {
    echo "FAIL: $*" >&2
    errors=$((errors + 1))
}

ctl_help=$("$gxempctl" --help)
commands=$(sed -n 's/^  \([a-z][a-z-]*\)\( .*\)\{0,1\}$/\1/p' <<<"$ctl_help" | sort -u)
sim_commands=$(grep -o 'sim [a-z][a-z-]*' <<<"$ctl_help" | sort -u)
options() { { grep -o -- '--[a-z][a-z-]*' || true; } | sort -u; }

# ---- Manual pages: each option as written, each command at the head of its paragraph.
for row in "gxemp.8 $gxemp" "gxempctl.1 $gxempctl" "gxemp-bridge.1 $bridge"; do
    read -r page program <<<"$row"
    text=$(MANWIDTH=80 man --warnings -l "$man_dir/$page" 2>"$tmp/warnings")
    [[ ! -s $tmp/warnings ]] || fail "$page: man warns: $(cat "$tmp/warnings")"
    while read -r option; do
        [[ $text == *"$option"* ]] || fail "$page does not document $option"
    done < <("$program" --help | options)
done
ctl_page=$(MANWIDTH=80 man -l "$man_dir/gxempctl.1" 2>/dev/null)
while read -r command; do
    grep -qE "^ {7}$command( |,|\$)" <<<"$ctl_page" || fail "gxempctl.1 has no paragraph '$command'"
done <<<"$commands"$'\n'"$sim_commands"

# ---- Completion, as bash-completion loads it.
source "$here/complete.bash"
source "$completion"
cd "$tmp"
mkdir -p dir/sub
touch dir/a.jsonl dir/b.txt dir/tv.ini

# the command line ('' an empty last word)    | what completing its last word offers
while IFS='|' read -r line expected; do
    read -ra words <<<"$line"
    [[ ${words[-1]} != "''" ]] || words[-1]=""
    read -ra want <<<"$expected"
    mapfile -t got < <(complete_line "${words[@]}")
    [[ ${got[*]} == "${want[*]}" ]] || fail "'$line': got '${got[*]}', expected '${want[*]}'"
done <<'ROWS'
gxempctl s                                   | session sim
gxempctl help pl                             | play
gxempctl help sim face-                      | face-callback face-signal face-version
gxempctl --bus s                             | session system
gxempctl --address=unix:path=/tmp/x.sock c   | call
gxempctl --timeout 5 call --json --app tv IsSup | IsSupportMotionRecognition IsSupportTTS
gxempctl call EnableTTSEngine ''             |
gxempctl monitor --no-                       | --no-face --no-motion
gxempctl monitor --count ''                  |
gxempctl sim ''  | camera drain entry-points face-callback face-signal face-version faces factory force gesture hide model motion-callback motion-state next-handle profile reset ring settings stored-faces trace
gxempctl sim gesture EVENT_MOTION_SLAP_      | EVENT_MOTION_SLAP_DOWN EVENT_MOTION_SLAP_LEFT EVENT_MOTION_SLAP_RIGHT EVENT_MOTION_SLAP_UP
gxempctl sim gesture EVENT_MOTION_GRAB ''    |
gxempctl sim face-signal 3 --no-data x       | x=
gxempctl sim settings ''                     | get path set
gxempctl play dir/a.jsonl dir/               | dir/a.jsonl dir/sub
gxempctl sim profile dir/                    | dir/sub dir/tv.ini
gxempctl record dir/                         | dir/a.jsonl dir/b.txt dir/sub dir/tv.ini
ROWS

# ---- Completion against the help: every command, subcommand and option is offered.
offered=$(complete_line gxempctl '')$'\n'$(complete_line gxempctl sim '' | sed 's/^/sim /')
offered+=$'\n'$(complete_line gxempctl --)
while read -r command; do
    offered+=$'\n'$(complete_line gxempctl "$command" -- | sed "s/^/$command /")
done <<<"$commands"
while read -r term; do
    grep -qxF -- "$term" <<<"$offered" || fail "the completion does not offer '$term'"
done < <(
    echo "$commands"
    echo "$sim_commands"
    head -n 1 <<<"$ctl_help" | options
    sed -n 's/^  \([a-z][a-z]*\) \(.*\)/\1 \2/p' <<<"$ctl_help" | grep -v '^sim ' |
        while read -r command rest; do
        options <<<"$rest" | sed "s/^/$command /"
    done
)

((errors == 0)) || exit 1
echo "docs: both manual pages and the completion agree with the programs"
