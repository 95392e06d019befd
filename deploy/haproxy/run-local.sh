#!/usr/bin/env bash
# Tries out the balanced deployment on one machine: HAProxy and N qmx-proxy,
# all on 127.0.0.1, configured as deploy/haproxy/haproxy.cfg describes.
#
#   deploy/haproxy/run-local.sh [-n N] [--port BASE] [--dir DIR] [--proxy PATH]
#                               [--extra FILE] [--check-ms MS]
#
#   -n         how many qmx-proxy (default 3)
#   --port     HAProxy's SOCKS5 frontend; proxy i (1..N) takes BASE+i for
#              SOCKS5 and BASE+100+i for metrics (default 11080)
#   --dir      where configurations, logs and audit files go (default: a new
#              temporary folder)
#   --proxy    the qmx-proxy program (default: qmx-proxy from PATH, else the
#              build tree's)
#   --extra    TOML appended to every proxy's configuration ([socks5.ports],
#              [policy], ...)
#   --check-ms HAProxy's health-check interval (default 1000)
#
# Prints "ready" once every process listens, then runs until SIGINT or
# SIGTERM, which stops them all. DIR/pids lists "name pid" per process.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
N=3
BASE=11080
DIR=""
PROXY=""
EXTRA=""
CHECK_MS=1000
while [ $# -gt 0 ]; do
  case "$1" in
    -n) N="$2"; shift ;;
    --port) BASE="$2"; shift ;;
    --dir) DIR="$2"; shift ;;
    --proxy) PROXY="$2"; shift ;;
    --extra) EXTRA="$2"; shift ;;
    --check-ms) CHECK_MS="$2"; shift ;;
    -h|--help) sed -n "2,21p" "$0"; exit 0 ;;
    *) echo "run-local.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
command -v haproxy >/dev/null || { echo "run-local.sh: haproxy is missing (apt-get install haproxy)" >&2; exit 1; }
if [ -z "$PROXY" ]; then
  PROXY="$(command -v qmx-proxy || true)"
  for candidate in "$ROOT/build/default/tools/proxy/qmx-proxy" "$ROOT/build/ci/tools/proxy/qmx-proxy"; do
    [ -n "$PROXY" ] || { [ -x "$candidate" ] && PROXY="$candidate"; } || true
  done
fi
[ -x "$PROXY" ] || { echo "run-local.sh: no qmx-proxy found; build it or pass --proxy" >&2; exit 1; }
DIR="${DIR:-$(mktemp -d /tmp/qmx-haproxy.XXXXXX)}"
mkdir -p "$DIR"
: > "$DIR/pids"

pids=()
stop_all() {
  trap - INT TERM EXIT
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_all EXIT
trap 'exit 0' INT TERM

servers=""
for i in $(seq 1 "$N"); do
  socks=$((BASE + i))
  metrics=$((BASE + 100 + i))
  {
    printf '[limits]\ndrain_timeout = 30\n\n'
    printf '[audit]\npath = "%s/audit-%s.jsonl"\nproxy = "qmx%s"\n\n' "$DIR" "$i" "$i"
    printf '[metrics]\nlisten = "127.0.0.1:%s"\n\n' "$metrics"
    printf '[[socks5]]\nlisten = "127.0.0.1:%s"\nproxy_protocol = true\ntrusted_proxies = ["127.0.0.1/32"]\n\n' "$socks"
    [ -z "$EXTRA" ] || cat "$EXTRA"
  } > "$DIR/qmx$i.toml"
  "$PROXY" --config "$DIR/qmx$i.toml" > "$DIR/qmx$i.log" 2>&1 &
  pids+=($!)
  echo "qmx$i $!" >> "$DIR/pids"
  servers+="    server qmx$i 127.0.0.1:$socks check port $metrics"$'\n'
done

cat > "$DIR/haproxy.cfg" <<CFG
global
    maxconn 4000
    nbthread 2
    # Server state changes ("Server qmx_socks5/qmx1 is DOWN") on stderr.
    log stderr format short local0 notice

defaults
    mode tcp
    log global
    option dontlognull
    timeout connect 5s
    # A busy proxy that answers late is not down; a 503 or a refusal is.
    timeout check 5s
    timeout client 1h
    timeout server 1h
    retries 3
    option redispatch 1

frontend im_socks5
    bind 127.0.0.1:$BASE
    default_backend qmx_socks5

backend qmx_socks5
    balance source
    option httpchk GET /healthz
    http-check expect status 200
    default-server inter ${CHECK_MS}ms fall 1 rise 2 send-proxy-v2
$servers
CFG
for i in $(seq 1 "$N"); do
  for _ in $(seq 1 200); do
    grep -q "ready:" "$DIR/qmx$i.log" 2>/dev/null && break
    kill -0 "${pids[$((i - 1))]}" 2>/dev/null || { cat "$DIR/qmx$i.log" >&2; exit 1; }
    sleep 0.05
  done
done
# Only now: a first health check that found a proxy still starting would
# mark it down (fall 1) and send its share of the first clients elsewhere.
haproxy -db -f "$DIR/haproxy.cfg" > "$DIR/haproxy.log" 2>&1 &
pids+=($!)
echo "haproxy $!" >> "$DIR/pids"
# Listening sockets in /proc: a probe connection would show up in the
# proxies' counters.
listening=":$(printf '%04X' "$BASE") 00000000:0000 0A"
for _ in $(seq 1 200); do
  grep -q "$listening" /proc/net/tcp && break
  kill -0 "${pids[-1]}" 2>/dev/null || { cat "$DIR/haproxy.log" >&2; exit 1; }
  sleep 0.05
done
echo "ready: haproxy 127.0.0.1:$BASE, $N qmx-proxy, files in $DIR"
# Until a signal: one proxy that stops (a drain) leaves the others running.
wait
