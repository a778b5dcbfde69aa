#!/usr/bin/env bash
# Install test of the Debian packages: installs them with dpkg into a
# throwaway root (an overlay over / inside a private mount namespace, so the
# host never changes), checks what landed where, starts the installed daemon
# on the shipped configuration and authenticates a user through the
# installed client, then purges the packages.
# Usage (as root): install_test.sh DEBDIR   (DEBDIR as written by scripts/package.sh)
set -euo pipefail

if [ -z "${KIV_INSTALL_TEST_NS:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "install test: must run as root" >&2; exit 2; }
  debdir=$(realpath "${1:?usage: install_test.sh DEBDIR}")
  scratch=$(mktemp -d /tmp/kiv-install-test.XXXXXX)
  rc=0
  KIV_INSTALL_TEST_NS=1 timeout -k 10 300 \
    unshare --mount --propagation private --fork bash "$0" "$debdir" "$scratch" || rc=$?
  rmdir "$scratch" 2>/dev/null || true
  [ $rc = 0 ] && echo "install test: passed" || echo "install test: FAILED (status $rc)" >&2
  exit $rc
fi

debdir=$1
scratch=$2
fail() { echo "install test: $*" >&2; exit 1; }
check() { # description, command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}

# ---- the throwaway root
mount -t tmpfs -o mode=0700 tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root"
root=$scratch/root
mount --rbind /proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs -o mode=0755 tmpfs "$root/run"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }

# ---- install
mkdir "$root/tmp/debs"
debs=()
for d in "$debdir"/kiv-services-daemon_*.deb "$debdir"/kiv-services-client_*.deb \
         "$debdir"/kiv-services-daemon-dev_*.deb "$debdir"/libkivclient1_*.deb; do
  [ -f "$d" ] || fail "missing package $d"
  cp "$d" "$root/tmp/debs/"
  debs+=("/tmp/debs/$(basename "$d")")
done
# A copy of this package already on the host must not mask the new one.
in_root dpkg --purge kiv-services-daemon kiv-services-client kiv-services-daemon-dev libkivclient1 >/dev/null 2>&1 || true
in_root dpkg -i "${debs[@]}" > "$root/tmp/dpkg.log" 2>&1 \
  || { cat "$root/tmp/dpkg.log"; fail "dpkg -i failed"; }

dir=/usr/libexec/kiv-services-daemon
conf=/etc/kiv-services-daemon/kiv-services-daemon.conf
check "daemon and LDAP module side by side in $dir" \
  test -x "$root$dir/kiv-services-daemon" -a -f "$root$dir/kivmodldapnss.so"
check "client in /usr/bin, headers in /usr/include" \
  test -x "$root/usr/bin/kiv-services-client" -a -f "$root/usr/include/kivmod.h"
check "configuration is root's alone (0600)" test "$(stat -c '%a %U' "$root$conf")" = "600 root"
check "configuration link beside the daemon" test "$(readlink "$root$dir/kiv-services-daemon.conf")" = "$conf"
check "configuration is a conffile" \
  grep -q "^ $conf " <(in_root dpkg-query -W -f='${Conffiles}\n' kiv-services-daemon)
if [ -f "$root/etc/pam.d/kiv-services-daemon" ]; then
  check "PAM service file is a conffile" \
    grep -q "^ /etc/pam.d/kiv-services-daemon " <(in_root dpkg-query -W -f='${Conffiles}\n' kiv-services-daemon)
fi
check "unit enabled by the maintainer scripts" \
  test -L "$root/etc/systemd/system/multi-user.target.wants/kiv-services-daemon.service"
check "systemd-analyze verify is clean" \
  test -z "$(in_root systemd-analyze verify --man=no /lib/systemd/system/kiv-services-daemon.service 2>&1)"
for m in 1/kiv-services-client.1 5/kiv-services-daemon.conf.5 8/kiv-services-daemon.8; do
  check "man page $m installed and clean" \
    test -z "$(zcat "$root/usr/share/man/man${m%%/*}/${m#*/}.gz" | groff -man -ww -z 2>&1)"
done
for f in "$dir/kiv-services-daemon" "$dir/kivmodldapnss.so" /usr/bin/kiv-services-client; do
  check "$f: full RELRO (GNU_RELRO and BIND_NOW)" \
    test "$(readelf -lW "$root$f" | grep -c GNU_RELRO)$(readelf -d "$root$f" | grep -c BIND_NOW)" = 11
  syms=$(readelf --dyn-syms -W "$root$f")
  check "$f: stack protector" grep -q "__stack_chk_fail" <<<"$syms"
  check "$f: fortified calls" grep -Eq "__[a-z_]+_chk@" <<<"$syms"
done
check "daemon is position-independent" grep -q "DYN" <(readelf -h "$root$dir/kiv-services-daemon")

# ---- run the installed daemon on the shipped configuration (methods=pw)
hash=$(openssl passwd -6 -salt installtest wonderland)
{ echo "alice:x:4242:4242:Alice:/nonexistent:/bin/sh"; } >> "$root/etc/passwd"
{ echo "alice:$hash:19000:0:99999:7:::"; } >> "$root/etc/shadow"
{ echo "alice:x:4242:"; echo "wonder:x:4343:alice"; } >> "$root/etc/group"
chroot "$root" "$dir/kiv-services-daemon" > "$scratch/daemon.out" 2>&1 &
daemon=$!
for _ in $(seq 100); do
  [ -S "$root/run/kiv-services-daemon_socket" ] && break
  kill -0 $daemon 2>/dev/null || { cat "$scratch/daemon.out"; fail "daemon exited at start-up"; }
  sleep 0.1
done
check "installed daemon listens" test -S "$root/run/kiv-services-daemon_socket"
out=$(echo wonderland | in_root kiv-services-client --stdin alice) || fail "good password refused: $out"
echo "$out"
check "answer names alice with her groups" \
  grep -qx "name: alice" <<<"$out"
grep -q "4343" <<<"$out" || fail "group wonder (4343) missing: $out"
rc=0; echo wrong | in_root kiv-services-client --stdin alice >/dev/null || rc=$?
check "wrong password answers AUTH_NOAUTH (5)" test $rc = 5
log=/var/log/kiv-services-daemon/kiv-services-daemon.access.log
check "access log in the log directory names alice" grep -q "alice" "$root$log"
kill -TERM $daemon
rc=0; wait $daemon || rc=$?
check "daemon stops with status 0 on SIGTERM" test $rc = 0

# ---- removal
in_root dpkg --purge kiv-services-daemon kiv-services-client kiv-services-daemon-dev libkivclient1 > "$root/tmp/dpkg.log" 2>&1 \
  || { cat "$root/tmp/dpkg.log"; fail "dpkg --purge failed"; }
check "purge removes the configuration and the daemon" test ! -e "$root$conf" -a ! -e "$root$dir"
