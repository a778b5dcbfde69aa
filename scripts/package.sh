#!/usr/bin/env bash
# Builds the Debian packages (daemon with modules, client, -dev) from a copy
# of this checkout, because dpkg-buildpackage writes its results beside the
# source tree, then checks them with lintian.  Usage: package.sh [OUTDIR]
# (default build-deb); the .deb files land in OUTDIR.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-deb}")
# Man pages must format without a single warning.
for m in man/*.[0-9]; do
  w=$(groff -man -ww -z "$m" 2>&1)
  [ -z "$w" ] || { echo "$m: $w" >&2; exit 1; }
done
rm -rf "$out"
mkdir -p "$out/src"
tar --exclude='./build*' --exclude='./.git' --exclude='./bench/results' -cf - . | tar -xf - -C "$out/src"
cmake_args=""
if command -v ccache >/dev/null; then
  cmake_args="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
  export CCACHE_BASEDIR="$out/src"
fi
(cd "$out/src" && KIV_CMAKE_ARGS="$cmake_args" DEB_BUILD_OPTIONS="parallel=$(nproc)" \
   dpkg-buildpackage -us -uc -b) > "$out/build.log" 2>&1 || { tail -40 "$out/build.log"; exit 1; }
ls "$out"/*.deb
lintian --fail-on error "$out"/*.changes | tee "$out/lintian.log"
