#!/usr/bin/env bash
# Kill test: "brevora send" over a real SMTP server (aiosmtpd) is killed with SIGKILL at random
# moments, then run again, until the list is empty. Prints how many recipients got more than
# one copy and whether every one got at least one, and how many entries each kill left uncertain.
# Usage: bench/killtest.sh [KILLS] [ENTRIES] [send options...]; KILLTEST_SERVER=sink uses the
# benchmark's sink (PIPELINING and CHUNKING, so --window counts) instead of aiosmtpd.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
kills=${1:-30}
count=${2:-20000}
shift $(( $# < 2 ? $# : 2 ))
extra=("$@")
bin=${BREVORA_BIN:-$root/build/brevora}
[ -x "$bin" ] || "$root/scripts/build.sh"
out=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$out"' EXIT
. "$here/lib.sh"

mkdir -p "$out/mail"
if [ "${KILLTEST_SERVER:-aiosmtpd}" = sink ]; then
  cc -O2 -o "$out/minisink" "$here/sink/minisink.c" -lssl -lcrypto -lpthread
  port=$((20000 + RANDOM % 20000))
  "$out/minisink" -o "$out/mail" -x 900 "127.0.0.1:$port" > "$out/server.txt" 2>&1 &
  server=$!
  sleep 0.5
else
  /usr/bin/python3 "$root/tests/support/smtpd.py" --out "$out/mail" --lifetime 900 > "$out/server.txt" &
  server=$!
  for _ in $(seq 100); do grep -q READY "$out/server.txt" 2>/dev/null && break; sleep 0.1; done
  port=$(awk '/READY/ {print $2}' "$out/server.txt")
fi
setup_data "$out/data" "$port" 0 "$count"

# In a subshell of its own that becomes the program, so that the kill reaches the program itself.
send() { cd "$out" && exec "$bin" send --data-dir "$out/data" --interval 0 "${extra[@]}" "$@" > /dev/null 2>&1; }
killed=0
uncertain=0
for i in $(seq "$kills"); do
  args=()
  [ "$i" -eq 1 ] && args=(--list "$out/data/list.txt")
  send "${args[@]}" & pid=$!
  # The first run reads the list in before anything goes: the kills count from its first message.
  if [ "$i" -eq 1 ]; then
    for _ in $(seq 600); do [ -n "$(ls "$out/mail" | head -1)" ] && break; sleep 0.1; done
  fi
  sleep "$(python3 -c 'import random; print(round(random.uniform(0.05, 0.6), 3))')"
  if kill -9 "$pid" 2>/dev/null; then killed=$((killed + 1)); fi
  wait "$pid" 2>/dev/null || true
  n=$("$bin" list --data-dir "$out/data" --uncertain 2>/dev/null | wc -l)
  uncertain=$((uncertain + n))
done
until (send); do :; done

python3 - "$out/mail" "$count" "$killed" "$uncertain" "${extra[*]}" <<'PY'
import collections, glob, re, sys
folder, count, killed, uncertain, options = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
copies = collections.Counter()
for env in glob.glob(folder + "/*.env"):
    for rcpt in open(env).read().split("\n")[1].split(","):
        copies[rcpt] += 1
for eml in glob.glob(folder + "/*.eml"):
    if not glob.os.path.exists(eml + ".env"):
        m = re.search(rb"^To: <?([^>\r\n]+)>?\r?$", open(eml, "rb").read(), re.M)
        if m:
            copies[m.group(1).decode()] += 1
twice = sum(n - 1 for n in copies.values() if n > 1)
missing = count - len(copies)
print(f"{killed} kills of {count} entries ({options or 'defaults'}): {sum(copies.values())} messages, "
      f"{twice} second copies ({twice / max(killed, 1):.1f} a kill), {missing} got none, "
      f"{uncertain} uncertain after the kills")
PY
