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
#   bash bench/run.sh --profile  callgrind, perf and strace of the {SSHA} and
#                                LDAP paths; raw output under <build>/profile/
#                                (not kept in git; bench/results/profile-summary.md
#                                holds what it showed)
#
# Other options are handed to kiv-bench (--concurrency 1,4,32, --seconds S,
# --rounds N, --threads N, --users N, --only GROUP,... with the groups
# sha512 (pw SHA-512 beside PAM and saslauthd shadow and pam), cache (the same
# with the authentication cache beside saslauthd -c), saslauthd (both),
# ssha, lockout, nssfiles, soak, ldap (the LDAP method beside saslauthd ldap
# over ldap:// and ldaps://, with and without caches, and nslcd + pam_ldap)).
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

# The peer daemons (saslauthd from sasl2-bin, nslcd and pam_ldap from nslcd
# and libpam-ldapd) are unpacked beside the build rather than installed:
# their packages would add services to the host and edit its PAM and
# name-service configuration.
for pkg in sasl2-bin nslcd libpam-ldapd; do
  [ -n "$(ls "$build/peers/${pkg}"_*.deb 2>/dev/null)" ] && continue
  (mkdir -p "$build/peers" && cd "$build/peers" && apt-get download "$pkg" >/dev/null 2>&1 &&
   dpkg-deb -x "${pkg}"_*.deb .) ||
    echo "bench/run.sh: $pkg could not be unpacked; its peer rows stay pending" >&2
done

out=bench/results
extra=(--wait-quiet 1200)
for arg in "$@"; do
  case $arg in
    --smoke) out=$build/bench-smoke; extra=() ;;
    --profile) out=$build; extra=() ;;
  esac
done
mkdir -p "$out"
unshare --mount --propagation private "$build/bin/kiv-bench" --out "$out" "${extra[@]}" "$@"
for arg in "$@"; do
  [ "$arg" = --profile ] && exit 0
done
"$build/bin/kiv-bench-check" "$out/report.json"
