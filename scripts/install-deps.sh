#!/usr/bin/env bash
# Installs what building, running and testing kiv-services-daemon needs on
# Debian 12.  Safe to run again.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
packages=(
  build-essential cmake g++ pkg-config
  libcrypt-dev libldap-dev libssl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  slapd ldap-utils openssl
  util-linux passwd
  libpam0g-dev libpam-modules libpam-runtime
  libkrb5-dev krb5-kdc krb5-admin-server krb5-user krb5-config
  logrotate
  debhelper dpkg-dev fakeroot lintian groff-base systemd binutils libsystemd-dev
  clang libclang-rt-14-dev
  pamtester python3 python3-pip python3-setuptools python3-wheel
  nlohmann-json3-dev linux-perf
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
