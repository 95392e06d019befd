#!/usr/bin/env bash
# Cross-builds qmx.dll and every test program for 64-bit Windows with
# MinGW-w64 (the `windows` preset) and runs the whole test suite under Wine
# in a fresh Wine prefix, then packs the SDK zip and links a host against its
# qmx.lib the MSVC way. Installs MinGW-w64 and Wine when missing (needs
# root). Prints how long each stage took.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
if ((jobs > 2)); then jobs=2; fi
build_dir=build/windows
declare -a stage_names=() stage_seconds=()

stage_done() {
  stage_names+=("$1")
  stage_seconds+=("$(($SECONDS - $2))")
  echo "== windows: $1 done in $(($SECONDS - $2)) s"
}

report() {
  local i
  echo "== windows: time per stage"
  for i in "${!stage_names[@]}"; do
    printf '   %-12s %5d s\n' "${stage_names[$i]}" "${stage_seconds[$i]}"
  done
}

trap report EXIT

start=$SECONDS
# googletest: the GoogleTest sources the Windows build compiles for itself.
packages=(cmake ninja-build googletest g++-mingw-w64-x86-64 wine64 wine
          clang lld llvm unzip)
bash scripts/install-packages.sh --with-recommends "${packages[@]}"
stage_done install "$start"

start=$SECONDS
cmake --preset windows >/dev/null
stage_done configure "$start"

start=$SECONDS
cmake --build --preset windows -j "$jobs"
stage_done build "$start"

# A fresh prefix per run. The server is started first and kept alive: Wine's
# background processes otherwise start with the first program and keep the
# output pipes of gtest's test discovery open, which then never returns.
start=$SECONDS
export WINEPREFIX="$PWD/$build_dir/wineprefix"
export WINEDEBUG=-all
wine_log="$PWD/$build_dir/wine-setup.log"
wineserver -k >/dev/null 2>&1 || true # a server left over from an earlier run
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}
trap 'stop_wine; report' EXIT
wineserver -p >"$wine_log" 2>&1
# No Mono or Gecko: nothing here needs them, and their installers would ask.
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >>"$wine_log" 2>&1
stage_done "wine setup" "$start"

start=$SECONDS
ctest --preset windows -j "$jobs" --timeout 300
stage_done ctest "$start"

# The SDK zip as a Windows developer gets it, and a host linked against its
# qmx.lib the MSVC way: clang for the MSVC target and lld-link, no C runtime,
# kernel32 through an import library of its own.
start=$SECONDS
rm -rf "$build_dir/packages"
(cd "$build_dir" && cpack -G ZIP >/dev/null)
zip=$(ls "$build_dir"/packages/qmx-*-win64-sdk.zip)
sdk_work=$(mktemp -d)
unzip -q "$zip" -d "$sdk_work"
sdk=$(ls -d "$sdk_work"/qmx-*-win64-sdk)
for f in bin/qmx.dll include/qmx/qmx.h lib/qmx.lib lib/libqmx.dll.a lib/qmx.def README.txt; do
  [ -f "$sdk/$f" ] || { echo "the SDK zip lacks $f"; exit 1; }
done
printf 'LIBRARY kernel32.dll\nEXPORTS\n    ExitProcess\n' >"$sdk_work/kernel32.def"
llvm-dlltool -m i386:x86-64 -d "$sdk_work/kernel32.def" -l "$sdk_work/kernel32.lib"
clang --target=x86_64-pc-windows-msvc -ffreestanding -fno-builtin -O1 -Wall -Wextra -Werror \
  -I "$sdk/include" -c tests/packages/consumer/host.c -o "$sdk_work/host.obj"
lld-link /nologo /entry:start /subsystem:console /nodefaultlib "$sdk_work/host.obj" \
  "$sdk/lib/qmx.lib" "$sdk_work/kernel32.lib" /out:"$sdk_work/host.exe"
cp "$sdk/bin/qmx.dll" "$sdk_work/"
wine "$sdk_work/host.exe"
echo "ok: a host without C runtime relayed a message through qmx.lib"
rm -rf "$sdk_work"
stage_done "sdk zip" "$start"

start=$SECONDS
trap report EXIT
stop_wine
stage_done "wine stop" "$start"
