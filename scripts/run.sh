#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it with the given switches.
# With --headless only the program without the window is built (no Qt, no tests).
set -euo pipefail
cd "$(dirname "$0")/.."
for arg in "$@"; do
  if [ "$arg" = --headless ]; then
    bash scripts/install-deps.sh --headless
    bash scripts/build.sh headless orvane
    exec build/headless/src/app/orvane "$@"
  fi
done
bash scripts/install-deps.sh
bash scripts/build.sh release
exec build/release/src/app/orvane "$@"
