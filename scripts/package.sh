#!/usr/bin/env bash
# Builds the Debian packages into build/package: orvane (the program without
# the window, its systemd unit, user and port directory) and orvane-gui (the
# window), stripped. Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_BENCHMARKS=OFF)
if command -v ccache >/dev/null; then
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
  # Objects are shared between checkouts: debug info may name another checkout.
  export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
fi
cmake -S . -B build/package "${flags[@]}" >/dev/null
cmake --build build/package -j "$(nproc)"
(cd build/package && cpack -G DEB)
ls -l build/package/*.deb
