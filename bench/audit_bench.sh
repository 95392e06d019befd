#!/usr/bin/env bash
# The audit sinks under load, in one run: round trips through qmx-proxy
# (YMSG, fixed forward) with no audit log, with the JSON-lines file and with
# the PostgreSQL store, alternating inside each repetition; then several
# clients at once against each sink, for the records per second it takes.
# The database is a private cluster on this machine with PostgreSQL's
# default durability (fsync and synchronous commit on).
#
#   bench/audit_bench.sh [--build-dir DIR] [--no-build] [--runs N] [--seconds S] [--clients P]
#
#   --build-dir  where qmx-proxy and qmx-loadgen are built (default: build/bench)
#   --no-build   use the binaries already there
#   --runs       repetitions of the round-trip comparison (default 5)
#   --seconds    length of each measurement (default 5)
#   --clients    concurrent clients of the second part, 1 to 9 (default 4)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/bench"
DO_BUILD=1
RUNS=5
SECS=5
CLIENTS=4
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) BUILD="$(realpath -m "$2")"; shift ;;
    --no-build) DO_BUILD=0 ;;
    --runs) RUNS="$2"; shift ;;
    --seconds) SECS="$2"; shift ;;
    --clients) CLIENTS="$2"; shift ;;
    -h|--help) sed -n "2,15p" "$0"; exit 0 ;;
    *) echo "audit_bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
if [ "$CLIENTS" -lt 1 ] || [ "$CLIENTS" -gt 9 ]; then
  echo "audit_bench.sh: --clients is 1 to 9" >&2; exit 2
fi

if [ "$DO_BUILD" = 1 ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQMX_BUILD_BENCH=ON -DQMX_BUILD_TESTS=OFF -DQMX_BUILD_TOOLS=ON >/dev/null
  cmake --build "$BUILD" -j2 --target qmx-proxy qmx-loadgen
fi
PROXY="$BUILD/tools/proxy/qmx-proxy"
LOADGEN="$BUILD/bench/qmx-loadgen"
PGBIN="$(pg_config --bindir 2>/dev/null || true)"
for bin in "$PROXY" "$LOADGEN" "$PGBIN/initdb"; do
  [ -x "$bin" ] || { echo "audit_bench.sh: $bin is missing (build it; apt-get install postgresql)" >&2; exit 1; }
done

WORK="$(mktemp -d /tmp/qmx-audit-bench.XXXXXX)"
AS=()
# initdb refuses to run as root: the cluster then belongs to nobody.
if [ "$(id -u)" = 0 ]; then chown nobody "$WORK"; AS=(runuser -u nobody --); fi
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  "${AS[@]}" "$PGBIN/pg_ctl" -D "$WORK/data" -m fast stop >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

"${AS[@]}" "$PGBIN/initdb" -D "$WORK/data" -U qmx --auth=trust >/dev/null
"${AS[@]}" "$PGBIN/pg_ctl" -D "$WORK/data" -l "$WORK/db.log" -w \
  -o "-k $WORK -c listen_addresses=" start >/dev/null
psql_() { psql -X -At -h "$WORK" -U qmx -d postgres -c "$1"; }

# Fixed ports below the ephemeral range, apart from bench/run.sh's.
WAYS=(none file pg)
declare -A BASE=([none]=23210 [file]=23220 [pg]=23230)
SERVER_BASE=23200
for way in "${WAYS[@]}"; do
  conf="$WORK/$way.toml"
  printf '[log]\nlevel = "error"\n[limits]\nmax_connections = 20000\n' > "$conf"
  for ((i = 1; i <= CLIENTS; i++)); do
    printf '[[forward]]\nlisten = "127.0.0.1:%d"\nupstream = "127.0.0.1:%d"\nprotocol = "ymsg"\n' \
      $((BASE[$way] + i)) $((SERVER_BASE + i)) >> "$conf"
  done
  case "$way" in
    file) printf '[audit]\npath = "%s/file.jsonl"\nlog_text = true\n' "$WORK" >> "$conf" ;;
    pg) printf '[audit]\nlog_text = true\n[audit.postgresql]\nconninfo = "host=%s user=qmx dbname=postgres"\nspool = "%s/pg.spool"\n' \
          "$WORK" "$WORK" >> "$conf" ;;
  esac
  "$PROXY" --check-config "$conf" >/dev/null
done
"$PROXY" --init-db -c "$WORK/pg.toml" >/dev/null
for way in "${WAYS[@]}"; do
  "$PROXY" -c "$WORK/$way.toml" >/dev/null 2>>"$WORK/proxy-$way.log" &
  PIDS+=("$!")
done
for way in "${WAYS[@]}"; do
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$((BASE[$way] + 1))") 2>/dev/null && break
    sleep 0.1
  done
done

records() { # way
  case "$1" in
    file) wc -l < "$WORK/file.jsonl" ;;
    pg) psql_ "SELECT count(*) FROM qmx_audit" ;;
    none) echo 0 ;;
  esac
}
# Seconds until the database holds want records (the writer's queue drained).
drain() { # want
  local start=$SECONDS
  while [ "$(records pg)" -lt "$1" ]; do
    [ $((SECONDS - start)) -gt 120 ] && { echo "audit_bench.sh: records missing in the database" >&2; exit 1; }
    sleep 0.05
  done
}
now() { date +%s.%N; }

RESULTS="$WORK/results.tsv"
: > "$RESULTS"
echo "load before: $(uptime)"
for ((run = 1; run <= RUNS; run++)); do
  for ((k = 0; k < 3; k++)); do
    way=${WAYS[$(((k + run) % 3))]}
    before=$(records "$way")
    t0=$(now)
    line=$("$LOADGEN" rt --proto ymsg --connect $((BASE[$way] + 1)) --listen $((SERVER_BASE + 1)) --seconds "$SECS")
    msgs=$(sed -n 's/.*msgs=\([0-9]*\) .*/\1/p' <<< "$line")
    [ "$way" = pg ] && drain $((before + 4 * msgs))
    t1=$(now)
    printf 'rt\t%s\t%s\t%s\t%s\t%s\n' "$way" "$run" "$line" $(($(records "$way") - before)) \
      "$(awk "BEGIN {print $t1 - $t0}")" >> "$RESULTS"
    echo "run $run rt $way: $line"
  done
done
for way in none file pg; do
  before=$(records "$way")
  t0=$(now)
  clients=()
  for ((i = 1; i <= CLIENTS; i++)); do
    "$LOADGEN" rt --proto ymsg --connect $((BASE[$way] + i)) --listen $((SERVER_BASE + i)) \
      --seconds "$SECS" > "$WORK/flood-$way-$i.out" &
    clients+=("$!")
  done
  for pid in "${clients[@]}"; do wait "$pid"; done
  msgs=$(cat "$WORK"/flood-"$way"-*.out | sed -n 's/.*msgs=\([0-9]*\) .*/\1/p' | awk '{s += $1} END {print s}')
  [ "$way" = pg ] && drain $((before + 4 * msgs))
  t1=$(now)
  printf 'flood\t%s\t1\tmsgs=%s\t%s\t%s\n' "$way" "$msgs" $(($(records "$way") - before)) \
    "$(awk "BEGIN {print $t1 - $t0}")" >> "$RESULTS"
  echo "flood $way ($CLIENTS clients): $msgs round trips"
done
echo "load after: $(uptime)"
grep -h "audit" "$WORK"/proxy-pg.log | head -n 5 || true

python3 - "$RESULTS" "$SECS" "$CLIENTS" <<'EOF'
import re, statistics, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1])]
secs, clients = float(sys.argv[2]), sys.argv[3]
def rate(line):
    return float(re.search(r"msgs_per_s=([0-9.]+)", line).group(1))
rt = {w: [rate(r[3]) for r in rows if r[0] == "rt" and r[1] == w] for w in ("none", "file", "pg")}
med = {w: statistics.median(v) for w, v in rt.items()}
print("\nround trips through qmx-proxy, one client, median of %d runs of %g s:" % (len(rt["none"]), secs))
for w in ("none", "file", "pg"):
    print("  %-5s %8.0f round trips/s  (%+.1f %% against no audit)  runs: %s"
          % (w, med[w], 100 * (med[w] / med["none"] - 1), " ".join("%.0f" % x for x in rt[w])))
print("  pg against file: %+.1f %%" % (100 * (med["pg"] / med["file"] - 1)))
print("\naudit records per second, %s clients at once, %g s (pg: until every record was committed):" % (clients, secs))
for r in rows:
    if r[0] == "flood":
        n, t = int(r[4]), float(r[5])
        rts = int(r[3].split("=")[1])
        print("  %-5s %8.0f records/s  (%d records in %.2f s; %.0f round trips/s)" % (r[1], n / t if n else 0, n, t, rts / secs))
EOF
