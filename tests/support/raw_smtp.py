"""A scripted SMTP server on raw sockets that records every byte its clients send.

Prints the port it listens on, then serves until stdin closes or SIGTERM arrives. Each
connection's bytes, as received (after STARTTLS: as decrypted), go to OUTDIR/NNNN.raw, NNNN
counting connections from 0001. Each message whose final "." was answered 2xx adds a line to
OUTDIR/accepted: the number of its connection.

It speaks just enough SMTP to take a mail: one reply per command, the message data up to
CRLF "." CRLF. Options:
  --host ADDRESS          listen there (127.0.0.1; ::1 for IPv6)
  --ehlo KEYWORD          one more line of the EHLO reply ("SIZE 1000", "AUTH PLAIN")
  --reply STEP=TEXT       replaces a reply; STEP is greeting, ehlo, helo, mail, rcpt, data,
                          enddata, auth, rset, noop or quit, or rcpt=ADDRESS=TEXT for one
                          recipient. "\\n" in TEXT ends a line, so one TEXT may hold several lines,
                          junk among them.
  --delay STEP=SECONDS    waits that long before the reply
  --tls-cert FILE --tls-key FILE   offers STARTTLS with this certificate
  --stall                 accepts no connection: its queue is kept full, so a client's
                          connection attempt neither succeeds nor fails
"""
import argparse
import os
import re
import signal
import socket
import ssl
import sys
import threading
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--outdir", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--reply", action="append", default=[])
    parser.add_argument("--delay", action="append", default=[])
    parser.add_argument("--ehlo", action="append", default=[])
    parser.add_argument("--tls-cert", default="")
    parser.add_argument("--tls-key", default="")
    parser.add_argument("--stall", action="store_true")
    args = parser.parse_args()

    replies = {
        "greeting": "220 raw.test ESMTP",
        "helo": "250 raw.test",
        "mail": "250 2.1.0 OK",
        "rcpt": "250 2.1.5 OK",
        "data": "354 End data with <CR><LF>.<CR><LF>",
        "enddata": "250 2.0.0 OK queued",
        "auth": "235 2.7.0 Authentication successful",
        "rset": "250 2.0.0 OK",
        "noop": "250 2.0.0 OK",
        "quit": "221 2.0.0 Bye",
    }
    for item in args.reply:
        if item.lower().startswith("rcpt="):
            address, _, text = item[5:].partition("=")
            step = "rcpt=" + address.strip("<>").lower()
        else:
            step, _, text = item.partition("=")
        replies[step.lower()] = text.replace("\\n", "\r\n")
    delays = {}
    for item in args.delay:
        step, _, seconds = item.partition("=")
        delays[step.lower()] = float(seconds)

    context = None
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key or None)

    def ehlo_reply(tls_on):
        lines = ["raw.test"] + args.ehlo + (["STARTTLS"] if context and not tls_on else [])
        return "\r\n".join(("250-" if i < len(lines) - 1 else "250 ") + line for i, line in enumerate(lines))

    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.host, 0))
    listener.listen(0 if args.stall else 16)
    stalled = []
    if args.stall:
        # Connections of its own fill the queue; the system ignores further attempts.
        for _ in range(4):
            client = socket.socket(family, socket.SOCK_STREAM)
            client.setblocking(False)
            try:
                client.connect(listener.getsockname()[:2])
            except BlockingIOError:
                pass
            stalled.append(client)
    print(listener.getsockname()[1], flush=True)
    lock = threading.Lock()
    connections = [0]

    def serve(conn, number):
        state = {"conn": conn, "buffer": b"", "tls": False}
        record = open(os.path.join(args.outdir, "%04d.raw" % number), "wb")

        def send(step, text=None):
            if step in delays:
                time.sleep(delays[step])
            text = replies.get(step, "250 OK") if text is None else text
            state["conn"].sendall(text.encode("utf-8", "surrogateescape") + b"\r\n")
            return text

        def receive():
            data = state["conn"].recv(65536)
            record.write(data)
            record.flush()
            state["buffer"] += data
            return data

        def line():
            while b"\r\n" not in state["buffer"]:
                if not receive():
                    return None
            text, _, state["buffer"] = state["buffer"].partition(b"\r\n")
            return text

        try:
            send("greeting")
            while True:
                command = line()
                if command is None:
                    return
                verb = command.split(b" ", 1)[0].upper().decode("latin-1")
                if verb == "EHLO":
                    send("ehlo", replies.get("ehlo", ehlo_reply(state["tls"])))
                elif verb == "STARTTLS" and context and not state["tls"]:
                    send("starttls", "220 2.0.0 Ready to start TLS")
                    state["conn"] = context.wrap_socket(state["conn"], server_side=True)
                    state["tls"] = True
                    state["buffer"] = b""
                elif verb == "AUTH" and len(command.split()) == 2:
                    # No initial response: ask for it, then take it.
                    send("auth", "334 ")
                    if line() is None:
                        return
                    send("auth")
                elif verb in ("HELO", "AUTH", "RSET", "NOOP", "MAIL"):
                    send(verb.lower())
                elif verb == "RCPT":
                    match = re.search(rb"<([^>]*)>", command)
                    key = "rcpt=" + (match.group(1) if match else b"").decode("utf-8", "replace").lower()
                    send("rcpt", replies.get(key))
                elif verb == "DATA":
                    if not send("data").startswith("354"):
                        continue
                    while b"\r\n.\r\n" not in b"\r\n" + state["buffer"]:
                        if not receive():
                            return
                    end = (b"\r\n" + state["buffer"]).index(b"\r\n.\r\n")
                    state["buffer"] = state["buffer"][end + 3:]
                    # Counted before the reply goes out: once the client has it, the count is there.
                    if replies["enddata"].startswith("2"):
                        with lock, open(os.path.join(args.outdir, "accepted"), "a") as f:
                            f.write("%d\n" % number)
                    send("enddata")
                elif verb == "QUIT":
                    send("quit")
                    return
                else:
                    send("other", "502 5.5.2 Command not recognised")
        except (OSError, ssl.SSLError):
            pass
        finally:
            record.close()
            state["conn"].close()

    def accept():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            with lock:
                connections[0] += 1
                number = connections[0]
            threading.Thread(target=serve, args=(conn, number), daemon=True).start()

    if not args.stall:
        threading.Thread(target=accept, daemon=True).start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
    stop.wait()


if __name__ == "__main__":
    main()
