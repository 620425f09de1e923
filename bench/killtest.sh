#!/usr/bin/env bash
# Kill test: "brevora send" over a real SMTP server (aiosmtpd) is killed with SIGKILL at random
# moments, then run again, until the list is empty. Prints how many recipients got more than
# one copy and whether every one got at least one. Usage: bench/killtest.sh [KILLS] [ENTRIES]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
kills=${1:-30}
count=${2:-20000}
bin=${BREVORA_BIN:-$root/build/brevora}
[ -x "$bin" ] || "$root/scripts/build.sh"
out=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$out"' EXIT
. "$here/lib.sh"

/usr/bin/python3 "$root/tests/support/smtpd.py" --out "$out/mail" --lifetime 900 > "$out/server.txt" &
server=$!
mkdir -p "$out/mail"
for _ in $(seq 100); do grep -q READY "$out/server.txt" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/READY/ {print $2}' "$out/server.txt")
setup_data "$out/data" "$port" 0 "$count"

# In a subshell of its own that becomes the program, so that the kill reaches the program itself.
send() { cd "$out" && exec "$bin" send --data-dir "$out/data" --interval 0 "$@" > /dev/null 2>&1; }
killed=0
for i in $(seq "$kills"); do
  args=()
  [ "$i" -eq 1 ] && args=(--list "$out/data/list.txt")
  send "${args[@]}" & pid=$!
  sleep "$(python3 -c 'import random; print(round(random.uniform(0.05, 0.6), 3))')"
  if kill -9 "$pid" 2>/dev/null; then killed=$((killed + 1)); fi
  wait "$pid" 2>/dev/null || true
done
until (send); do :; done

python3 - "$out/mail" "$count" "$killed" <<'PY'
import collections, glob, sys
folder, count, killed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
copies = collections.Counter()
for env in glob.glob(folder + "/*.env"):
    for rcpt in open(env).read().split("\n")[1].split(","):
        copies[rcpt] += 1
twice = sum(1 for n in copies.values() if n > 1)
missing = count - len(copies)
print(f"{killed} kills of {count} entries: {sum(copies.values())} messages, "
      f"{twice} recipients got two copies, {missing} got none")
PY
