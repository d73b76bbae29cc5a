#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, only those missing.
# --headless: only what the program without the window and the README's quick
# start need (no Qt, no test or packaging tools).
set -euo pipefail

HEADLESS=(
  build-essential cmake g++ pkg-config
  libssl-dev openssl libpugixml-dev
  mosquitto socat
)
PACKAGES=(
  "${HEADLESS[@]}"
  libgtest-dev googletest libbenchmark-dev
  clang-format clang python3
  qt6-base-dev qt6-svg-dev libgl-dev xvfb xauth
  dpkg-dev file lintian
)
[ "${1:-}" = --headless ] && PACKAGES=("${HEADLESS[@]}")

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
