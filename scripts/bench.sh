#!/usr/bin/env bash
# Builds the benchmarks and runs every one of them, printing tables of figures and of ratios
# against baselines measured in the same run. Nothing here passes or fails on a time.
#
#   scripts/bench.sh                 build the default preset (build/default) and run all
#   BUILD_DIR=build/bench scripts/bench.sh   use another build directory (configured here with
#                                    -DGXEMP_BUILD_BENCH=ON, RelWithDebInfo, if it is new)
#   REPEAT=5 scripts/bench.sh        rounds of each end-to-end figure (median reported; default 3)
#   scripts/bench.sh inproc | e2e [SECTION...]   only one of the two programs
#                                    (SECTION: roundtrip, events, footprint, startup)
#
# Run it on a quiet machine: the figures share the cores with whatever else runs.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,12s/^# \{0,1\}//p' "$0"; }

repeat="${REPEAT:-3}"
what="${1:-all}"
[ $# -gt 0 ] && shift
case "$what" in
  all | inproc | e2e) ;;
  -h | --help) usage; exit 0 ;;
  *) echo "bench.sh: no part named '$what' (all, inproc or e2e)" >&2; usage >&2; exit 2 ;;
esac

if [ -n "${BUILD_DIR:-}" ]; then
  build="$BUILD_DIR"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGXEMP_BUILD_BENCH=ON >/dev/null
  fi
  ninja -C "$build" -j2 gxemp_bench_inproc gxemp_bench_e2e
else
  scripts/setup.sh
  build=build/default
  cmake --preset default >/dev/null
  cmake --build --preset default --target gxemp_bench_inproc gxemp_bench_e2e
fi
bench="$build/bench"

echo "=== machine: $(nproc) cores, $(uname -r), load:$(uptime | sed 's/.*load average://')"
echo "=== build: $build ($(grep -m1 '^CMAKE_BUILD_TYPE' "$build/CMakeCache.txt" | cut -d= -f2))"

if [ "$what" = all ] || [ "$what" = inproc ]; then
  echo "=== in process (median of 5 repetitions)"
  "$bench/gxemp_bench_inproc" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.5 --benchmark_color=false "$@"
fi
if [ "$what" = all ] || [ "$what" = e2e ]; then
  echo "=== end to end (median of $repeat rounds)"
  "$bench/gxemp_bench_e2e" --repeat "$repeat" "$@"
fi
echo "=== load after the run:$(uptime | sed 's/.*load average://')"
