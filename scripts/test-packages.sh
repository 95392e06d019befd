#!/usr/bin/env bash
# Builds the Debian packages (libqmx0, libqmx-dev, qmx-proxy), checks them
# with lintian, installs them on this machine as a user would, builds a small
# C host against the installed library twice (CMake package, pkg-config) and
# runs it, checks the installed proxy and unit, then removes them again.
# Needs root: it installs and removes packages.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(cmake ninja-build g++ pkg-config dpkg-dev file lintian binutils systemd
          libcli11-dev libtoml11-dev libspdlog-dev libfmt-dev libsystemd-dev libre2-dev
          libcivetweb-dev libc-ares-dev libpcap-dev libpq-dev)
bash scripts/install-packages.sh "${packages[@]}"

build=build/packages
echo "== packages: build"
start=$SECONDS
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DQMX_BUILD_TESTS=OFF -DQMX_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
mapfile -t debs < <(ls "$build"/packages/*.deb)
for deb in "${debs[@]}"; do
  echo "-- $(basename "$deb")"
  dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Depends\|Version\): /   \1: /p'
done

echo "== packages: lintian"
# Errors fail the run; the warnings accepted are listed in the README.
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" || { echo "lintian found errors"; exit 1; }

names=(qmx-proxy libqmx-dev libqmx0)
work=$(mktemp -d)
cleanup() {
  dpkg -P "${names[@]}" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== packages: install"
dpkg -i "${debs[@]}" >/dev/null
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=/usr/lib/$multiarch/libqmx.so.0
objdump -p "$lib" | grep -q 'SONAME *libqmx.so.0$' || { echo "no SONAME libqmx.so.0 in $lib"; exit 1; }
exported=$(nm -D --defined-only "$lib" | awk '$2 == "T" {print $3}' | sort)
expected=$(awk '/^ +QMX_/ {print $1}' src/qmx.def | sort)
[ "$exported" = "$expected" ] || { echo "exports differ:"; diff <(echo "$expected") <(echo "$exported"); exit 1; }
echo "installed $lib: SONAME libqmx.so.0, exactly $(echo "$exported" | wc -l) exports"

echo "== packages: a host built against the installed library"
cp tests/packages/consumer/host.c tests/packages/consumer/CMakeLists.txt "$work/"
cmake -S "$work" -B "$work/cmake-build" -G Ninja >/dev/null
cmake --build "$work/cmake-build" >/dev/null
echo -n "find_package(qmx): "
"$work/cmake-build/host"
# shellcheck disable=SC2046  # pkg-config prints separate words on purpose
cc -Wall -Wextra -o "$work/host-pc" "$work/host.c" $(pkg-config --cflags --libs qmx)
echo -n "pkg-config qmx:    "
"$work/host-pc"

echo "== packages: the installed proxy and its unit"
qmx-proxy --check-config /etc/qmx-proxy/qmx-proxy.toml
systemd-analyze verify /lib/systemd/system/qmx-proxy.service
echo "systemd-analyze verify: qmx-proxy.service accepted"
man -l /usr/share/man/man1/qmx-proxy.1.gz >/dev/null
qmx-replay --version
man -l /usr/share/man/man1/qmx-replay.1.gz >/dev/null

echo "== packages: remove"
dpkg -r "${names[@]}" >/dev/null
for f in /usr/bin/qmx-proxy /usr/bin/qmx-replay "$lib" /usr/include/qmx/qmx.h /lib/systemd/system/qmx-proxy.service; do
  [ ! -e "$f" ] || { echo "$f is still there after dpkg -r"; exit 1; }
done
dpkg -P "${names[@]}" >/dev/null 2>&1
[ ! -e /etc/qmx-proxy/qmx-proxy.toml ] || { echo "the configuration survived a purge"; exit 1; }
echo "== packages: done in $((SECONDS - start)) s"
