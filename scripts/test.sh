#!/usr/bin/env bash
# The test command: installs what is missing (Debian packages), builds the daemon and its tests,
# and runs every test against a throwaway PostgreSQL cluster (with them, the Debian package is
# built, checked by lintian, installed, checked and purged), then again under AddressSanitizer
# with UndefinedBehaviorSanitizer, and the threaded and database tests under ThreadSanitizer;
# last, each fuzz target for a bounded time (scripts/fuzz.sh; FUZZ_SECONDS=0 skips it).
#
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the plain build only
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/install-deps.sh

if [ "${CI:-}" = true ] || [ "${FORMAT_CHECK:-0}" = 1 ]; then
  git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror
fi

# No file includes a header of a higher layer (docs/architecture.md).
scripts/check_layers.sh

jobs=$(nproc)
build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

build build
ctest --test-dir build --output-on-failure -j 2 --timeout 600

[ $quick = 1 ] && exit 0

build build-asan -DSANITIZE=address,undefined
# The package test builds its package from the tree, whatever the build: once is enough.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j 2 --timeout 600 -LE package

build build-tsan -DSANITIZE=thread
# TSan needs a non-randomised address space on some kernels.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  setarch "$(uname -m)" -R ctest --test-dir build-tsan -L 'threads|db|e2e' --output-on-failure -j 2 --timeout 600

# The fuzz targets, each for FUZZ_SECONDS (default 60; 0 skips them).
if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
  scripts/fuzz.sh
fi
