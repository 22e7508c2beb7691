"""SMTP server on loopback for the tests and benchmarks.

Prints the port it listens on, then serves until stdin closes or SIGTERM arrives.
Every accepted message is written to OUTDIR as NNNNNN.eml with NNNNNN.env beside it
(first line the envelope sender, then one recipient per line) and NNNNNN.session
(the lines "tls=yes" or "tls=no", and "auth=USER", empty without authentication).
With --count-only nothing is written; the number of messages is printed at the end.

The tests steer it through files in OUTDIR while it runs, read afresh for every
connection and every command:
  tempfail   every DATA is answered 451
  down       connections are answered 421 and closed
  faults     fault switches, one a line, as below
It writes there in turn:
  hangs      one line for every hang as it begins, naming its step ("end of data", ...)
  delays     the same for every delay
  transactions  one line for every MAIL FROM it takes: a transaction begun
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
             midmessage   while the message data arrives: after its first line
    ACTION   a reply code such as 421, 451, 452, 530, 550, 554: the server answers that code
                          with a fixed text naming the step; 421 also closes the connection
                          (connect and midmessage take no code)
             hang         the server says nothing more and keeps the connection open until
                          the client gives up
             delay N      (enddata only) the server waits N seconds, then takes the mail; a
                          client that gives up first leaves nothing behind
             close        the server closes the connection without a reply
  max-rcpt N [CODE]       each transaction takes N recipients; every further RCPT TO gets
                          "452 4.5.3 Too many recipients" (or CODE, as "552 5.5.3 ...") until
                          the next MAIL FROM

  Examples: "mail 530", "rcpt=bob@example.org 451", "enddata hang", "midmessage close",
  "greeting 554", "connect close", "max-rcpt 2".

Transport security:
  --tls-cert FILE --tls-key FILE   offer STARTTLS with this certificate (PEM)
  --require-starttls               answer 530 to everything but EHLO, NOOP, QUIT and STARTTLS
                                   until TLS is on
  --implicit-tls                   TLS from the first byte (smtps) instead of STARTTLS
  --auth USER:PASSWORD             require AUTH PLAIN or LOGIN with these credentials; offered
                                   only once TLS is on
Listening: --host ADDRESS (127.0.0.1; ::1 for IPv6), --port PORT (0 takes a free one).
"""
import argparse
import asyncio
import logging
import os
import re
import signal
import ssl
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


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
    def __init__(self, outdir, count_only, fixed_faults):
        self.outdir = outdir
        self.count_only = count_only
        self.fixed_faults = read_switches(fixed_faults)
        # A server restarted on the same folder goes on numbering after what is there.
        self.count = len([f for f in os.listdir(outdir) if f.endswith(".eml")]) if outdir else 0

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
            with open(base + ".eml.part", "wb") as f:
                f.write(envelope.original_content)
            with open(base + ".env", "w", encoding="utf-8") as f:
                f.write((envelope.mail_from or "") + "\n")
                for r in envelope.rcpt_tos:
                    f.write(r + "\n")
            os.rename(base + ".eml.part", base + ".eml")
        return "250 OK queued"


class Server(SMTP):
    def on_tls(self):
        return self._tls_protocol is not None or (
            self.transport is not None and self.transport.get_extra_info("ssl_object") is not None)

    async def inject(self, action, step):
        """Carries out a fault switch. Returns the reply for the caller to send, or None when
        the connection is closed and nothing more is to be said."""
        action = action.lower()
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
            await self.push("421 4.3.2 Service not available at %s, closing" % step)
            self.transport.close()
            return None
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
                    f.write("%s\n" % self.envelope.mail_from)

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
    args = parser.parse_args()

    # The server's own notices (a client that rejects the certificate, a session cut short) are
    # what the tests provoke; they would only clutter their output.
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    handler = Handler(args.outdir, args.count_only, args.fault)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    context = None
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key or None)

    options = {}
    if args.auth:
        user, _, password = args.auth.partition(":")

        def authenticator(server, session, envelope, mechanism, auth_data):
            ok = (isinstance(auth_data, LoginPassword) and auth_data.login == user.encode()
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
