#!/usr/bin/env python3
"""Turns the raw results of bench/run.sh into Markdown tables and chart data.

    report.py OUT_DIR                 writes OUT_DIR/report.md and OUT_DIR/chart.dat
    report.py OUT_DIR --docs FILE     also puts the tables into FILE, between the
                                      results markers (the prose around them stays)
"""
import csv
import statistics
import sys
from collections import defaultdict
from pathlib import Path

PROTOS = ["oscar", "msn", "ymsg"]
WAYS = ["qmx", "haproxy", "socat", "minrelay", "direct"]
WAY_NAMES = {"qmx": "qmx-proxy", "haproxy": "HAProxy", "socat": "socat", "minrelay": "minimal relay",
             "direct": "direct"}
# qmx-proxy against each other way, in the tables' ratio columns.
RATIOS = [("haproxy", "qmx/HAProxy"), ("socat", "qmx/socat"), ("minrelay", "qmx/minimal"),
          ("direct", "qmx/direct")]
BEGIN = "<!-- results:begin (written by bench/run.sh --write-docs) -->"
END = "<!-- results:end -->"


def load_e2e(path):
    values = defaultdict(list)  # (kind, proto, way, key) -> [value per run]
    for line in path.read_text().splitlines():
        kind, proto, way, _run, key, value = line.split("\t")
        values[(kind, proto, way, key)].append(float(value))
    return values


def median(values, kind, proto, way, key):
    v = values.get((kind, proto, way, key))
    return statistics.median(v) if v else None


def fmt(x, digits=0):
    if x is None:
        return "n/a"
    return f"{x:,.{digits}f}"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return "n/a"
    return f"{a / b:.2f}×"


def e2e_tables(values, runs):
    out = []
    out.append(f"### Round trips (100-byte IM answered by a 100-byte IM; median of {runs})\n")
    out.append("| protocol | " + " | ".join(f"{WAY_NAMES[w]} msgs/s" for w in WAYS)
               + " | " + " | ".join(name for _, name in RATIOS) + " |")
    out.append("|---" * (len(WAYS) + len(RATIOS) + 1) + "|")
    for p in PROTOS:
        m = {w: median(values, "rt", p, w, "msgs_per_s") for w in WAYS}
        out.append(f"| {p} | " + " | ".join(fmt(m[w]) for w in WAYS) + " | "
                   + " | ".join(ratio(m["qmx"], m[w]) for w, _ in RATIOS) + " |")
    out.append("")
    out.append("| protocol | " + " | ".join(f"{WAY_NAMES[w]} p50 / p99 µs" for w in WAYS)
               + " | p99 qmx/HAProxy |")
    out.append("|---" * (len(WAYS) + 2) + "|")
    for p in PROTOS:
        cells = []
        for w in WAYS:
            cells.append(f"{fmt(median(values, 'rt', p, w, 'p50_us'), 1)} / "
                         f"{fmt(median(values, 'rt', p, w, 'p99_us'), 1)}")
        p99 = ratio(median(values, "rt", p, "qmx", "p99_us"), median(values, "rt", p, "haproxy", "p99_us"))
        out.append(f"| {p} | " + " | ".join(cells) + f" | {p99} |")
    out.append("")

    out.append(f"### Bulk (8 KiB IMs one way; MB/s as the server receives them; median of {runs})\n")
    out.append("| protocol | " + " | ".join(WAY_NAMES[w] for w in WAYS)
               + " | " + " | ".join(name for _, name in RATIOS) + " |")
    out.append("|---" * (len(WAYS) + len(RATIOS) + 1) + "|")
    for p in PROTOS:
        m = {w: median(values, "bulk", p, w, "mb_per_s") for w in WAYS}
        out.append(f"| {p} | " + " | ".join(fmt(m[w], 1) for w in WAYS) + " | "
                   + " | ".join(ratio(m["qmx"], m[w]) for w, _ in RATIOS) + " |")
    out.append("")

    scale_kinds = sorted({k[0] for k in values if k[0].startswith("scale")},
                         key=lambda s: int(s[5:]))
    if scale_kinds:
        reps = ", ".join(f"{max(len(v) for k, v in values.items() if k[0] == kind)} at {int(kind[5:]):,}"
                         for kind in scale_kinds)
        out.append(f"### Idle connections (memory the relay gained per connection, KiB; medians of {reps})\n")
        out.append("PSS sums the relay's whole process tree (socat forks one process per "
                   "connection); for the single-process relays RSS is shown too.\n")
        relays = ["qmx", "haproxy", "socat", "minrelay"]
        out.append("| connections | protocol | qmx-proxy PSS / RSS | HAProxy PSS / RSS | socat PSS "
                   "| minimal relay PSS / RSS | qmx/HAProxy | qmx/socat | qmx/minimal |")
        out.append("|---" * 9 + "|")
        for kind in scale_kinds:
            for p in PROTOS:
                pss = {w: median(values, kind, p, w, "pss_kib_per_conn") for w in relays}
                rss = {w: median(values, kind, p, w, "rss_kib_per_conn") for w in relays}
                both = {w: f"{fmt(pss[w], 1)} / {fmt(rss[w], 1)}" for w in relays}
                out.append(f"| {int(kind[5:]):,} | {p} | {both['qmx']} | {both['haproxy']}"
                           f" | {fmt(pss['socat'], 1)} | {both['minrelay']}"
                           f" | {ratio(pss['qmx'], pss['haproxy'])} | {ratio(pss['qmx'], pss['socat'])}"
                           f" | {ratio(pss['qmx'], pss['minrelay'])} |")
        out.append("")
    return out


def load_micro(path):
    rows = {}
    lines = path.read_text().splitlines()
    start = next((i for i, l in enumerate(lines) if l.startswith("name,")), None)
    if start is None:
        return rows
    for row in csv.DictReader(lines[start:]):
        rows[row["name"].strip('"')] = row
    return rows


def micro_tables(rows):
    out = ["### In memory (fast host, no system calls; CPU time)\n"]
    out.append("| protocol | case | text | frame bytes | frames/s | MB/s | vs copy-only relay | vs framed copy |")
    out.append("|---" * 8 + "|")
    for p in PROTOS:
        for size in ("100", "8192"):
            copy = rows.get(f"{p}/copy_relay/{size}")
            copy_fps = float(copy["items_per_second"]) if copy else None
            framed = rows.get(f"{p}/framed_copy/{size}")
            framed_fps = float(framed["items_per_second"]) if framed else None
            for case in ("copy_relay", "framed_copy", "im_allowed", "im_replaced", "pass_through"):
                row = rows.get(f"{p}/{case}/{size}")
                if not row:
                    continue
                fps = float(row["items_per_second"])
                mbs = float(row["bytes_per_second"]) / 1e6
                share = f"{100 * fps / copy_fps:.2f} %" if copy_fps else "n/a"
                framed_share = f"{100 * fps / framed_fps:.1f} %" if framed_fps else "n/a"
                out.append(f"| {p} | {case} | {size} | {float(row['frame_bytes']):.0f} | {fps:,.0f}"
                           f" | {mbs:,.1f} | {share} | {framed_share} |")
    out.append("")
    return out


def goals_table(values, micro_rows):
    """The issue's goals, each with what this run measured."""
    out = ["### Goals\n", "| goal | protocol | measured | met |", "|---|---|---|---|"]

    def row(goal, proto, measured, ok):
        verdict = "n/a" if ok is None else ("yes" if ok else "**no**")
        out.append(f"| {goal} | {proto} | {measured} | {verdict} |")

    for p in PROTOS:
        q, h = (median(values, "rt", p, w, "msgs_per_s") for w in ("qmx", "haproxy"))
        if q and h:
            row("round trips ≥ 1.0× HAProxy", p, f"{q / h:.2f}×", q >= h)
        q99, h99 = (median(values, "rt", p, w, "p99_us") for w in ("qmx", "haproxy"))
        if q99 and h99:
            row("round-trip p99 ≤ HAProxy's", p, f"{q99:,.0f} µs vs {h99:,.0f} µs", q99 <= h99)
    # MSN frames cost more to filter, hence its lower bar.
    for p in PROTOS:
        q, h = (median(values, "bulk", p, w, "mb_per_s") for w in ("qmx", "haproxy"))
        bar = 0.8 if p == "msn" else 1.0
        if q and h:
            row(f"bulk ≥ {bar:.1f}× HAProxy", p, f"{q / h:.2f}×", q >= bar * h)
    for p in PROTOS:
        q, s_, m = (median(values, "rt", p, w, "msgs_per_s") for w in ("qmx", "socat", "minrelay"))
        if q and s_:
            row("round trips ≥ 1.0× socat", p, f"{q / s_:.2f}×", q >= s_)
        q99, s99 = median(values, "rt", p, "qmx", "p99_us"), median(values, "rt", p, "socat", "p99_us")
        if q99 and s99:
            row("round-trip p99 ≤ socat's", p, f"{q99:,.0f} µs vs {s99:,.0f} µs", q99 <= s99)
        if q and m:
            row("round trips ≥ 0.9× minimal relay", p, f"{q / m:.2f}×", q >= 0.9 * m)
    for p in PROTOS:
        q, s_ = (median(values, "bulk", p, w, "mb_per_s") for w in ("qmx", "socat"))
        if q and s_:
            row("bulk ≥ 1.0× socat", p, f"{q / s_:.2f}×", q >= s_)
    # Behind HAProxy, two qmx-proxy against two minimal relays.
    for kind, key, what in (("rt", "msgs_per_s", "round trips"), ("bulk", "mb_per_s", "bulk")):
        for p in PROTOS:
            q, m = (median(values, kind, p, w, key) for w in ("lbqmx", "lbmin"))
            if q and m:
                row(f"HAProxy + 2 qmx-proxy, {what} ≥ 0.9× HAProxy + 2 minimal relays", p,
                    f"{q / m:.2f}×", q >= 0.9 * m)
    for p in PROTOS:
        rss = median(values, "scale9000", p, "qmx", "rss_kib_per_conn")
        if rss is not None:
            row("9,000 idle connections at ≤ 32 KiB RSS each", p, f"{rss:.1f} KiB", rss <= 32)
    for p in PROTOS:
        at1, at64 = (median(values, "bulk", p, "qmx", k) for k in ("rss_1mib_kib", "rss_64mib_kib"))
        if p == "msn" and at1 and at64:
            row("qmx-proxy RSS after 64 MiB of one connection ≤ 2× after 1 MiB", p,
                f"{at64 / 1024:,.1f} MiB vs {at1 / 1024:,.1f} MiB", at64 <= 2 * at1)
    for size in ("100", "8192"):
        msn, ymsg = (micro_rows.get(f"{p}/im_allowed/{size}") for p in ("msn", "ymsg"))
        if msn and ymsg:
            r = float(msn["items_per_second"]) / float(ymsg["items_per_second"])
            row(f"in memory, {size}-byte IMs ≥ 0.5× YMSG's frames/s", "msn", f"{r:.2f}×", r >= 0.5)
    # The framed copy reads and sends frame by frame the way each relay must,
    # so it is the fair in-memory anchor; there is no goal against it.
    for p in PROTOS:
        for size in ("100", "8192"):
            framed, filt = (micro_rows.get(f"{p}/{c}/{size}") for c in ("framed_copy", "im_allowed"))
            if framed and filt:
                share = 100 * float(filt["items_per_second"]) / float(framed["items_per_second"])
                row(f"in memory, {size}-byte IMs against the framed copy", p, f"{share:.1f} %", None)
    out.append("")
    return out


def balanced_table(values):
    """HAProxy in front of two relays; the hop's cost is the p50 it adds."""
    out = ["### Behind HAProxy (two relays each; median of the repetitions)\n",
           "| protocol | HAProxy + 2 qmx-proxy msgs/s | HAProxy + 2 minimal msgs/s | ratio"
           " | p50 added by HAProxy to qmx-proxy µs | HAProxy + 2 qmx-proxy MB/s"
           " | HAProxy + 2 minimal MB/s | ratio |", "|---" * 8 + "|"]
    for p in PROTOS:
        rq, rm = (median(values, "rt", p, w, "msgs_per_s") for w in ("lbqmx", "lbmin"))
        bq, bm = (median(values, "bulk", p, w, "mb_per_s") for w in ("lbqmx", "lbmin"))
        lb50, q50 = (median(values, "rt", p, w, "p50_us") for w in ("lbqmx", "qmx"))
        if rq is None:
            continue
        added = fmt(lb50 - q50, 1) if lb50 is not None and q50 is not None else "–"
        out.append(f"| {p} | {fmt(rq)} | {fmt(rm)} | {ratio(rq, rm)} | {added} | {fmt(bq, 1)}"
                   f" | {fmt(bm, 1)} | {ratio(bq, bm)} |")
    out.append("")
    return out


def chart_data(values):
    lines = ["# round trips: protocol " + " ".join(WAYS)]
    for p in PROTOS:
        lines.append(p + " " + " ".join(str(median(values, "rt", p, w, "msgs_per_s") or 0) for w in WAYS))
    lines += ["", "", "# bulk MB/s: protocol " + " ".join(WAYS)]
    for p in PROTOS:
        lines.append(p + " " + " ".join(str(median(values, "bulk", p, w, "mb_per_s") or 0) for w in WAYS))
    return "\n".join(lines) + "\n"


def main():
    out_dir = Path(sys.argv[1])
    values = load_e2e(out_dir / "e2e.tsv")
    runs = max((len(v) for v in values.values()), default=0)
    text = []
    text.append("```")
    text.append((out_dir / "machine.txt").read_text().rstrip())
    text.append((out_dir / "load.txt").read_text().rstrip())
    text.append("```\n")
    micro = out_dir / "micro.csv"
    micro_rows = load_micro(micro) if micro.exists() else {}
    text += goals_table(values, micro_rows)
    text += e2e_tables(values, runs)
    text += balanced_table(values)
    replay = out_dir / "replay.txt"
    if replay.exists():
        text += ["### qmx-replay against tshark (bench/replay_bench.sh)\n", "```",
                 replay.read_text().rstrip(), "```\n"]
    if micro_rows:
        text += micro_tables(micro_rows)
    report = "\n".join(text)
    (out_dir / "report.md").write_text(report)
    (out_dir / "chart.dat").write_text(chart_data(values))

    if len(sys.argv) == 4 and sys.argv[2] == "--docs":
        docs = Path(sys.argv[3])
        block = f"{BEGIN}\n{report}\n{END}"
        if docs.exists() and BEGIN in docs.read_text() and END in docs.read_text():
            old = docs.read_text()
            head, rest = old.split(BEGIN, 1)
            _, tail = rest.split(END, 1)
            docs.write_text(head + block + tail)
        else:
            docs.write_text("# Benchmarks\n\n![chart](benchmarks.png)\n\n" + block + "\n")


if __name__ == "__main__":
    main()
