#!/usr/bin/env bash
# Fuzzes each libFuzzer target of the fuzz build for SECONDS seconds and prints its executions.
# Builds nothing: run `cmake --preset fuzz && cmake --build --preset fuzz` first.
#   scripts/fuzz.sh SECONDS [TARGET...]     TARGET: execute, process_signal, profile, ...
# Each target starts from its seed corpus in tests/fuzz/corpus/<target>/ (never written to);
# new inputs go to a temporary directory. A crash, leak or failed check stops that target, its
# log is printed and the input that did it is kept in build/fuzz/crashes/<target>/; the script
# then exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

secs=${1:-}
if ! [[ "$secs" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh SECONDS [TARGET...]" >&2
  exit 2
fi
shift

bindir=build/fuzz/fuzzers
if [ ! -d "$bindir" ]; then
  echo "fuzz.sh: no $bindir: build the fuzz preset first" >&2
  exit 2
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in "$bindir"/fuzz_*; do
    [ -x "$bin" ] && targets+=("${bin##*/fuzz_}")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets in $bindir" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=()
printf '%-16s %12s %8s %10s\n' target executions seconds "exec/s"
for name in "${targets[@]}"; do
  bin=$bindir/fuzz_$name
  seeds=tests/fuzz/corpus/$name
  mkdir -p "$work/$name/new" "$work/$name/artifacts"
  log=$work/$name/log
  start=$(date +%s.%N)
  # Run in the scratch directory: inputs name files (face images) relative to where it runs, and
  # the simulated libraries rewrite what they name.
  if (cd "$work/$name" && "$OLDPWD/$bin" -max_total_time="$secs" -timeout=20 -print_final_stats=1 \
      -artifact_prefix="$work/$name/artifacts/" "$work/$name/new" "$OLDPWD/$seeds") >"$log" 2>&1; then
    rc=0
  else
    rc=$?
  fi
  elapsed=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
  execs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -1)
  execs=${execs:-0}
  rate=$(awk -v n="$execs" -v t="$elapsed" 'BEGIN { printf "%d", (t > 0 ? n / t : 0) }')
  printf '%-16s %12s %8s %10s\n' "$name" "$execs" "$elapsed" "$rate"
  if [ "$rc" -ne 0 ]; then
    failed+=("$name")
    keep=build/fuzz/crashes/$name
    mkdir -p "$keep"
    cp -a "$work/$name/artifacts/." "$keep/" 2>/dev/null || true
    cp "$log" "$keep/log"
    echo "--- $name failed (exit $rc); inputs kept in $keep; last lines of its log:" >&2
    tail -n 60 "$log" >&2
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz.sh: ${#targets[@]} targets, no crash in ${secs}s each"
