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

for c in "${configs[@]}"; do
  start=$SECONDS
  if [ "$c" = package ]; then
    echo "=== package: build, cpack -G DEB, checks and lintian"
    scripts/package.sh
  else
    echo "=== ${c}: configure and build"
    cmake --preset "$c" >/dev/null
    cmake --build --preset "$c"
    echo "=== ${c}: tests"
    ctest --preset "$c"
  fi
  echo "=== ${c}: done in $((SECONDS - start)) s"
done

if printf '%s\n' "${configs[@]}" | grep -qx fuzz; then
  echo "=== fuzz: short fuzzing runs (two at a time, one per core)"
  scripts/fuzz.sh 20 execute process_signal & first=$!
  scripts/fuzz.sh 20 profile settings_store || { wait "$first"; exit 1; }
  wait "$first"
fi
echo "=== all tests passed: ${configs[*]} ($SECONDS s)"
