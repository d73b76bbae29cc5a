#!/usr/bin/env bash
# Configures and builds one configuration: release (default), asan, tsan, or
# headless (the program without the window and the converter simulator: no Qt,
# no tests). Targets after the kind build only those.
# Usage: scripts/build.sh [release|asan|tsan|headless] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-release}"
[ $# -gt 0 ] && shift
case "$kind" in
  release) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON -DORVANE_BUILD_BENCHMARKS=OFF) ;;
  tsan) flags=(-DCMAKE_BUILD_TYPE=Debug -DORVANE_TSAN=ON -DORVANE_BUILD_BENCHMARKS=OFF) ;;
  headless) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_GUI=OFF -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_BENCHMARKS=OFF) ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac
# ccache, when present, makes rebuilds in several checkouts cheap.
if command -v ccache >/dev/null; then
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
  # Objects are shared between checkouts: debug info may name another checkout.
  export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
fi
cmake -S . -B "build/$kind" "${flags[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "build/$kind" -j "$(nproc)" "${targets[@]}"
