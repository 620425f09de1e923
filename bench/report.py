"""Reads minisink's per-session statistics and prints messages per second and round trips, and
with the clients' CPU seconds (a line a session: label, seconds) the CPU per 1000 messages."""
import json
import statistics
import sys

rows = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
by_label = {}
labels = sys.argv[2].split(",")  # one label per session, in order
for label, row in zip(labels, rows):
    if row["msgs"] and row["window_s"] > 0:
        by_label.setdefault(label, []).append(row)

def rate(rs):
    return statistics.median(r["msgs"] / r["window_s"] for r in rs)

def trips(rs):
    return statistics.median(r["turns_in_window"] / r["msgs"] for r in rs)

cpu = {}
if len(sys.argv) > 4:
    count = int(sys.argv[4])
    for line in open(sys.argv[3]):
        label, seconds = line.split()
        cpu.setdefault(label, []).append(float(seconds) * 1e6 / count)  # ms per 1000 messages

result = {}
print("%-22s %14s %18s %8s %22s" % ("client", "msgs/s (median)", "round trips/msg", "runs", "ms CPU/1000 (median)"))
for label, rs in by_label.items():
    result[label] = rate(rs)
    print("%-22s %14.0f %18.2f %8d %22s" % (label, rate(rs), trips(rs), len(rs),
                                            "%.1f" % statistics.median(cpu[label]) if label in cpu else "-"))
for mode in ("plain", "tls"):
    ours, ref = (cpu.get(client + "-" + mode) for client in ("brevora", "ceiling-bdat"))
    if ours and ref:
        print("brevora/ceiling-bdat CPU per message %-5s: %.1fx" % (mode, statistics.median(ours) / statistics.median(ref)))
for mode in ("plain", "tls"):
    ours, ref, ceiling = (result.get(client + "-" + mode) for client in ("brevora", "smtplib", "ceiling"))
    if ours and ref:
        print("brevora/smtplib %-5s: %.2fx" % (mode, ours / ref))
    if ours and ceiling:
        print("brevora/ceiling %-5s: %.0f%%" % (mode, 100 * ours / ceiling))
