#!/usr/bin/env bash
# "brevora check" against a real DNS server: dnsmasq serving the test's records in a network
# namespace of the test's own (whose resolv.conf names it), for a domain set up right and for
# domains set up wrong in each way: SPF missing, "+all" or over 10 look-ups, a DKIM record of
# another key, no DMARC, no MX, a free-mail From whose domain rejects others, a server whose address
# the SPF record does not name; and a DNS server that
# does not answer, which leaves the checks undecided rather than failed. Needs root (exits
# 77, skipped, without it).
#   check_dns.sh BREVORA
set -euo pipefail
brevora=${1:?the brevora program}
. "$(dirname "$0")/../support/dnsns.sh"
dns_test_begin check
fail() { echo "FAILED: $*"; exit 1; }

data="$work/data"
for sender in news@good.test news@bad.test news@many.test news@yahoo.com news@broken.test; do
  "$brevora" sender add "$sender" --data-dir "$data" >/dev/null
done
"$brevora" sender edit news@good.test --bounce-address bounces@good.test --data-dir "$data" >/dev/null
"$brevora" dkim generate --domain good.test --selector s1 --data-dir "$data" >"$work/good.txt"
"$brevora" dkim generate --domain bad.test --selector s1 --type ed25519 --data-dir "$data" >/dev/null
"$brevora" dkim generate --domain other.test --selector s1 --type ed25519 --data-dir "$data" >"$work/other.txt"

txt() { dns_txt "$@"; }
value() { sed -E 's/^[^"]*"(.*)"$/\1/' "$1"; }
records=(
  "$(txt good.test "v=spf1 ip4:192.0.2.1 -all")"
  "$(txt s1._domainkey.good.test "$(value "$work/good.txt")")"
  "$(txt _dmarc.good.test "v=DMARC1; p=reject; rua=mailto:dmarc@good.test")"
  --mx-host=good.test,mx.good.test,10
  "$(txt bad.test "v=spf1 +all")"
  "$(txt s1._domainkey.bad.test "$(value "$work/other.txt")")"
  "$(txt many.test "v=spf1 $(for i in $(seq 11); do printf 'include:i%d.many.test ' $i; done)-all")"
  "$(txt _dmarc.many.test "v=DMARC1; p=none")"
  --mx-host=many.test,mx.many.test,10
  "$(txt yahoo.com "v=spf1 -all")"
  "$(txt _dmarc.yahoo.com "v=DMARC1; p=reject;")"
  --mx-host=yahoo.com,mx.yahoo.com,10
  --local=/test/ --local=/yahoo.com/ # names without records are answered "no such name", as a zone's server does
  --server=/broken.test/127.0.0.9     # a server that never answers
)
for i in $(seq 11); do records+=("$(txt "i$i.many.test" "v=spf1 -all")"); done
records[${#records[@]}-1]=$(txt i11.many.test "v=spf1 ip4:192.0.2.48/29 -all")
records+=(--host-record=smtp.good.test,192.0.2.1 --host-record=smtp.many.test,192.0.2.99 --host-record=relay.many.test,192.0.2.50)
dns_start "$ns" "$work/dnsmasq.pid" "${records[@]}"

check() { # sender [option...]: the result lines, then "exit N"
  local status=0 sender=$1
  shift
  ip netns exec "$ns" "$brevora" check --sender "$sender" "$@" --data-dir "$data" >"$work/out.txt" || status=$?
  cat "$work/out.txt"
  echo "exit $status"
}
expect() { # output level check-prefix
  grep -qP "^$2\t\Q$3\E" <<<"$1" || fail "no \"$2\" for \"$3\" in:
$1"
}

out=$(check news@good.test)
[[ $out == *"exit 0" ]] || fail "good.test: $out"
[ "$(grep -c $'^pass\t' <<<"$out")" -eq 4 ] || fail "good.test should pass all four: $out"
expect "$out" pass "SPF good.test (From)"
expect "$out" pass "DKIM s1._domainkey.good.test"
expect "$out" pass "DMARC good.test"
expect "$out" pass "MX good.test"

out=$(check news@bad.test)
[[ $out == *"exit 5" ]] || fail "bad.test: $out"
expect "$out" failure "SPF bad.test (From)"
expect "$out" failure "DKIM s1._domainkey.bad.test"
expect "$out" failure "DMARC bad.test"
expect "$out" warning "MX bad.test"
grep -q '+all' <<<"$out" || fail "the +all failure does not say why: $out"

out=$(check news@many.test)
expect "$out" failure "SPF many.test (From)"
grep -q "11 DNS look-ups" <<<"$out" || fail "the look-ups are not counted: $out"
expect "$out" warning "DKIM many.test"
expect "$out" warning "DMARC many.test" # p=none, aligned by its own return path

out=$(check news@yahoo.com)
[[ $out == *"exit 5" ]] || fail "yahoo.com: $out"
expect "$out" failure "From yahoo.com"
# A DNS that does not answer leaves the checks undecided: said so, not taken for missing records.
out=$(check news@broken.test)
[[ $out == *"exit 0" ]] || fail "broken.test: $out"
expect "$out" warning "SPF broken.test (From)"
grep -q $'^warning\tSPF broken.test (From)\tnot checked: the DNS look-up of broken.test' <<<"$out" || fail "broken.test: $out"
grep -q "no SPF record" <<<"$out" && fail "an unanswered look-up was taken for a missing record: $out"

# With a server: whether the return path's SPF names the server's addresses (through an include
# too). The server cannot be reached from the namespace, so its TLS check fails, as it should.
for host in smtp.good.test smtp.many.test relay.many.test; do
  "$brevora" server add "$host" --account a --data-dir "$data" >/dev/null
done
out=$(check news@good.test --server smtp.good.test)
expect "$out" pass "SPF good.test (server smtp.good.test)"
expect "$out" failure "TLS smtp.good.test"
out=$(check news@many.test --server smtp.many.test)
expect "$out" warning "SPF many.test (server smtp.many.test)"
grep -q "add ip4:192.0.2.99 to the SPF record of many.test" <<<"$out" || fail "no advice for the server's address: $out"
out=$(check news@many.test --server relay.many.test)
expect "$out" pass "SPF many.test (server relay.many.test)"
echo "brevora check gave the expected result for each domain"
