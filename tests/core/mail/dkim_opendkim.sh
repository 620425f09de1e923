#!/usr/bin/env bash
# OpenDKIM's own verifier (opendkim-testmsg) judges messages Brevora signed with an RSA and an
# Ed25519 key: plain, with a CJK subject, HTML with a text part, an attachment and unsubscribe and
# feedback headers. Its DNS look-ups reach a dnsmasq that serves the keys' records, in a network
# namespace of the test's own (whose resolv.conf names it). A message changed by one byte in a
# signed header or in the body fails. Needs root (exits 77, skipped, without it).
#   dkim_opendkim.sh BREVORA
set -euo pipefail
brevora=${1:?the brevora program}
. "$(dirname "$0")/../../support/dnsns.sh"
dns_test_begin dkim
for tool in opendkim-testmsg ip; do
  command -v $tool >/dev/null || { echo "$tool is missing (Debian: opendkim-tools, iproute2)"; exit 1; }
done
fail() { echo "FAILED: $*"; exit 1; }

data="$work/data"
"$brevora" sender add news@example.com --name "Club News" --data-dir "$data" >/dev/null
"$brevora" server add 127.0.0.1 --account x --port 1 --data-dir "$data" >/dev/null
printf 'Hello [= PARAM1 =],\r\n\r\n.a dot   and blanks   \r\n\r\n\r\n' >"$work/plain.txt"
printf '<html><body><p>你好 [= PARAM1 =]</p></body></html>\r\n' >"$work/page.html"
printf 'a file\r\n' >"$work/report.txt"
"$brevora" content add "Spring news" --body "$work/plain.txt" --data-dir "$data" >/dev/null
"$brevora" content add "春季新闻" --body "$work/page.html" --html --attach "$work/report.txt" \
  --unsubscribe "https://example.com/leave?u=[= EMAIL =]" --feedback-id "spring:news:club" --list-id "Club <club.example.com>" \
  --header "X-Member: [= PARAM1 =]" --data-dir "$data" >/dev/null
"$brevora" dkim generate --domain example.com --selector rsa1 --data-dir "$data" >"$work/rsa.txt"
"$brevora" dkim generate --domain example.com --selector ed1 --type ed25519 --data-dir "$data" >"$work/ed.txt"
printf 'ann@example.org,Ann\r\n' >"$work/list.txt"
for content in "Spring news" "春季新闻"; do
  "$brevora" send --list "$work/list.txt" --content "$content" --dry-run "$work/out-$content" --data-dir "$data" >/dev/null
done

# The records, as dnsmasq serves them: a TXT value longer than 255 bytes goes in several strings.
records=()
for f in "$work/rsa.txt" "$work/ed.txt"; do
  records+=("$(dns_txt "$(cut -d' ' -f1 "$f")" "$(sed -E 's/^[^"]*"(.*)"$/\1/' "$f")")")
done
dns_start "$ns" "$work/dnsmasq.pid" "${records[@]}"

verify() { ip netns exec "$ns" opendkim-testmsg <"$1" 2>&1; }
checked=0
for message in "$work"/out-*/*.eml; do
  # opendkim-testmsg checks the first signature; the second is checked with the keys swapped round.
  for order in as-sent swapped; do
    m="$work/m.eml"
    if [ $order = as-sent ]; then cp "$message" "$m"; else
      python3 - "$message" "$m" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
head, body = data.split(b'\r\n\r\n', 1)
lines = head.split(b'\r\n')
fields = []
for l in lines:
    if l[:1] in (b' ', b'\t'): fields[-1] += b'\r\n' + l
    else: fields.append(l)
sigs = [f for f in fields if f.lower().startswith(b'dkim-signature:')]
rest = [f for f in fields if not f.lower().startswith(b'dkim-signature:')]
open(sys.argv[2], 'wb').write(b'\r\n'.join(sigs[::-1] + rest) + b'\r\n\r\n' + body)
PY
    fi
    out=$(verify "$m") || fail "$message ($order): $out"
    [ -z "$out" ] || fail "$message ($order): $out"
    checked=$((checked + 1))
  done
  sed 's/^To: ann@example.org/To: bob@example.org/' "$message" >"$work/header.eml"
  if verify "$work/header.eml" >/dev/null; then fail "a changed To header passed: $message"; fi
  python3 -c 'import sys; d=bytearray(open(sys.argv[1],"rb").read()); d[-5]^=1; open(sys.argv[2],"wb").write(d)' "$message" "$work/body.eml"
  if verify "$work/body.eml" >/dev/null; then fail "a changed body passed: $message"; fi
done
[ $checked -eq 4 ] || fail "$checked signatures checked, not 4"
echo "OpenDKIM verified $checked signatures (RSA and Ed25519, two messages) and refused the changed ones"
