#!/usr/bin/env bash
# End to end with real servers: Brevora sends through a throw-away Postfix (local delivery only) to
# four addresses, two of which do not exist; Postfix returns its own bounces to each message's
# return path, which it delivers into the test Dovecot's mailbox; "brevora bounces fetch" reads
# them, and exactly the two addresses that do not exist are suppressed. A second fetch changes
# nothing. Needs root for Postfix: exits 77 (skipped) without it.
#   bounces_endtoend.sh BREVORA DOVECOT_STATE
set -euo pipefail
brevora=${1:?the brevora program}
dovecot=${2:?the Dovecot state folder}
[ "$(id -u)" -eq 0 ] || { echo "skipped: Postfix needs root"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
postfix_state="$work/postfix"
maildir=$(cat "$dovecot/maildir")
cleanup() {
  bash "$here/../support/postfix.sh" stop "$postfix_state" >/dev/null 2>&1 || true
  rm -rf "$work"
  find "$maildir/new" "$maildir/cur" -type f -delete 2>/dev/null || true
}
trap cleanup EXIT
find "$maildir/new" "$maildir/cur" -type f -delete 2>/dev/null || true
bash "$here/../support/postfix.sh" start "$postfix_state" "$maildir"
fail() { echo "FAILED: $*"; exit 1; }

data="$work/data"
"$brevora" server add 127.0.0.1 --account relay --port "$(cat "$postfix_state/port")" --data-dir "$data" >/dev/null
"$brevora" sender add news@example.com --name News --bounce-address bounces@bounce.test \
  --bounce-mailbox "imaps://bounces@127.0.0.1:$(cat "$dovecot/imaps")/INBOX" --bounce-password-stdin \
  --data-dir "$data" <<<"$(cat "$dovecot/password")" >/dev/null
printf 'Hello\r\n' >"$work/body.txt"
"$brevora" content add "Spring news" --body "$work/body.txt" --data-dir "$data" >/dev/null
printf 'alice@example.test\r\nnobody1@example.test\r\nbob@example.test\r\nnobody2@example.test\r\n' >"$work/list.txt"
"$brevora" send --list "$work/list.txt" --interval 0 --data-dir "$data" >"$work/send.txt" || fail "send: $(cat "$work/send.txt")"

# Postfix bounces at once; its two notifications reach the mailbox within a few seconds.
for _ in $(seq 150); do
  [ "$(find "$maildir/new" "$maildir/cur" -type f | wc -l)" -ge 2 ] && break
  sleep 0.2
done
[ "$(find "$maildir/new" "$maildir/cur" -type f | wc -l)" -eq 2 ] || fail "Postfix's bounces did not arrive: $(tail -5 "$(cat "$postfix_state/maillog")")"
grep -q "to=<bounces+1-[a-z2-7]\{16\}@bounce.test>" "$(cat "$postfix_state/maillog")" || fail "no return path with a tag in Postfix's log"

fingerprint=$(cat "$dovecot/fingerprint")
first=$("$brevora" bounces fetch --trust-certificate "$fingerprint" --data-dir "$data")
echo "$first"
[[ $first == "2 messages read: 2 bounces, 0 complaints, 2 addresses suppressed;"* ]] || fail "first fetch: $first"
suppressed=$("$brevora" suppress --data-dir "$data" | cut -f1 | sort | tr '\n' ' ')
[ "$suppressed" = "nobody1@example.test nobody2@example.test " ] || fail "suppressed: $suppressed"
listed=$("$brevora" bounces list --data-dir "$data")
grep -q $'nobody1@example.test\thard\t5.1.1\t.*\trun 1$' <<<"$listed" || fail "list: $listed"
second=$("$brevora" bounces fetch --trust-certificate "$fingerprint" --data-dir "$data")
[[ $second == "0 messages read: 0 bounces, 0 complaints, 0 addresses suppressed;"* ]] || fail "second fetch: $second"
[ "$("$brevora" suppress --data-dir "$data" | wc -l)" -eq 2 ] || fail "the second fetch changed the suppression list"
echo "exactly the two addresses that do not exist were suppressed"
