"""A real SMTP server (aiosmtpd) for end-to-end tests, bounded in lifetime.

Each accepted message is written to OUT/NNNN.eml exactly as received (dot-stuffing removed).
Recipients containing "refuse" are refused with 550. Prints "READY <port>" once listening.
With --auth USER:PASSWORD the server asks for a login; --mechanisms names the ones it offers
(LOGIN, PLAIN, XOAUTH2; XOAUTH2 takes USER with the bearer token --token).
"""
import base64
import argparse
import asyncio
import os
import socket
import ssl
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Handler:
    def __init__(self, out, user=None, token=None):
        self.out = out
        self.count = 0
        self.user = user
        self.token = token

    async def auth_XOAUTH2(self, server, args):
        try:
            fields = base64.b64decode(args[1], validate=True).split(b"\x01")
        except (IndexError, ValueError):
            return AuthResult(success=False, handled=False)
        expected = [b"user=" + (self.user or "").encode(), b"auth=Bearer " + (self.token or "").encode(), b"", b""]
        return AuthResult(success=self.token is not None and fields == expected, handled=False)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if "refuse" in address:
            return "550 5.1.1 Mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        path = os.path.join(self.out, "%04d.eml" % self.count)
        with open(path + ".tmp", "wb") as f:
            f.write(envelope.original_content)
        with open(path + ".env", "w") as f:
            f.write("%s\n%s\n%s\n%s\n" % (envelope.mail_from, ",".join(envelope.rcpt_tos),
                                          " ".join(envelope.mail_options), session.host_name))
        os.rename(path + ".tmp", path)
        return "250 Message accepted"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--out", required=True)
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--implicit-tls", action="store_true")
    p.add_argument("--starttls", action="store_true")
    p.add_argument("--auth")
    p.add_argument("--mechanisms", default="LOGIN,PLAIN")
    p.add_argument("--token")
    p.add_argument("--lifetime", type=float, default=120)
    p.add_argument("--host", default="127.0.0.1")
    a = p.parse_args()

    kwargs = {}
    context = None
    if a.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(a.cert, a.key)
    if a.starttls:
        kwargs["tls_context"] = context
    if a.auth:
        user, password = a.auth.split(":", 1)

        def authenticator(server, session, envelope, mechanism, auth_data):
            if isinstance(auth_data, LoginPassword) and auth_data.login.decode() == user \
                    and auth_data.password.decode() == password:
                return AuthResult(success=True)
            return AuthResult(success=False, handled=False)

        kwargs["authenticator"] = authenticator
        kwargs["auth_require_tls"] = bool(a.starttls)
        offered = set(a.mechanisms.upper().split(","))
        kwargs["auth_exclude_mechanism"] = [m for m in ("LOGIN", "PLAIN", "XOAUTH2") if m not in offered]
    probe = socket.socket()
    probe.bind((a.host, 0))
    port = probe.getsockname()[1]
    probe.close()
    user = a.auth.split(":", 1)[0] if a.auth else None
    controller = Controller(Handler(a.out, user, a.token), hostname=a.host, port=port,
                            ssl_context=context if a.implicit_tls else None, **kwargs)
    controller.start()
    print("READY %d" % port, flush=True)
    deadline = time.time() + a.lifetime
    while time.time() < deadline:
        time.sleep(0.1)
        if os.getppid() == 1:
            break
    controller.stop()


if __name__ == "__main__":
    main()
