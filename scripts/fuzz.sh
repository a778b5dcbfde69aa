#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz with clang (ASan+UBSan) in
# build-fuzz and runs each for SECONDS (default 60), starting from its
# committed corpus in tests/fuzz/corpus/<harness>/.  Every committed input is
# replayed first, so regression inputs are checked even in a short run.
# New corpus entries land in build-fuzz/corpus/<harness>/, crash inputs in
# build-fuzz/artifacts/.  Exits non-zero when any harness finds a crash, a
# leak or a timeout.
#   scripts/fuzz.sh [SECONDS] [HARNESS...]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(request config password base64 ldap_escape client_reply)

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 1
cmake --build build-fuzz -j"$(nproc)" --target kiv_fuzzers || exit 1

mkdir -p build-fuzz/artifacts
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
summary=()
for h in "${harnesses[@]}"; do
  bin=build-fuzz/bin/fuzz_$h
  seeds=tests/fuzz/corpus/$h
  work=build-fuzz/corpus/$h
  log=build-fuzz/fuzz-$h.log
  mkdir -p "$work"
  echo "=== fuzz $h (${seconds}s) ==="
  if ! "$bin" -runs=0 "$seeds" >"$log.replay" 2>&1; then
    tail -n 30 "$log.replay"
    failed+=("$h (committed input)")
    continue
  fi
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/artifacts/$h-" "$work" "$seeds" >"$log" 2>&1
  status=$?
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  cov=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/cov \1 ft \2/p' <<<"$last")
  execs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  summary+=("$(printf '%-13s %10s exec/s %12s runs  %s' "$h" "${execs:-?}" "${runs:-?}" "${cov:-?}")")
  if [ $status -ne 0 ]; then
    grep -E 'ERROR|harness:|SUMMARY|artifact' "$log" | head -n 20
    failed+=("$h")
  fi
done

echo "=== fuzz summary (${seconds}s each) ==="
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing FAILED: ${failed[*]} (inputs in build-fuzz/artifacts, logs in build-fuzz/fuzz-*.log)"
  exit 1
fi
echo "fuzzing passed"
