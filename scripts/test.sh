#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite three times:
# a normal build, the whole suite under AddressSanitizer+UndefinedBehaviorSanitizer,
# and the concurrency tests under ThreadSanitizer.  Must run as root: the
# integration tests start the daemon in private mount namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "=== build and test (plain) ==="
build build
(cd build && ctest --output-on-failure -j"$jobs")

echo "=== build and test (AddressSanitizer + UndefinedBehaviorSanitizer) ==="
build build-asan -DKIV_SANITIZE=address
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest --output-on-failure -j"$jobs")

echo "=== build and test concurrency (ThreadSanitizer) ==="
build build-tsan -DKIV_SANITIZE=thread
# TSan needs the classic address-space layout on kernels with high mmap entropy.
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
   setarch "$(uname -m)" -R ctest --output-on-failure -j"$jobs" -L concurrency)
