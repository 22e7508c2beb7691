"""SMTP server on loopback for the tests and benchmarks.

Prints the port it listens on, then serves until stdin closes or SIGTERM arrives.
Every accepted message is written to OUTDIR as NNNNNN.eml with NNNNNN.env beside it
(first line the envelope sender, then one recipient per line). The tests steer it
through files in OUTDIR while it runs:
  tempfail   every DATA is answered 451
  down       connections are answered 421 and closed
Recipients whose local part starts with "refused" get 550.
With --count-only nothing is written; the number of messages is printed at the end.
"""
import argparse
import asyncio
import os
import signal
import sys

from aiosmtpd.smtp import SMTP


class Handler:
    def __init__(self, outdir, count_only):
        self.outdir = outdir
        self.count_only = count_only
        # A server restarted on the same folder goes on numbering after what is there.
        self.count = len([f for f in os.listdir(outdir) if f.endswith(".eml")]) if outdir else 0

    def flag(self, name):
        return self.outdir and os.path.exists(os.path.join(self.outdir, name))

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith("refused"):
            return "550 5.1.1 <%s>: Recipient address rejected: User unknown" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.flag("tempfail"):
            return "451 4.3.0 Mail server temporarily unavailable"
        self.count += 1
        if not self.count_only:
            base = os.path.join(self.outdir, "%06d" % self.count)
            with open(base + ".eml.part", "wb") as f:
                f.write(envelope.original_content)
            with open(base + ".env", "w", encoding="utf-8") as f:
                f.write((envelope.mail_from or "") + "\n")
                for r in envelope.rcpt_tos:
                    f.write(r + "\n")
            os.rename(base + ".eml.part", base + ".eml")
        return "250 OK queued"


class Server(SMTP):
    async def _handle_client(self):
        if self.event_handler.flag("down"):
            await self.push("421 4.3.2 Service not available")
            self.transport.close()
            return
        await super()._handle_client()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--outdir", default="")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--count-only", action="store_true")
    args = parser.parse_args()

    handler = Handler(args.outdir, args.count_only)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def factory():
        return Server(handler, data_size_limit=None, enable_SMTPUTF8=True, decode_data=False,
                      hostname="sink.test", ident="test sink", loop=loop)

    server = loop.run_until_complete(loop.create_server(factory, host="127.0.0.1", port=args.port))
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
