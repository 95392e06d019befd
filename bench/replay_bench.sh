#!/usr/bin/env bash
# Replay throughput: qmx-replay over a synthetic capture of simulated IM
# traffic (qmx-capgen: 64 connections at once, OSCAR, MSN and YMSG, logins
# and 1,000-byte instant messages both ways), against tshark following one
# TCP stream of the same file (`-q -z follow,tcp,raw,0`, which reads and
# dissects every packet) as the anchor. Two policies: the example policy's
# rules without its text replacement, and the whole example policy. Peak
# memory is taken on the full file and on one a quarter its size: it must
# not grow with the file.
#
#   bench/replay_bench.sh [--mb N] [--build-dir DIR] [--no-build] [--out DIR]
#
# MB/s are file bytes per second, by wall clock and by CPU time (user +
# system); on a busy machine the CPU figures are the steadier ones.
# Output: key=value lines, also written to OUT/replay.txt.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/bench-replay"
OUT=""
MB=200
DO_BUILD=1
while [ $# -gt 0 ]; do
  case "$1" in
    --mb) MB="$2"; shift ;;
    --build-dir) BUILD="$(realpath -m "$2")"; shift ;;
    --no-build) DO_BUILD=0 ;;
    --out) OUT="$(realpath -m "$2")"; shift ;;
    -h|--help) sed -n "2,16p" "$0"; exit 0 ;;
    *) echo "replay_bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
OUT="${OUT:-$BUILD/bench-results}"
mkdir -p "$OUT"

command -v tshark >/dev/null || {
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  bash "$ROOT/scripts/install-packages.sh" tshark
}
if [ "$DO_BUILD" = 1 ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMX_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD" --target qmx-replay qmx-capgen >/dev/null
fi
replay="$BUILD/tools/replay/qmx-replay"
capgen="$BUILD/tools/replay/qmx-capgen"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$capgen" chat "$work/big.pcap" --mb "$MB"
"$capgen" chat "$work/small.pcap" --mb "$((MB / 4))"
size=$(stat -c %s "$work/big.pcap")
cp "$ROOT/examples/policy.toml" "$work/full.toml"
# The same policy without its [[replace]] table.
awk '/^\[\[replace\]\]/ {skip = 1; next} /^\[/ {skip = 0} !skip' "$ROOT/examples/policy.toml" \
  >"$work/rules.toml"

# Runs a command once; prints "wall cpu rss_kb".
measure() {
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null 2>&1 || true
  awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$work/time"
}
mbps() { awk -v b="$size" -v s="$1" 'BEGIN {printf "%.0f", (s > 0 ? b / 1e6 / s : 0)}'; }

read -r t_wall t_cpu _ < <(measure tshark -r "$work/big.pcap" -q -z follow,tcp,raw,0)
{
  echo "file_mb=$(awk -v b="$size" 'BEGIN {printf "%.0f", b / 1e6}')"
  echo "tshark_mb_s_wall=$(mbps "$t_wall") tshark_mb_s_cpu=$(mbps "$t_cpu")"
  for policy in rules full; do
    read -r wall cpu rss < <(measure "$replay" --config "$work/$policy.toml" "$work/big.pcap")
    read -r _ _ rss_small < <(measure "$replay" --config "$work/$policy.toml" "$work/small.pcap")
    echo "replay_${policy}_mb_s_wall=$(mbps "$wall") replay_${policy}_mb_s_cpu=$(mbps "$cpu")" \
         "x_tshark_wall=$(awk -v a="$t_wall" -v b="$wall" 'BEGIN {printf "%.1f", a / b}')" \
         "x_tshark_cpu=$(awk -v a="$t_cpu" -v b="$cpu" 'BEGIN {printf "%.1f", a / b}')" \
         "rss_kb=$rss rss_kb_quarter_file=$rss_small"
  done
} | tee "$OUT/replay.txt"
