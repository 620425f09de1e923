"""Reads minisink's per-session statistics and prints messages per second and round trips."""
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

result = {}
print("%-22s %14s %18s %8s" % ("client", "msgs/s (median)", "round trips/msg", "runs"))
for label, rs in by_label.items():
    result[label] = rate(rs)
    print("%-22s %14.0f %18.2f %8d" % (label, rate(rs), trips(rs), len(rs)))
for mode in ("plain", "tls"):
    ours, ref, ceiling = (result.get(client + "-" + mode) for client in ("brevora", "smtplib", "ceiling"))
    if ours and ref:
        print("brevora/smtplib %-5s: %.2fx" % (mode, ours / ref))
    if ours and ceiling:
        print("brevora/ceiling %-5s: %.0f%%" % (mode, 100 * ours / ceiling))
