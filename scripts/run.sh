#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it with the given switches.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh release
exec build/release/src/app/orvane "$@"
