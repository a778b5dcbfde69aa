#!/usr/bin/env bash
# Short load run of methods=pam (the shipped PAM service over the host's
# common-auth/common-account) beside methods=pw on the same 50 SHA-512
# accounts, at concurrency 1 and 32, numThreads=4, access log only.
# Runs in a private mount namespace (tmpfs on /run, private /etc/passwd,
# /etc/shadow, /etc/group and a copy of /etc/pam.d), so the host is not
# changed.  As root, after building build/ (kiv-services-daemon, kivmodpam,
# kiv-loadgen):   bash bench/pam_load.sh [seconds per run, default 8]
set -euo pipefail
if [ "${KIV_PAM_LOAD_INNER:-}" != 1 ]; then
  exec env KIV_PAM_LOAD_INNER=1 unshare --mount --propagation private bash "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
B=$root/build/bin
secs=${1:-8}
mount -t tmpfs tmpfs /run
d=/run/kiv-pam-load
mkdir -p "$d/pam.d" "$d/bin"
cp /etc/pam.d/* "$d/pam.d/"
cp "$root/config/pam.d/kiv-services-daemon" "$d/pam.d/"
printf 'root:x:0:0:root:/root:/bin/sh\n' > "$d/passwd"
printf 'root:*:19000:0:99999:7:::\n' > "$d/shadow"
printf 'root:x:0:\n' > "$d/group"
: > "$d/accounts"
for i in $(seq 1 50); do
  printf 'u%d:x:%d:%d::/nonexistent:/bin/sh\n' "$i" $((2000 + i)) $((2000 + i)) >> "$d/passwd"
  printf 'u%d:%s:19000:0:99999:7:::\n' "$i" "$(openssl passwd -6 "pw$i")" >> "$d/shadow"
  printf 'u%d:x:%d:\n' "$i" $((2000 + i)) >> "$d/group"
  printf 'u%d:pw%d\n' "$i" "$i" >> "$d/accounts"
done
for f in passwd shadow group; do mount --bind "$d/$f" "/etc/$f"; done
mount --bind "$d/pam.d" /etc/pam.d
cp "$B/kiv-services-daemon" "$B/kivmodpam.so" "$d/bin/"
for m in pam pw; do
  printf 'daemon=no\nmethods=%s\nnumThreads=4\naccessLog=%s/access.log\n' "$m" "$d/bin" \
    > "$d/bin/kiv-services-daemon.conf"
  "$d/bin/kiv-services-daemon" &
  pid=$!
  for _ in $(seq 1 50); do [ -S /run/kiv-services-daemon_socket ] && break; sleep 0.1; done
  for c in 1 32; do
    "$B/kiv-loadgen" --accounts "$d/accounts" --concurrency "$c" --seconds "$secs" \
      --label "methods=$m c=$c" | tail -1
  done
  kill "$pid"
  wait "$pid" || true
done
