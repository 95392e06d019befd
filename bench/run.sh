#!/usr/bin/env bash
# End-to-end and in-memory benchmarks of qmx against plain relays, in one run.
#
#   bench/run.sh [--quick] [--build-dir DIR] [--no-build] [--out DIR] [--write-docs]
#
# Every end-to-end case runs five ways, alternating inside each repetition:
# through qmx-proxy (fixed forward), through HAProxy (TCP mode), through
# socat, through the minimal thread-per-connection relay (bench/min_relay.cpp),
# and direct. Everything listens on and connects to 127.0.0.1 only.
#
#   --quick       1 repetition, 1 s round trips and bulk, 1,000 idle
#                 connections, short in-memory runs (CI: proves it works)
#   --build-dir   where to configure and build (default: build/bench)
#   --no-build    use the binaries already in the build directory
#   --out         results directory (default: BUILD_DIR/bench-results)
#   --write-docs  also write docs/benchmarks.md and docs/benchmarks.png
#
# Environment: QMX_BENCH_RUNS, QMX_BENCH_BULK_SECONDS and
# QMX_BENCH_SCALE_COUNTS ("1000:5 9000:3", empty for none) override the mode.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/bench"
OUT=""
QUICK=0
DO_BUILD=1
WRITE_DOCS=0
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1 ;;
    --build-dir) BUILD="$(realpath -m "$2")"; shift ;;
    --no-build) DO_BUILD=0 ;;
    --out) OUT="$(realpath -m "$2")"; shift ;;
    --write-docs) WRITE_DOCS=1 ;;
    -h|--help) sed -n "2,20p" "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
OUT="${OUT:-$BUILD/bench-results}"

if [ "$QUICK" = 1 ]; then
  RUNS=1; RT_SECONDS=1; BULK_SECONDS=1; SCALE_COUNTS="1000:1"; MICRO_MIN_TIME=0.05; REPLAY_MB=10
else
  # 9,000 connections through socat fork 9,000 processes per repetition:
  # three repetitions keep the full run near half an hour.
  RUNS=5; RT_SECONDS=2; BULK_SECONDS=10; SCALE_COUNTS="1000:5 9000:3"; MICRO_MIN_TIME=0.5; REPLAY_MB=200
fi
RUNS="${QMX_BENCH_RUNS:-$RUNS}"
BULK_SECONDS="${QMX_BENCH_BULK_SECONDS:-$BULK_SECONDS}"
# "count:repetitions ..."; empty skips the idle-connection cases.
SCALE_COUNTS="${QMX_BENCH_SCALE_COUNTS-$SCALE_COUNTS}"

for tool in socat haproxy; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (apt-get install $tool)" >&2; exit 1; }
done

if [ "$DO_BUILD" = 1 ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQMX_BUILD_BENCH=ON -DQMX_BUILD_TESTS=OFF -DQMX_BUILD_TOOLS=ON >/dev/null
  cmake --build "$BUILD" -j2 --target qmx-proxy qmx-loadgen qmx-minrelay qmx_micro_bench qmx-replay qmx-capgen
fi
PROXY="$BUILD/tools/proxy/qmx-proxy"
LOADGEN="$BUILD/bench/qmx-loadgen"
MINRELAY="$BUILD/bench/qmx-minrelay"
MICRO="$BUILD/bench/qmx_micro_bench"
for bin in "$PROXY" "$LOADGEN" "$MINRELAY" "$MICRO"; do
  [ -x "$bin" ] || { echo "run.sh: $bin is not built" >&2; exit 1; }
done

mkdir -p "$OUT"
RESULTS="$OUT/e2e.tsv"
: > "$RESULTS"
# 9,000 idle connections need 18,000 descriptors in each relay and in the
# load generator: raise the soft limit as far as the hard limit allows.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

PROTOS=(oscar msn ymsg)
WAYS=(qmx haproxy socat minrelay direct)
# Fixed ports below the ephemeral range, so that no outgoing connection of
# this run (or of anyone else's tests) can hold them.
declare -A SERVER_PORT=([oscar]=23101 [msn]=23102 [ymsg]=23103)
declare -A QMX_PORT=([oscar]=23111 [msn]=23112 [ymsg]=23113)
declare -A SOCAT_PORT=([oscar]=23121 [msn]=23122 [ymsg]=23123)
declare -A MIN_PORT=([oscar]=23131 [msn]=23132 [ymsg]=23133)
declare -A HAPROXY_PORT=([oscar]=23141 [msn]=23142 [ymsg]=23143)
# Behind a balancer: HAProxy in front of two qmx-proxy (PROXY v2, balance
# source, as deploy/haproxy describes) against HAProxy in front of two
# minimal relays.
declare -A LB_QMX_PORT=([oscar]=23151 [msn]=23152 [ymsg]=23153)
declare -A LB_MIN_PORT=([oscar]=23161 [msn]=23162 [ymsg]=23163)
declare -A QMX_B_PORT=([oscar]=23171 [msn]=23172 [ymsg]=23173)
declare -A QMX_C_PORT=([oscar]=23181 [msn]=23182 [ymsg]=23183)
declare -A MIN_B_PORT=([oscar]=23191 [msn]=23192 [ymsg]=23193)

PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

cat > "$OUT/qmx-proxy.toml" <<EOF
[log]
level = "error"

[limits]
max_connections = 20000

[policy]
default = "allow"
EOF
for p in "${PROTOS[@]}"; do
  cat >> "$OUT/qmx-proxy.toml" <<EOF

[[forward]]
listen = "127.0.0.1:${QMX_PORT[$p]}"
upstream = "127.0.0.1:${SERVER_PORT[$p]}"
protocol = "$p"
EOF
done

"$PROXY" --config "$OUT/qmx-proxy.toml" > "$OUT/qmx-proxy.log" 2>&1 &
QMX_PID=$!; PIDS+=("$QMX_PID")
for b in B C; do
  printf '[log]\nlevel = "error"\n[limits]\nmax_connections = 20000\n' > "$OUT/qmx-$b.toml"
  for p in "${PROTOS[@]}"; do
    port_var="QMX_${b}_PORT[$p]"
    printf '[[forward]]\nlisten = "127.0.0.1:%s"\nupstream = "127.0.0.1:%s"\nprotocol = "%s"\nproxy_protocol = true\ntrusted_proxies = ["127.0.0.1"]\n' \
      "${!port_var}" "${SERVER_PORT[$p]}" "$p" >> "$OUT/qmx-$b.toml"
  done
  "$PROXY" --config "$OUT/qmx-$b.toml" > "$OUT/qmx-$b.log" 2>&1 &
  PIDS+=("$!")
done

# HAProxy as a site would run it for plain TCP: one frontend per protocol,
# two threads for the two cores, its defaults otherwise (no splicing; maxconn
# follows from the descriptor limit raised above).
{
  cat <<EOF
global
    nbthread 2

defaults
    mode tcp
    timeout connect 5s
    timeout client 1h
    timeout server 1h
EOF
  for p in "${PROTOS[@]}"; do
    cat <<EOF

frontend $p
    bind 127.0.0.1:${HAPROXY_PORT[$p]}
    default_backend ${p}_server

backend ${p}_server
    server $p 127.0.0.1:${SERVER_PORT[$p]}

frontend lbqmx_$p
    bind 127.0.0.1:${LB_QMX_PORT[$p]}
    default_backend lbqmx_$p

backend lbqmx_$p
    balance source
    server a 127.0.0.1:${QMX_B_PORT[$p]} send-proxy-v2
    server b 127.0.0.1:${QMX_C_PORT[$p]} send-proxy-v2

frontend lbmin_$p
    bind 127.0.0.1:${LB_MIN_PORT[$p]}
    default_backend lbmin_$p

backend lbmin_$p
    balance source
    server a 127.0.0.1:${MIN_PORT[$p]}
    server b 127.0.0.1:${MIN_B_PORT[$p]}
EOF
  done
} > "$OUT/haproxy.cfg"
haproxy -f "$OUT/haproxy.cfg" -db > "$OUT/haproxy.log" 2>&1 &
HAPROXY_PID=$!; PIDS+=("$HAPROXY_PID")
declare -A SOCAT_PID MIN_PID
for p in "${PROTOS[@]}"; do
  socat "TCP-LISTEN:${SOCAT_PORT[$p]},bind=127.0.0.1,reuseaddr,fork,backlog=4096" \
        "TCP:127.0.0.1:${SERVER_PORT[$p]}" 2>>"$OUT/socat.log" &
  SOCAT_PID[$p]=$!; PIDS+=("$!")
  "$MINRELAY" "${MIN_PORT[$p]}" "${SERVER_PORT[$p]}" 2>>"$OUT/minrelay.log" &
  MIN_PID[$p]=$!; PIDS+=("$!")
  "$MINRELAY" "${MIN_B_PORT[$p]}" "${SERVER_PORT[$p]}" 2>>"$OUT/minrelay.log" &
  PIDS+=("$!")
done

wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "run.sh: nothing listens on 127.0.0.1:$1" >&2; exit 1
}
for p in "${PROTOS[@]}"; do
  for port in "${QMX_PORT[$p]}" "${HAPROXY_PORT[$p]}" "${SOCAT_PORT[$p]}" "${MIN_PORT[$p]}" \
              "${QMX_B_PORT[$p]}" "${QMX_C_PORT[$p]}" "${MIN_B_PORT[$p]}"; do
    wait_port "$port"
  done
done

port_of() { # way proto
  case "$1" in
    qmx) echo "${QMX_PORT[$2]}" ;;
    haproxy) echo "${HAPROXY_PORT[$2]}" ;;
    lbqmx) echo "${LB_QMX_PORT[$2]}" ;;
    lbmin) echo "${LB_MIN_PORT[$2]}" ;;
    socat) echo "${SOCAT_PORT[$2]}" ;;
    minrelay) echo "${MIN_PORT[$2]}" ;;
    direct) echo "${SERVER_PORT[$2]}" ;;
  esac
}
pid_of() { # way proto
  case "$1" in
    qmx) echo "$QMX_PID" ;;
    haproxy) echo "$HAPROXY_PID" ;;
    socat) echo "${SOCAT_PID[$2]}" ;;
    minrelay) echo "${MIN_PID[$2]}" ;;
    direct) echo 0 ;;
  esac
}
# The ways in a different order in each repetition, so that no way always
# runs right after another one's load.
ways_for_run() {
  local r=$1 n=${#WAYS[@]} i
  for ((i = 0; i < n; i++)); do printf '%s ' "${WAYS[$(((i + r) % n))]}"; done
}
record() { # kind proto way run key=value-line
  local line="$5" kv
  for kv in $line; do
    case "$kv" in
      msgs_per_s=*|p50_us=*|p99_us=*|mb_per_s=*|pss_kib_per_conn=*|rss_kib_per_conn=*|setup_s=*|rss_1mib_kib=*|rss_64mib_kib=*)
        printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "${kv%%=*}" "${kv#*=}" >> "$RESULTS" ;;
    esac
  done
}

START=$(date +%s)
echo "load before: $(uptime)" | tee "$OUT/load.txt"

for ((run = 1; run <= RUNS; run++)); do
  for p in "${PROTOS[@]}"; do
    for way in $(ways_for_run "$run"); do
      line=$("$LOADGEN" rt --proto "$p" --connect "$(port_of "$way" "$p")" \
             --listen "${SERVER_PORT[$p]}" --seconds "$RT_SECONDS")
      echo "run $run rt $way: $line"
      record rt "$p" "$way" "$run" "$line"
    done
  done
done
for ((run = 1; run <= RUNS; run++)); do
  for p in "${PROTOS[@]}"; do
    for way in $(ways_for_run "$run"); do
      # qmx-proxy's memory is sampled after 1 MiB and 64 MiB of the connection.
      pid_args=()
      [ "$way" = qmx ] && pid_args=(--pid "$QMX_PID")
      line=$("$LOADGEN" bulk --proto "$p" --connect "$(port_of "$way" "$p")" \
             --listen "${SERVER_PORT[$p]}" --seconds "$BULK_SECONDS" "${pid_args[@]}")
      echo "run $run bulk $way: $line"
      record bulk "$p" "$way" "$run" "$line"
    done
  done
done
# The balanced pair, alternating, for round trips and bulk only.
for ((run = 1; run <= RUNS; run++)); do
  for kind in rt bulk; do
    for p in "${PROTOS[@]}"; do
      pair=(lbqmx lbmin)
      [ $((run % 2)) = 0 ] && pair=(lbmin lbqmx)
      for way in "${pair[@]}"; do
        seconds=$RT_SECONDS
        [ "$kind" = bulk ] && seconds=$BULK_SECONDS
        line=$("$LOADGEN" "$kind" --proto "$p" --connect "$(port_of "$way" "$p")" \
               --listen "${SERVER_PORT[$p]}" --seconds "$seconds")
        echo "run $run $kind $way: $line"
        record "$kind" "$p" "$way" "$run" "$line"
      done
    done
  done
done
for spec in $SCALE_COUNTS; do
  n=${spec%%:*}
  for ((run = 1; run <= ${spec#*:}; run++)); do
    for p in "${PROTOS[@]}"; do
      for way in $(ways_for_run "$run"); do
        # CI's quick run keeps HAProxy to round trips and bulk.
        [ "$QUICK" = 1 ] && [ "$way" = haproxy ] && continue
        line=$("$LOADGEN" scale --proto "$p" --connect "$(port_of "$way" "$p")" \
               --listen "${SERVER_PORT[$p]}" --count "$n" --pid "$(pid_of "$way" "$p")")
        echo "run $run scale $way: $line"
        record "scale$n" "$p" "$way" "$run" "$line"
        # Let the relays see the ends of the connections before the next way.
        sleep 1
      done
    done
  done
done
echo "load after e2e: $(uptime)" | tee -a "$OUT/load.txt"

"$MICRO" --benchmark_min_time="$MICRO_MIN_TIME" --benchmark_format=csv \
  > "$OUT/micro.csv" 2> "$OUT/micro.err"
echo "load after in-memory: $(uptime)" | tee -a "$OUT/load.txt"

# qmx-replay against tshark on a generated capture (bench/replay_bench.sh).
bash "$ROOT/bench/replay_bench.sh" --build-dir "$BUILD" --no-build --out "$OUT" --mb "$REPLAY_MB" \
  > "$OUT/replay.log" 2>&1

{
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "nproc: $(nproc)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
  echo "memory: $(free -m | awk '/^Mem:/ {print $2 " MiB"}')"
  echo "kernel: $(uname -r)"
  echo "socat: $(socat -V 2>/dev/null | awk '/socat version/ {print $3; exit}')"
  echo "haproxy: $(haproxy -v 2>/dev/null | awk '/version/ {print $3; exit}')"
  echo "mode: $([ "$QUICK" = 1 ] && echo quick || echo full), $RUNS repetition(s), round trips ${RT_SECONDS} s, bulk ${BULK_SECONDS} s, idle connections (count:repetitions) $SCALE_COUNTS"
  echo "elapsed: $(( $(date +%s) - START )) s"
} > "$OUT/machine.txt"

python3 "$ROOT/bench/report.py" "$OUT"
if command -v gnuplot >/dev/null; then
  gnuplot -e "datafile='$OUT/chart.dat'; outfile='$OUT/benchmarks.png'" "$ROOT/bench/chart.gp"
fi
if [ "$WRITE_DOCS" = 1 ]; then
  python3 "$ROOT/bench/report.py" "$OUT" --docs "$ROOT/docs/benchmarks.md"
  [ -f "$OUT/benchmarks.png" ] && cp "$OUT/benchmarks.png" "$ROOT/docs/benchmarks.png"
fi
echo "results: $OUT/report.md"
