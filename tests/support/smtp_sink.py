"""SMTP server on loopback for the tests and benchmarks.

Prints the port it listens on, then serves until stdin closes or SIGTERM arrives.
Every accepted message is written to OUTDIR as NNNNNN.eml with NNNNNN.env beside it
(first line the envelope sender, then one recipient per line) and NNNNNN.session
(the lines "tls=yes" or "tls=no", "auth=USER", empty without authentication, and
"client_cert=CN", the subject common name of the client's certificate, empty without one).
With --count-only nothing is written; the number of messages is printed at the end.

The tests steer it through files in OUTDIR while it runs, read afresh for every
connection and every command:
  tempfail   every DATA is answered 451
  down       connections are answered 421 and closed
  faults     fault switches, one a line, as below
It writes there in turn:
  hangs      one line for every hang as it begins, naming its step ("end of data", ...)
  delays     the same for every delay
  transactions  one line for every MAIL FROM it takes: a transaction begun, as
             "1733680000.123 MAIL FROM:<address>" (unix time with milliseconds, then the sender)
  sessions_log  one line for every connection as it closes: "quit" when the client said QUIT,
             "noquit" otherwise (it dropped the connection, or the server closed it)
  open_connections  the number of connections open now, rewritten at every change
  max_connections   the most connections that were ever open at once
             (a connection whose implicit TLS handshake fails never counts: SMTP did not begin)
  logins     one line for every OAuth login: "ok USER" or "refused"
Recipients whose local part starts with "refused" get 550.

Fault switches (a line of OUTDIR/faults, or the argument of --fault, which holds for the
server's whole life; blank lines and lines starting with "#" are skipped; a line of the
file wins over a --fault for the same step):

  STEP ACTION
    STEP     connect      right after the connection is accepted, before the greeting
             greeting     the 220 greeting
             ehlo         EHLO and HELO
             mail         MAIL FROM
             rcpt         every RCPT TO
             rcpt=ADDRESS the RCPT TO of that address only (any case); wins over "rcpt"
             data         the DATA command
             enddata      the final "." after the message data
             auth         the AUTH command (before its mechanism is looked at)
             midmessage   while the message data arrives: after its first line
    ACTION   a reply code such as 421, 451, 452, 530, 550, 554: the server answers that code
                          with a fixed text naming the step; 421 also closes the connection
                          (connect and midmessage take no code)
             CODE TEXT... the server answers exactly "CODE TEXT..." (421 still closes)
             hang         the server says nothing more and keeps the connection open until
                          the client gives up
             delay N      (enddata only) the server waits N seconds, then takes the mail; a
                          client that gives up first leaves nothing behind
             close        the server closes the connection without a reply
  max-rcpt N [CODE]       each transaction takes N recipients; every further RCPT TO gets
                          "452 4.5.3 Too many recipients" (or CODE, as "552 5.5.3 ...") until
                          the next MAIL FROM

  Examples: "mail 530", "rcpt=bob@example.org 451", "enddata hang", "midmessage close",
  "greeting 554", "connect close", "max-rcpt 2",
  "enddata 554 5.2.0 STOREDRV.Submission.Exception:SubmissionQuotaExceededException",
  "mail 550 5.4.5 Daily user sending quota exceeded", "rcpt 421 4.7.0 Try again later".

Transport security:
  --tls-cert FILE --tls-key FILE   offer STARTTLS with this certificate (PEM)
  --require-starttls               answer 530 to everything but EHLO, NOOP, QUIT and STARTTLS
                                   until TLS is on
  --implicit-tls                   TLS from the first byte (smtps) instead of STARTTLS
  --auth USER:PASSWORD             require AUTH PLAIN or LOGIN with these credentials; offered
                                   only once TLS is on
  --oauth-tokens FILE              require a login, and offer AUTH XOAUTH2 and OAUTHBEARER (once
                                   TLS is on): a bearer token is taken when FILE lists it, read
                                   afresh at every AUTH, one "TOKEN EXPIRY_EPOCH" a line (a line
                                   of a token alone never expires; expired ones are refused).
                                   Both the initial response in the AUTH command and an answer to
                                   an empty "334 " are read; XOAUTH2 "user=U^Aauth=Bearer T^A^A",
                                   OAUTHBEARER "n,a=U,^Ahost=H^Aport=P^Aauth=Bearer T^A^A".
                                   A refused token gets the error challenge
                                   334 base64({"status":"401","schemes":"bearer",...}), whose
                                   answer (an empty line, or "AQ==" for OAUTHBEARER) is read, and
                                   then "535 5.7.3 Authentication unsuccessful".
  --oauth-mechanisms LIST          the mechanisms offered, of XOAUTH2,OAUTHBEARER (both). A client
                                   that takes OAUTHBEARER whenever it is offered can be made to
                                   use XOAUTH2 with "--oauth-mechanisms XOAUTH2".
  --oauth-no-challenge             refuse a token with the 535 at once, without the challenge
  --oauth-user USER                the login's user must be USER as well
  --password-off                   AUTH PLAIN and LOGIN stay offered but are answered
                                   "535 5.7.139 Authentication unsuccessful, basic authentication
                                   is disabled."
  --require-client-cert CAFILE     (with --tls-cert) the TLS handshake, STARTTLS or implicit,
                                   requires a client certificate signed by an authority of CAFILE
Sessions:
  --idle-timeout N                 a connection that sends no command for N seconds gets
                                   "421 4.4.2 Idle timeout" and is closed (default: closed
                                   silently after 300 seconds). A "hang" ends then too.
Listening: --host ADDRESS (127.0.0.1; ::1 for IPv6), --port PORT (0 takes a free one).
"""
import argparse
import asyncio
import base64
import json
import logging
import os
import re
import signal
import ssl
import sys
import time
import warnings

from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword


def write_whole(path, text):
    """Replaces a file so that a reader never sees it half written."""
    with open(path + ".part", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".part", path)


def read_switches(lines):
    switches = {}
    for line in lines:
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        parts = line.split(None, 1)
        if len(parts) == 2:
            step = parts[0].lower()
            if step.startswith("rcpt="):
                step = "rcpt=" + step[5:].strip("<>")
            switches[step] = parts[1].strip()
    return switches


class Handler:
    def __init__(self, outdir, count_only, fixed_faults, args=None):
        self.outdir = outdir
        self.count_only = count_only
        self.fixed_faults = read_switches(fixed_faults)
        self.oauth_tokens = getattr(args, "oauth_tokens", "")
        self.oauth_user = getattr(args, "oauth_user", None)
        self.oauth_challenge = not getattr(args, "oauth_no_challenge", False)
        self.idle_timeout = getattr(args, "idle_timeout", None)
        self.open_connections = 0
        self.max_connections = 0
        # A server restarted on the same folder goes on numbering after what is there.
        self.count = len([f for f in os.listdir(outdir) if f.endswith(".eml")]) if outdir else 0

    def note(self, name, line):
        if self.outdir:
            with open(os.path.join(self.outdir, name), "a", encoding="utf-8") as f:
                f.write(line + "\n")

    def connection_opened(self):
        self.open_connections += 1
        if self.outdir:
            write_whole(os.path.join(self.outdir, "open_connections"), "%d\n" % self.open_connections)
            if self.open_connections > self.max_connections:
                self.max_connections = self.open_connections
                write_whole(os.path.join(self.outdir, "max_connections"), "%d\n" % self.max_connections)

    def connection_closed(self, quit):
        self.open_connections -= 1
        if self.outdir:
            # The count first: a test that sees the line sees the count that goes with it.
            write_whole(os.path.join(self.outdir, "open_connections"), "%d\n" % self.open_connections)
        self.note("sessions_log", "quit" if quit else "noquit")

    def bearer_taken(self, token):
        if not self.oauth_tokens or not token:
            return False
        try:
            with open(self.oauth_tokens, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return False
        now = time.time()
        for line in lines:
            parts = line.split()
            if parts and parts[0] == token:
                try:
                    if len(parts) == 1 or float(parts[1]) > now:
                        return True
                except ValueError:
                    pass
        return False

    def flag(self, name):
        return self.outdir and os.path.exists(os.path.join(self.outdir, name))

    def fault(self, step):
        switches = dict(self.fixed_faults)
        if self.outdir:
            try:
                with open(os.path.join(self.outdir, "faults"), encoding="utf-8") as f:
                    switches.update(read_switches(f))
            except FileNotFoundError:
                pass
        return switches.get(step)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith("refused"):
            return "550 5.1.1 <%s>: Recipient address rejected: User unknown" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.flag("tempfail"):
            return "451 4.3.0 Mail server temporarily unavailable"
        action = self.fault("enddata")
        if action and action.lower().startswith("delay"):
            if self.outdir:
                with open(os.path.join(self.outdir, "delays"), "a", encoding="utf-8") as f:
                    f.write("end of data\n")
            await asyncio.sleep(float(action.split()[1]))
            action = None
        if action:
            reply = await server.inject(action, "end of data")
            return reply or "421 4.3.2 Closing"
        self.count += 1
        if not self.count_only:
            base = os.path.join(self.outdir, "%06d" % self.count)
            with open(base + ".session", "w", encoding="utf-8") as f:
                f.write("tls=%s\n" % ("yes" if server.on_tls() else "no"))
                f.write("auth=%s\n" % (session.auth_data or ""))
                f.write("client_cert=%s\n" % server.client_cn())
            with open(base + ".eml.part", "wb") as f:
                f.write(envelope.original_content)
            with open(base + ".env", "w", encoding="utf-8") as f:
                f.write((envelope.mail_from or "") + "\n")
                for r in envelope.rcpt_tos:
                    f.write(r + "\n")
            os.rename(base + ".eml.part", base + ".eml")
        return "250 OK queued"


class Server(SMTP):
    _counted = False  # this connection is in the handler's count
    _said_quit = False

    def connection_made(self, transport):
        # Called again once STARTTLS is through; the connection is counted once.
        super().connection_made(transport)
        if not self._counted:
            self._counted = True
            self.event_handler.connection_opened()

    def connection_lost(self, error):
        super().connection_lost(error)
        # aiosmtpd calls this itself after a failed STARTTLS, and the transport may call it again.
        if self._counted:
            self._counted = False
            self.event_handler.connection_closed(self._said_quit)

    def _timeout_cb(self):
        if self.event_handler.idle_timeout and self.transport is not None:
            # Written ahead of the close, which sends what is buffered first.
            self.transport.write(b"421 4.4.2 Idle timeout\r\n")
        super()._timeout_cb()

    async def smtp_QUIT(self, arg):
        if not arg:
            self._said_quit = True
        await super().smtp_QUIT(arg)

    async def smtp_AUTH(self, arg):
        if not await self.apply("auth"):
            await super().smtp_AUTH(arg)

    def client_cn(self):
        cert = self.transport.get_extra_info("peercert") if self.transport is not None else None
        for rdn in (cert or {}).get("subject", ()):
            for key, value in rdn:
                if key == "commonName":
                    return value
        return ""

    async def initial_response(self, args):
        """The client's first SASL message: in the AUTH command, or after an empty challenge.
        None when it could not be read (the client has its answer already)."""
        if len(args) == 1:
            blob = await self.challenge_auth("")
            return None if blob is MISSING else blob
        if args[1] == "=":
            return b""
        try:
            return base64.b64decode(args[1].encode(), validate=True)
        except ValueError:
            await self.push("501 5.5.2 Can't decode base64")
            return None

    @staticmethod
    def bearer_of(fields):
        for field in fields:
            if field[:5].lower() == b"auth=" and field[5:12].lower() == b"bearer ":
                return field[12:].strip().decode("utf-8", "replace")
        return None

    async def auth_XOAUTH2(self, _, args):
        blob = await self.initial_response(args)
        if blob is None:
            return AuthResult(success=False, handled=True)
        fields = blob.split(b"\x01")
        user = next((f[5:] for f in fields if f[:5].lower() == b"user="), b"")
        return await self.bearer_login(user.decode("utf-8", "replace"), self.bearer_of(fields))

    async def auth_OAUTHBEARER(self, _, args):
        blob = await self.initial_response(args)
        if blob is None:
            return AuthResult(success=False, handled=True)
        header, _, rest = blob.partition(b"\x01")
        user = b""
        # The GS2 header: "n,a=USER," with "," and "=" in USER written as =2C and =3D.
        for part in header.split(b","):
            if part.startswith(b"a="):
                user = part[2:].replace(b"=2C", b",").replace(b"=3D", b"=")
        return await self.bearer_login(user.decode("utf-8", "replace"), self.bearer_of(rest.split(b"\x01")))

    async def bearer_login(self, user, token):
        handler = self.event_handler
        if handler.bearer_taken(token) and (handler.oauth_user is None or user == handler.oauth_user):
            handler.note("logins", "ok " + user)
            return AuthResult(success=True, handled=False, auth_data=user)
        handler.note("logins", "refused")
        if handler.oauth_challenge:
            # As hosted servers refuse a token: the reason as a challenge, then the 535.
            reason = json.dumps({"status": "401", "schemes": "bearer", "scope": "https://mail.test/send"})
            if await self.challenge_auth(reason) is MISSING:
                return AuthResult(success=False, handled=True)
        return AuthResult(success=False, handled=False, message="535 5.7.3 Authentication unsuccessful")

    def on_tls(self):
        return self._tls_protocol is not None or (
            self.transport is not None and self.transport.get_extra_info("ssl_object") is not None)

    async def inject(self, action, step):
        """Carries out a fault switch. Returns the reply for the caller to send, or None when
        the connection is closed and nothing more is to be said."""
        words = action.split(None, 1)
        text = words[1].strip() if len(words) > 1 else ""
        action = words[0].lower() if words else ""
        if action == "hang":
            # Told to the tests, which may wait for it before they act on a client that waits.
            if self.event_handler.outdir:
                with open(os.path.join(self.event_handler.outdir, "hangs"), "a", encoding="utf-8") as f:
                    f.write(step + "\n")
            # Cancelled when the client goes away.
            await asyncio.Event().wait()
        if action == "close":
            self.transport.close()
            return None
        code = int(action)
        if code == 421:
            await self.push("421 " + text if text else "421 4.3.2 Service not available at %s, closing" % step)
            self.transport.close()
            return None
        if text:
            return "%d %s" % (code, text)
        return "%d %d.0.0 Refused at %s (test switch)" % (code, code // 100, step)

    async def apply(self, step):
        """True when a fault switch answered the command in place of the server."""
        action = self.event_handler.fault(step)
        if not action:
            return False
        reply = await self.inject(action, step)
        if reply:
            await self.push(reply)
        return True

    async def _handle_client(self):
        action = self.event_handler.fault("connect")
        if action == "close":
            self.transport.close()
            return
        if action == "hang":
            await asyncio.Event().wait()
        if self.event_handler.flag("down"):
            await self.push("421 4.3.2 Service not available")
            self.transport.close()
            return
        action = self.event_handler.fault("greeting")
        if action:
            reply = await self.inject(action, "greeting")
            if reply:
                await self.push(reply)
                self.transport.close()
            return
        await super()._handle_client()

    async def smtp_EHLO(self, hostname):
        if not await self.apply("ehlo"):
            await super().smtp_EHLO(hostname)

    async def smtp_HELO(self, hostname):
        if not await self.apply("ehlo"):
            await super().smtp_HELO(hostname)

    async def smtp_MAIL(self, arg):
        if not await self.apply("mail"):
            begun = self.envelope is None or self.envelope.mail_from is None
            await super().smtp_MAIL(arg)
            taken = self.envelope is not None and self.envelope.mail_from is not None
            if begun and taken and self.event_handler.outdir:
                with open(os.path.join(self.event_handler.outdir, "transactions"), "a", encoding="utf-8") as f:
                    f.write("%.3f MAIL FROM:<%s>\n" % (time.time(), self.envelope.mail_from))

    async def smtp_RCPT(self, arg):
        match = re.search(r"<([^>]*)>", arg or "")
        address = (match.group(1) if match else "").lower()
        step = "rcpt=" + address if self.event_handler.fault("rcpt=" + address) else "rcpt"
        if await self.apply(step):
            return
        limit = self.event_handler.fault("max-rcpt")
        if limit and self.envelope is not None and len(self.envelope.rcpt_tos) >= int(limit.split()[0]):
            code = limit.split()[1] if len(limit.split()) > 1 else "452"
            await self.push(code + " " + code[0] + ".5.3 Too many recipients")
            return
        await super().smtp_RCPT(arg)

    async def smtp_DATA(self, arg):
        if await self.apply("data"):
            return
        action = self.event_handler.fault("midmessage")
        if action and self.envelope is not None and self.envelope.rcpt_tos:
            await self.push("354 End data with <CR><LF>.<CR><LF>")
            await self._reader.readuntil(b"\r\n")
            await self.inject(action, "mid-message")
            return
        await super().smtp_DATA(arg)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--outdir", default="")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--count-only", action="store_true")
    parser.add_argument("--fault", action="append", default=[])
    parser.add_argument("--tls-cert", default="")
    parser.add_argument("--tls-key", default="")
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--auth", default="")
    parser.add_argument("--oauth-tokens", default="")
    parser.add_argument("--oauth-user")
    parser.add_argument("--oauth-no-challenge", action="store_true")
    parser.add_argument("--oauth-mechanisms", default="XOAUTH2,OAUTHBEARER")
    parser.add_argument("--password-off", action="store_true")
    parser.add_argument("--require-client-cert", default="")
    parser.add_argument("--idle-timeout", type=float)
    args = parser.parse_args()

    # The server's own notices (a client that rejects the certificate, a session cut short) are
    # what the tests provoke; they would only clutter their output.
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    handler = Handler(args.outdir, args.count_only, args.fault, args)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    context = None
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key or None)
        if args.require_client_cert:
            context.verify_mode = ssl.CERT_REQUIRED
            context.load_verify_locations(args.require_client_cert)

    options = {}
    offered = [m.strip().upper() for m in args.oauth_mechanisms.split(",")] if args.oauth_tokens else []
    options.update(auth_exclude_mechanism=[m for m in ("XOAUTH2", "OAUTHBEARER") if m not in offered])
    if args.idle_timeout:
        options.update(timeout=args.idle_timeout)
    if args.auth or args.oauth_tokens or args.password_off:
        user, _, password = args.auth.partition(":")

        def authenticator(server, session, envelope, mechanism, auth_data):
            if args.password_off:
                return AuthResult(success=False, handled=False, message="535 5.7.139 Authentication "
                                  "unsuccessful, basic authentication is disabled.")
            ok = (bool(args.auth) and isinstance(auth_data, LoginPassword) and auth_data.login == user.encode()
                  and auth_data.password == password.encode())
            # handled=False: the server itself answers a failure with 535.
            return AuthResult(success=ok, handled=False, auth_data=user if ok else None)

        options.update(authenticator=authenticator, auth_required=True,
                       # Under implicit TLS the whole connection is encrypted already.
                       auth_require_tls=not args.implicit_tls)
        warnings.simplefilter("ignore")

    def factory():
        return Server(handler, data_size_limit=None, enable_SMTPUTF8=True, decode_data=False,
                      hostname="sink.test", ident="test sink", loop=loop,
                      tls_context=None if args.implicit_tls else context,
                      require_starttls=args.require_starttls, **options)

    server = loop.run_until_complete(loop.create_server(
        factory, host=args.host, port=args.port, ssl=context if args.implicit_tls else None))
    port = server.sockets[0].getsockname()[1]
    print(port, flush=True)

    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    loop.add_reader(sys.stdin.fileno(), lambda: stop.set() if not os.read(sys.stdin.fileno(), 4096) else None)
    loop.run_until_complete(stop.wait())
    server.close()
    if args.count_only:
        print(handler.count, flush=True)


if __name__ == "__main__":
    main()
