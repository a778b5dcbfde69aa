#!/usr/bin/env bash
# Builds the load benchmark and runs it as root in a private mount namespace
# (its own /run, /tmp and account files; nothing on the host changes).
#
#   bash bench/run.sh            full run: waits up to 20 minutes for a quiet
#                                machine, measures each run while no compiler
#                                runs (repeating disturbed runs, at most 8 more
#                                minutes), writes bench/results/report.md and
#                                bench/results/report.json; every row is three
#                                alternating rounds of daemon and baselines
#                                (about 20 minutes)
#   bash bench/run.sh --smoke    tiny load through every scenario (seconds);
#                                report under <build>/bench-smoke/
#   bash bench/run.sh --profile  callgrind, perf and strace of the {SSHA} path;
#                                findings under bench/results/profile/
#
# Other options are handed to kiv-bench (--concurrency 1,4,32, --seconds S,
# --rounds N, --threads N, --users N, --only sha512,ssha,lockout,nssfiles,soak,ldap,saslauthd, ...).
# KIVBENCH_BUILD names the build directory (default build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  echo "bench/run.sh: must run as root (the daemon and the namespace need it)" >&2
  exit 1
fi
build=${KIVBENCH_BUILD:-build-bench}
# Never more than two compile jobs: the machine is shared.
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs" --target kiv-bench kiv-bench-check

# The peer daemon saslauthd (sasl2-bin) is unpacked beside the build rather
# than installed: installing it would add a service to the host.
if [ ! -x /usr/sbin/saslauthd ] && [ ! -x "$build/peers/usr/sbin/saslauthd" ]; then
  (mkdir -p "$build/peers" && cd "$build/peers" && apt-get download sasl2-bin >/dev/null 2>&1 &&
   dpkg-deb -x sasl2-bin_*.deb .) ||
    echo "bench/run.sh: sasl2-bin could not be unpacked; the saslauthd rows stay pending" >&2
fi

out=bench/results
extra=(--wait-quiet 1200)
for arg in "$@"; do
  case $arg in
    --smoke) out=$build/bench-smoke; extra=() ;;
    --profile) extra=() ;;
  esac
done
mkdir -p "$out"
unshare --mount --propagation private "$build/bin/kiv-bench" --out "$out" "${extra[@]}" "$@"
for arg in "$@"; do
  [ "$arg" = --profile ] && exit 0
done
"$build/bin/kiv-bench-check" "$out/report.json"
