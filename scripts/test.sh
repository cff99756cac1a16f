#!/usr/bin/env bash
# Builds and runs every test: the normal build, then the Debian package (scripts/package.sh: its
# own build for /usr, cpack, its checks and lintian), then AddressSanitizer+UBSan and
# ThreadSanitizer builds, then the fuzz targets (corpus replay plus a short fuzzing run each).
#   scripts/test.sh            everything
#   scripts/test.sh default    only the named configurations (default package asan tsan fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(default package asan tsan fuzz)

times=()
stage() { # NAME COMMAND...: runs one stage and keeps its time for the summary
  local name=$1 start=$SECONDS
  shift
  echo "=== ${name}"
  "$@"
  times+=("$(printf '%-28s %5d s' "$name" $((SECONDS - start)))")
  echo "=== ${name}: $((SECONDS - start)) s"
}

for c in "${configs[@]}"; do
  if [ "$c" = package ]; then
    stage "package: build, cpack, lintian" scripts/package.sh
  else
    cmake --preset "$c" >/dev/null
    stage "${c}: build" cmake --build --preset "$c"
    stage "${c}: tests" ctest --preset "$c"
  fi
done

fuzz_runs() { # two at a time, one per core
  scripts/fuzz.sh 20 execute process_signal & first=$!
  scripts/fuzz.sh 20 profile settings_store || { wait "$first"; return 1; }
  wait "$first"
}
if printf '%s\n' "${configs[@]}" | grep -qx fuzz; then
  stage "fuzz: short fuzzing runs" fuzz_runs
fi
echo "=== stage times"
printf '%s\n' "${times[@]}"
echo "=== all tests passed: ${configs[*]} ($SECONDS s)"
