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
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_WERROR=ON -DKIV_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "=== build and test (plain) ==="
build build
(cd build && ctest --output-on-failure -j"$jobs")

echo "=== Debian packages (lintian) and install test ==="
bash scripts/package.sh build-deb
bash tests/install/install_test.sh build-deb

echo "=== build and test (AddressSanitizer + UndefinedBehaviorSanitizer) ==="
build build-asan -DKIV_SANITIZE=address
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest --output-on-failure -j"$jobs")

echo "=== build and test concurrency (ThreadSanitizer) ==="
# Only what the concurrency tests need: the daemon, its modules, and the test
# executables labelled "concurrency" (a test's executable has the test's name).
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_WERROR=ON -DKIV_SANITIZE=thread >/dev/null
# (ctest also lists the fixtures those tests need, such as clients_stage,
# which are tests but not targets.)
tsan_targets=$(cd build-tsan && ctest -N -L concurrency | sed -n 's/^ *Test *#[0-9]*: *//p' | grep -E '^(unit|it)_')
cmake --build build-tsan -j"$jobs" --target kiv-services-daemon kiv_test_modules $tsan_targets \
  $( [ -d methods/ldap ] && echo kivmodldapnss )
# TSan needs the classic address-space layout on kernels with high mmap entropy.
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
   setarch "$(uname -m)" -R ctest --output-on-failure -j"$jobs" -L concurrency)

echo "=== fuzzing (libFuzzer, ASan+UBSan) ==="
bash scripts/fuzz.sh 60
