#!/usr/bin/env bash
# Installs the Debian packages gxemp needs to build, test and run. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config clang libclang-rt-14-dev
  scdoc man-db bash-completion dpkg-dev file lintian
  libjsoncpp-dev libglib2.0-dev libglib2.0-bin libsystemd-dev systemd dbus-daemon
  libgtest-dev libgmock-dev libbenchmark-dev
  libsoup-3.0-dev chromium
  nodejs node-typescript
  util-linux procps curl jq python3-gi
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
