#!/usr/bin/env bash
# A shared PostgreSQL store drained by several "brevora send" processes at once, over the local
# sink: ENTRIES (default 100 000) entries, drained by 1, 2 and 4 processes in turn; prints the
# total rate of each and checks at the sink that every entry arrived exactly once. Then the fault
# run: 4 processes, one killed with SIGKILL in the middle; the others finish the list once its
# lease (LEASE seconds, default 10) ends; prints the sink's count, the log's count and the number
# of second copies.
# The processes share one data folder, as a user's processes on one machine do; with
# SEPARATE=1 each has one of its own, as on machines of their own (a killed process's journal then
# stays on its "machine"). The cluster is a throw-away one in a temporary folder, with fsync on.
# ROUND_TRIP_MS (default 0) puts the relay with that round trip between the processes and the sink.
# Usage: bench/shared.sh [ENTRIES]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
count=${1:-100000}
lease=${LEASE:-10}
rtt=${ROUND_TRIP_MS:-0}
bin=${BREVORA_BIN:-$root/build/brevora}
[ -x "$bin" ] || "$root/scripts/build.sh"
out=$(mktemp -d /tmp/brevora-shared.XXXXXX)
chmod 755 "$out"
sink=""
relay=""
cleanup() {
  kill $sink $relay 2>/dev/null || true
  bash "$root/tests/support/pgcluster.sh" stop "$out/pg" >/dev/null 2>&1 || true
  if [ "${KEEP:-0}" = 1 ]; then echo "kept in $out"; else rm -rf "$out"; fi
}
trap cleanup EXIT
cc -O2 -o "$out/minisink" "$here/sink/minisink.c" -lssl -lcrypto -lpthread
cc -O2 -o "$out/delayproxy" "$here/sink/delayproxy.c" -lpthread
PG_FSYNC=on bash "$root/tests/support/pgcluster.sh" start "$out/pg"
export PGPASSWORD
PGPASSWORD=$(cat "$out/pg/password")
base=$(cat "$out/pg/url")
. "$here/lib.sh"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# start_sink NAME: a sink writing the envelopes to $out/NAME.env; sets $sink, $relay and $port.
start_sink() {
  local sink_port
  sink_port=$(free_port)
  "$out/minisink" -U bench:s3cret -x 3600 -t 120 -e "$out/$1.env" "127.0.0.1:$sink_port" & sink=$!
  port=$sink_port
  if [ "$rtt" != 0 ]; then
    port=$(free_port)
    "$out/delayproxy" -q -r "$rtt" "127.0.0.1:$port" "127.0.0.1:$sink_port" & relay=$!
  fi
  sleep 0.3
}
# The sink writes a session's envelopes when the session ends: it is given a moment for that.
stop_sink() { sleep 1; kill $sink $relay 2>/dev/null || true; wait $sink $relay 2>/dev/null || true; sink=""; relay=""; }

# new_store NAME: a database of that name holding the list; sets $url.
new_store() {
  psql -q "$base" -c "CREATE DATABASE $1" >/dev/null
  url="${base%/*}/$1"
  setup_data "$out/$1-data" "$port" 0 "$count"
  "$bin" list --data-dir "$out/$1-data" --store "$url" >/dev/null
  psql -q "$url" -c "\\copy pending(entry) FROM '$out/$1-data/list.txt'" >/dev/null
}

# launch NAME PROCESSES: starts the processes together; sets $pids.
launch() {
  local name=$1 n=$2 data
  pids=()
  for i in $(seq "$n"); do
    data="$out/$name-data"
    if [ "${SEPARATE:-0}" = 1 ]; then
      data="$out/$name-p$i"
      cp -r "$out/$name-data" "$data"
    fi
    (cd "$out" && exec "$bin" send --data-dir "$data" --store "$url" --interval 0 --lease "$lease" \
       >"$out/$name-p$i.out" 2>&1) &
    pids+=($!)
  done
}

# check NAME: the sink's envelopes against the store.
check() {
  python3 - "$out/$1.env" "$count" <<'PY'
import collections, sys
# Each session's current envelope; its recipients count once the message is taken (QUEUED).
copies = collections.Counter()
envelope = {}
for line in open(sys.argv[1]):
    session, _, what = line.rstrip("\n").partition(" ")
    if what.startswith("MAIL FROM:"):
        envelope[session] = []
    elif what.startswith("RCPT TO:<"):
        envelope.setdefault(session, []).append(what[9:].split(">")[0])
    elif what == "QUEUED":
        for rcpt in envelope.pop(session, []):
            copies[rcpt] += 1
count = int(sys.argv[2])
total = sum(copies.values())
print(f"sink: {total} messages, {len(copies)} recipients, {total - len(copies)} second copies, "
      f"{count - len(copies)} missing")
PY
  local logged pending
  logged=$(psql -tA "$url" -c "SELECT count(*), count(DISTINCT MAILADDR) FROM sendlog WHERE TYPE")
  pending=$(psql -tA "$url" -c "SELECT count(*) FROM pending")
  echo "store: ${logged%|*} delivered rows (${logged#*|} distinct), $pending pending"
}

echo "== $count entries, round trip to the sink ${rtt} ms, $(nproc) cores =="
declare -A rate
for n in 1 2 4; do
  start_sink "drain$n"
  new_store "drain$n"
  t0=$(date +%s.%N)
  launch "drain$n" "$n"
  for p in "${pids[@]}"; do wait "$p" || echo "a process ended with status $?"; done
  t1=$(date +%s.%N)
  stop_sink
  rate[$n]=$(python3 -c "print(round($count / ($t1 - $t0)))")
  echo "-- $n processes: $(python3 -c "print(round($t1 - $t0, 2))") s, ${rate[$n]} msg/s in total"
  check "drain$n"
done
echo "4 processes against 1: $(python3 -c "print(round(${rate[4]} / ${rate[1]}, 2))")x"

echo "== Fault run: 4 processes, one killed with SIGKILL in the middle, lease $lease s =="
start_sink fault
new_store fault
t0=$(date +%s.%N)
launch fault 4
# Killed once a third of the list went out.
delivered() { psql -tA "$url" -c "SELECT count(*) FROM sendlog"; }
until [ "$(delivered)" -ge $((count / 3)) ]; do sleep 0.05; done
kill -9 "${pids[0]}"
echo "killed process 1 when the log held $(delivered) deliveries"
for p in "${pids[@]:1}"; do wait "$p" || echo "a process ended with status $?"; done
t1=$(date +%s.%N)
stop_sink
echo "the others finished in $(python3 -c "print(round($t1 - $t0, 2))") s"
grep -h "Waiting for" "$out"/fault-p*.out | sed 's/^/  /' || true
check fault
