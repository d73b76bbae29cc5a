#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite: a
# normal build, one with AddressSanitizer + UndefinedBehaviorSanitizer, and one
# with ThreadSanitizer (the worker, watcher and channel threads share state);
# the release build also checks that every source is formatted (.clang-format).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

for kind in release asan tsan; do
  echo "=== $kind build ==="
  bash scripts/build.sh "$kind"
  if [ "$kind" = release ]; then
    echo "=== format check ==="
    cmake --build build/release --target format-check
  fi
  echo "=== $kind tests ==="
  ctest --test-dir "build/$kind" --output-on-failure -j "$(nproc)"
done
