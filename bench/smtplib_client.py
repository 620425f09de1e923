"""Reference client: Python's smtplib sending N messages over one session."""
import smtplib
import ssl
import sys

host, port, count, tls, body_path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "1", sys.argv[5]
body = open(body_path, "rb").read()
if tls:
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    client = smtplib.SMTP_SSL(host, port, context=context)
else:
    client = smtplib.SMTP(host, port)
client.login("bench", "s3cret")
for i in range(count):
    client.sendmail("sender@example.com", ["r%d@example.org" % i], body)
client.quit()
