#!/usr/bin/env bash
# Builds qmx and runs every test suite on a fresh Debian 12 machine:
# formatting and clang-tidy checks, a Release build, then a Debug build under
# AddressSanitizer and UndefinedBehaviorSanitizer, both with warnings as
# errors. Installs whatever is missing (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev binutils
          libcli11-dev libtoml11-dev libspdlog-dev libfmt-dev libre2-dev
          libsystemd-dev pkg-config libcivetweb-dev libc-ares-dev libpcap-dev libpq-dev postgresql curl prometheus
          libbenchmark-dev socat haproxy python3 gnuplot-nox
          clang-format clang-tidy)
# tshark dissects what qmx-replay writes in the replay tests; it is asked
# not to install dumpcap setuid.
packages+=(tshark)
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
bash scripts/install-packages.sh "${packages[@]}"

echo "== format: clang-format --dry-run -Werror"
bash scripts/format.sh --check

jobs=$(nproc)
for preset in ci ci-asan; do
  echo "== $preset: configure and build"
  start=$SECONDS
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = ci ]; then
    echo "== tidy: clang-tidy over src/ and tools/"
    bash scripts/tidy.sh build/ci
  fi
  echo "== $preset: test"
  ctest --preset "$preset" -j "$jobs"
  echo "== $preset: done in $((SECONDS - start)) s"
done

# Hostile input: each fuzz target for 60 s with its corpus replay, the
# concurrency tests under ThreadSanitizer, Valgrind over the relay tests.
VALGRIND_BUILD_DIR=build/ci bash scripts/test-hardening.sh

# The Debian packages, installed, used by a host built outside the tree,
# and removed again.
bash scripts/test-packages.sh

# The same tree as a Windows x64 DLL, its whole suite run under Wine, and
# the SDK zip with a host linked against its qmx.lib.
bash scripts/test-windows.sh

# The benchmarks once, short, only to prove that they run: no threshold.
echo "== bench: quick run"
start=$SECONDS
bash bench/run.sh --quick --out build/bench/quick
echo "== bench: done in $((SECONDS - start)) s"
