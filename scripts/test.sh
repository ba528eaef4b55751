#!/bin/sh
# Installs the dependencies, builds, and runs the whole test suite; then the unit tests again
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
ctest --test-dir build -j "$(nproc)" --output-on-failure --timeout 600
scripts/build.sh build-asan -DQUILLMARK_SANITIZE=ON -DQUILLMARK_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -L unit -j "$(nproc)" --output-on-failure --timeout 600
