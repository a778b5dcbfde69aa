#!/usr/bin/env bash
# Installs what is needed, builds, and runs the daemon in the foreground with
# the embedded default configuration (the local password database, logs
# beside the binary).  Must run as root.  Stop it with Ctrl-C or SIGTERM.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target kiv-services-daemon kiv-services-client kivmodpam kivmodlib
conf=build/bin/kiv-services-daemon.conf
if [ ! -f "$conf" ]; then
  sed "s#@DIR@#$(pwd)/build/bin#g" config/kiv-services-daemon.conf.default > "$conf"
fi
echo "Configuration: $conf"
exec "$(pwd)/build/bin/kiv-services-daemon"
