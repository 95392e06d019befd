#!/usr/bin/env bash
# Runs `qmx-proxy demo`: simulated OSCAR, MSN and YMSG clients and servers
# talk through the proxy under examples/policy.toml. On a fresh Debian 12
# machine it installs what is missing (needs root) and builds what is missing
# (the Release preset, qmx-proxy only). Extra arguments go to the demo.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev
          libcli11-dev libtoml11-dev libspdlog-dev libfmt-dev libre2-dev
          libsystemd-dev pkg-config libcivetweb-dev libc-ares-dev libpcap-dev libpq-dev)
bash scripts/install-packages.sh "${packages[@]}"

echo "== configuring build/default (Release, with the host tools)"
cmake --preset default -DQMX_BUILD_TOOLS=ON >/dev/null
echo "== building qmx-proxy"
cmake --build --preset default --target qmx-proxy -j "$(nproc)"
echo
exec build/default/tools/proxy/qmx-proxy demo "$@"
