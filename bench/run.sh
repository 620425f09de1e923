#!/usr/bin/env bash
# Benchmarks, printed side by side: the sending rate and CPU per message of "brevora send
# --interval 0" against a fast local SMTP sink (20 000 messages of about 1 KB over one session,
# plain and implicit TLS, median of 5 runs) next to Python's smtplib and a minimal C client (the
# machine's ceiling, pipelined over DATA and with BDAT) over the same sink, then the message,
# store and window figures, reading a list of a million lines, memory with a large attachment,
# bounces and signing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
[ -x "$root/build/brevora" ] || "$root/scripts/build.sh"
out="$here/out"
rm -rf "$out"; mkdir -p "$out"
cc -O2 -o "$out/minisink" "$here/sink/minisink.c" -lssl -lcrypto -lpthread
cc -O2 -o "$out/ceiling" "$here/ceiling.c" -lssl -lcrypto
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1 -days 1 -keyout "$out/key.pem" -out "$out/cert.pem" 2>/dev/null
fingerprint=$(openssl x509 -noout -fingerprint -sha256 -in "$out/cert.pem" | cut -d= -f2)

count=${BENCH_COUNT:-20000}
runs=${BENCH_RUNS:-5}
port_plain=$((20000 + RANDOM % 20000))
port_tls=$((port_plain + 1))
stats="$out/stats.jsonl"
"$out/minisink" -s "$stats" -U bench:s3cret -x 900 "127.0.0.1:$port_plain" & sink_plain=$!
"$out/minisink" -s "$stats" -U bench:s3cret -x 900 -c "$out/cert.pem" -k "$out/key.pem" "127.0.0.1:$port_tls" & sink_tls=$!
trap 'kill $sink_plain $sink_tls 2>/dev/null || true' EXIT
sleep 0.5

. "$here/lib.sh"
{ printf 'From: sender@example.com\r\nTo: r@example.org\r\nSubject: Monthly letter\r\n\r\nHello,\r\n%s\r\nRegards\r\n' "$body"; } > "$out/smtplib-body.txt"

labels=()
cpu="$out/cpu.txt" # a line a session: its label and the client's CPU seconds (user and system)
timed() { # label command...: runs the client under time, notes its CPU
  /usr/bin/time -f "%U %S" -o "$out/time.txt" "${@:2}"
  labels+=("$1")
  echo "$1 $(awk '{print $1 + $2}' "$out/time.txt")" >> "$cpu"
  sleep 0.2
}
for run in $(seq $runs); do
  for mode in plain tls; do
    port=$port_plain; ssl=0
    [ $mode = tls ] && { port=$port_tls; ssl=1; }
    work="$out/run-$mode-$run"
    setup_data "$work/data" $port $ssl $count
    cd "$work"
    timed "brevora-$mode" "$root/build/brevora" send --data-dir "$work/data" --list "$work/data/list.txt" \
        --interval 0 --trust-certificate "$fingerprint" > "$work/activity.txt"
    cd - > /dev/null
    timed "smtplib-$mode" python3 "$here/smtplib_client.py" 127.0.0.1 $port $count $ssl "$out/smtplib-body.txt"
    timed "ceiling-$mode" "$out/ceiling" 127.0.0.1 $port $count $ssl bench s3cret
    timed "ceiling-bdat-$mode" "$out/ceiling" 127.0.0.1 $port $count $ssl bench s3cret bdat
  done
done
sleep 0.5
echo "== Sending rate and CPU: $count messages of about 1 KB over one session, local sink, median of $runs =="
echo "   (ceiling: a minimal C client pipelining over DATA; ceiling-bdat: the same with BDAT, one round trip a message)"
python3 "$here/report.py" "$stats" "$(IFS=,; echo "${labels[*]}")" "$cpu" $count
echo
echo "== Message, store and window figures =="
QT_QPA_PLATFORM=offscreen "$root/build/bench/bench_figures"

echo
echo "== Reading a list of 1 000 000 lines into the pending list (brevora send --list, no server; time -v) =="
echo "   (clean: plain lines; dirty: half of them refused; sheet: a CSV with a header and quoted fields)"
python3 - "$out" <<'PY'
import sys
out = sys.argv[1]
with open(out + "/clean.txt", "wb") as clean, open(out + "/dirty.txt", "wb") as dirty:
    for i in range(1000000):
        clean.write(b"r%d@example.org,Name%d\r\n" % (i, i))
        # every other line has a byte the code page does not define, the others blanks around them
        dirty.write(b"r%d@example.org,N\x81me%d\r\n" % (i, i) if i % 2 else b"  r%d@example.org  \r\n" % i)
# the same as a spreadsheet writes it: UTF-8 with its mark, a header row, quoted fields
with open(out + "/sheet.txt", "wb") as sheet:
    sheet.write(b"\xef\xbb\xbf" b"first_name,\"City\",Email\r\n")
    for i in range(1000000):
        sheet.write(b"\"Name %d\",\"S\xc3\xa3o \"\"%d\"\"\",r%d@example.org\r\n" % (i, i % 97, i))
PY
for kind in clean dirty sheet; do
  setup_data "$out/list-$kind" 1 0 0
  /usr/bin/time -v -o "$out/list-$kind.time" "$root/build/brevora" send --data-dir "$out/list-$kind" \
      --list "$out/$kind.txt" > /dev/null 2>&1 || true
  python3 - "$out/list-$kind.time" "$kind" <<'PY'
import sys
t = {k.strip(): v.strip() for k, v in (l.split(": ", 1) for l in open(sys.argv[1]) if ": " in l)}
m, s = t["Elapsed (wall clock) time (h:mm:ss or m:ss)"].split(":")[-2:]
print("%-6s %5.1f s %6d MB peak" % (sys.argv[2], int(m) * 60 + float(s), int(t["Maximum resident set size (kbytes)"]) // 1024))
PY
done

echo
echo "== Peak memory: 40 messages with a 10 MB attachment, --interval 0 --window 32, local sink =="
head -c $((10 * 1024 * 1024)) /dev/urandom > "$out/attachment.bin"
setup_data "$out/attach" $port_plain 0 40
(cd "$out/attach" && /usr/bin/time -f "brevora   %M KB peak, %e s" "$root/build/brevora" send --data-dir "$out/attach" \
    --list "$out/attach/list.txt" --interval 0 --window 32 --attach "$out/attachment.bin" > activity.txt 2> time.txt) || true
tail -1 "$out/attach/time.txt"
python3 - "$out" <<'PY'
import email.message, sys
out = sys.argv[1]
m = email.message.EmailMessage()
m["From"], m["To"], m["Subject"] = "sender@example.com", "r@example.org", "Monthly letter"
m.set_content("Hello,\nthe file is attached.\n")
m.add_attachment(open(out + "/attachment.bin", "rb").read(), maintype="application", subtype="octet-stream",
                 filename="attachment.bin")
open(out + "/attach-message.eml", "wb").write(m.as_bytes())
PY
/usr/bin/time -f "smtplib   %M KB peak, %e s (the message composed once, sent 40 times)" \
  python3 "$here/smtplib_client.py" 127.0.0.1 $port_plain 40 0 "$out/attach-message.eml" 2>&1 | tail -1

"$here/bounces.sh"
"$here/signing.sh"
