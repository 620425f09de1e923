#!/usr/bin/env bash
# Sending rate over a real network's round trip: a relay (sink/delayproxy.c) adds a fixed round
# trip of 0, 10 or 40 ms in front of the local sink (sink/minisink.c). Side by side in one run:
# Python's smtplib (one connection), Brevora with today's window pacing turned off but one message
# at a time (DATA, two waits a message), with PIPELINING alone (one wait), and with CHUNKING at
# W = 1, 8, 32 messages in flight on K = 1 or 4 connections. 1 KB messages with AUTH LOGIN.
# Prints messages per second, round trips per message, the share of what the pattern allows at
# that round trip, and the time for 1 000 messages at 40 ms including connecting and logging in.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
[ -x "$root/build/brevora" ] || "$root/scripts/build.sh"
out="$here/out-network"
rm -rf "$out"; mkdir -p "$out"
cc -O2 -o "$out/minisink" "$here/sink/minisink.c" -lssl -lcrypto -lpthread
cc -O2 -o "$out/delayproxy" "$here/sink/delayproxy.c" -lpthread
. "$here/lib.sh"
{ printf 'From: sender@example.com\r\nTo: r@example.org\r\nSubject: Monthly letter\r\n\r\nHello,\r\n%s\r\nRegards\r\n' "$body"; } > "$out/smtplib-body.txt"

pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
results="$out/results.jsonl"

# One measurement: label, round trip, sink options, count, waits a message the pattern needs
# (0: none, a window), window, connections, then the client: a command that gets the port last.
measure() {
  local label=$1 rtt=$2 sinkopts=$3 count=$4 waits=$5 window=$6 connections=$7; shift 7
  local port=$((20000 + RANDOM % 20000)) stats="$out/stats-$label-$rtt.jsonl"
  rm -f "$stats"
  # shellcheck disable=SC2086
  "$out/minisink" -s "$stats" -U bench:s3cret -x 600 $sinkopts "127.0.0.1:$port" >/dev/null 2>&1 & pids+=($!)
  local target=$port
  if [ "$rtt" -gt 0 ]; then
    target=$((port + 1))
    "$out/delayproxy" -q -r "$rtt" -x 600 "127.0.0.1:$target" "127.0.0.1:$port" >/dev/null 2>&1 & pids+=($!)
  fi
  sleep 0.3
  local start end
  start=$(date +%s.%N)
  "$@" "$target" >"$out/client-$label-$rtt.txt" 2>&1 || echo "  ($label at $rtt ms: the client failed, see $out/client-$label-$rtt.txt)"
  end=$(date +%s.%N)
  sleep 0.3
  python3 - "$stats" "$label" "$rtt" "$count" "$waits" "$window" "$connections" "$start" "$end" >>"$results" <<'PY'
import json, sys
stats, label, rtt, count, waits, window, connections, start, end = sys.argv[1:]
rows = [json.loads(l) for l in open(stats) if l.strip()]
rows = [r for r in rows if r["msgs"]]
msgs = sum(r["msgs"] for r in rows)
span = max(r["t_last_msg_mono"] for r in rows) - min(r["t_first_mail_mono"] for r in rows) if rows else 0
turns = sum(r["turns_in_window"] for r in rows)
print(json.dumps({"label": label, "rtt": int(rtt), "msgs": msgs, "expected": int(count),
                  "rate": msgs / span if span > 0 else 0, "trips": turns / msgs if msgs else 0,
                  "waits": float(waits), "window": int(window), "connections": int(connections),
                  "wall": float(end) - float(start)}))
PY
  kill "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  pids=()
}

smtplib_run() { # count port
  python3 "$here/smtplib_client.py" 127.0.0.1 "$2" "$1" 0 "$out/smtplib-body.txt"
}
brevora_run() { # work count window connections port
  setup_data "$1/data" "$5" 0 "$2"
  (cd "$1" && "$root/build/brevora" send --data-dir data --list data/list.txt --interval 0 --window "$3" --connections "$4")
}
brevora() { # label rtt sinkopts count waits window connections
  local label=$1 rtt=$2 sinkopts=$3 count=$4 waits=$5 window=$6 connections=$7
  rm -rf "$out/$label-$rtt"
  measure "$label" "$rtt" "$sinkopts" "$count" "$waits" "$window" "$connections" \
    brevora_run "$out/$label-$rtt" "$count" "$window" "$connections"
}

for rtt in 0 10 40; do
  small=$(( rtt == 0 ? 2000 : (rtt == 10 ? 300 : 100) ))
  big=$(( rtt == 0 ? 4000 : 1000 ))
  echo "== round trip $rtt ms =="
  measure smtplib "$rtt" -C "$small" 4 1 1 smtplib_run "$small"
  brevora data-w1 "$rtt" -C "$small" 2 1 1
  brevora pipelining "$rtt" -C "$big" 1 32 1
  for w in 1 8 32; do
    brevora "bdat-w$w" "$rtt" "" $(( w == 1 ? small : big )) 0 "$w" 1
  done
  brevora bdat-w32-k4 "$rtt" "" "$big" 0 32 4
  brevora pipelining-k4 "$rtt" -C "$big" 1 32 4
done

python3 - "$results" <<'PY'
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1])]
print("%-14s %6s %8s %10s %10s %12s %10s" % ("client", "rtt", "msgs", "msgs/s", "trips/msg", "of pattern", "wall s"))
for r in rows:
    # What the pattern allows at that round trip: a wait a message (or several), or a window of
    # transactions per round trip; times the connections.
    limit = None
    if r["rtt"] > 0:
        per_conn = (r["window"] if r["waits"] == 0 else 1 / r["waits"]) * 1000 / r["rtt"]
        limit = per_conn * r["connections"]
    share = "%9.0f%%" % (100 * r["rate"] / limit) if limit else "%10s" % "-"
    missing = "" if r["msgs"] == r["expected"] else "  (%d of %d arrived)" % (r["msgs"], r["expected"])
    print("%-14s %6d %8d %10.0f %10.2f %12s %10.2f%s" % (r["label"], r["rtt"], r["msgs"], r["rate"], r["trips"], share, r["wall"], missing))
by = {(r["label"], r["rtt"]): r for r in rows}
for rtt in (10, 40):
    s, b = by.get(("smtplib", rtt)), by.get(("bdat-w32", rtt))
    if s and b and s["rate"]:
        print("at %d ms: brevora BDAT W=32 is %.0f times smtplib" % (rtt, b["rate"] / s["rate"]))
b = by.get(("bdat-w32", 40))
if b:
    print("1 000 messages at 40 ms, BDAT W=32, one connection, connect and login included: %.2f s" % b["wall"])
PY
