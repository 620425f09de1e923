#!/usr/bin/env bash
# Bounce figures: "brevora bounces import" over a Maildir of 10 000 and of 100 000 bounce messages
# (delivery status notifications of three kinds, complaints, automatic replies and other mail), its
# time and peak memory (/usr/bin/time -v), beside Python's email package only parsing the same
# Maildir (10 000 only: it takes minutes over more). The memory must not grow with the number of
# messages.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
[ -x "$root/build/brevora" ] || "$root/scripts/build.sh"
out="$here/out/bounces"
rm -rf "$out"; mkdir -p "$out"

make_maildir() { # FOLDER COUNT
  python3 - "$1" "$2" <<'PY'
import os, sys
folder, count = sys.argv[1], int(sys.argv[2])
for sub in ("new", "cur", "tmp"):
    os.makedirs(os.path.join(folder, sub), exist_ok=True)
dsn = """From: MAILER-DAEMON@mx.example.net (Mail Delivery System)
To: bounces@example.com
Subject: Undelivered Mail Returned to Sender
Message-Id: <{i}.dsn@mx.example.net>
MIME-Version: 1.0
Content-Type: multipart/report; report-type=delivery-status; boundary="B{i}"

--B{i}
Content-Type: text/plain

Your message could not be delivered.

--B{i}
Content-Type: message/delivery-status

Reporting-MTA: dns; mx.example.net

Final-Recipient: rfc822; r{i}@example.org
Action: failed
Status: {status}
Diagnostic-Code: smtp; {code} {status} {text}

--B{i}
Content-Type: text/rfc822-headers

From: News <news@example.com>
To: r{i}@example.org
Subject: Spring news

--B{i}--
"""
arf = """From: staff@feedback.example.net
To: bounces@example.com
Subject: Abuse report
Message-ID: <{i}.arf@feedback.example.net>
MIME-Version: 1.0
Content-Type: multipart/report; report-type=feedback-report; boundary="F{i}"

--F{i}
Content-Type: text/plain

An abuse report.

--F{i}
Content-Type: message/feedback-report

Feedback-Type: abuse
Version: 1
Original-Rcpt-To: <r{i}@example.org>

--F{i}--
"""
ooo = """From: r{i}@example.org
To: bounces@example.com
Subject: Out of Office: Spring news
Auto-Submitted: auto-replied
Message-ID: <{i}.ooo@example.org>

Away until Monday.
"""
other = """From: r{i}@example.org
To: bounces@example.com
Subject: Re: Spring news
Message-ID: <{i}.reply@example.org>

Thanks!
"""
kinds = [(dsn, dict(status="5.1.1", code=550, text="User unknown")),
         (dsn, dict(status="5.2.2", code=552, text="Mailbox full")),
         (dsn, dict(status="5.7.1", code=554, text="Blocked")),
         (arf, {}), (ooo, {}), (other, {})]
for i in range(count):
    template, values = kinds[i % len(kinds)]
    with open(os.path.join(folder, "new", "%d.eml" % i), "w") as f:
        f.write(template.format(i=i, **values))
PY
}

echo "== Importing bounce messages from a Maildir (brevora bounces import), beside Python's email parser =="
printf '%-34s %10s %12s\n' "what" "seconds" "peak RSS MB"
for count in 10000 100000; do
  make_maildir "$out/maildir-$count" $count
  data="$out/data-$count"; mkdir -p "$data"
  /usr/bin/time -v "$root/build/brevora" bounces import "$out/maildir-$count" --data-dir "$data" \
    >"$out/import-$count.txt" 2>"$out/time-$count.txt"
  secs=$(grep "Elapsed (wall clock)" "$out/time-$count.txt" | awk '{print $NF}')
  rss=$(grep "Maximum resident" "$out/time-$count.txt" | awk '{print $NF}')
  printf '%-34s %10s %12s\n' "brevora, $count messages" "$secs" "$((rss / 1024))"
  sed 's/^/    /' "$out/import-$count.txt"
  [ $count -le 10000 ] || continue # the reference parser takes two minutes over 100 000
  /usr/bin/time -v python3 - "$out/maildir-$count" >/dev/null 2>"$out/pytime-$count.txt" <<'PY'
import email, email.policy, mailbox, sys
reports = 0
for message in mailbox.Maildir(sys.argv[1], factory=None, create=False):
    parsed = email.message_from_bytes(message.as_bytes(), policy=email.policy.default)
    reports += parsed.get_content_type() == "multipart/report"
print(reports)
PY
  secs=$(grep "Elapsed (wall clock)" "$out/pytime-$count.txt" | awk '{print $NF}')
  rss=$(grep "Maximum resident" "$out/pytime-$count.txt" | awk '{print $NF}')
  printf '%-34s %10s %12s\n' "python email (parse only), $count" "$secs" "$((rss / 1024))"
done
