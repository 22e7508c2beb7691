"""OAuth2 token endpoint (client-credentials grant) over HTTPS on loopback, for the tests.

  token_endpoint.py --state DIR --cert FILE --key FILE [--client-id ID] [--client-secret SECRET]
                    [--scope SCOPE] [--lifetime SECONDS] [--path /token] [--host 127.0.0.1] [--port 0]

Prints the port it listens on, then serves until stdin closes or SIGTERM arrives. A POST to
PATH with an application/x-www-form-urlencoded body grant_type=client_credentials, client_id,
client_secret and scope (each checked when given on the command line) gets
  200 {"access_token": "...", "token_type": "Bearer", "expires_in": LIFETIME}
with a new token each time. A wrong grant_type gets 400 unsupported_grant_type, a wrong client
401 invalid_client, a wrong scope 400 invalid_scope, another path 404.

Files in DIR, written by the endpoint:
  requests   one line for every request, written before its answer is sent: its status, or
             "closed" when the connection was dropped unanswered
  tokens     the tokens still valid, one a line: "TOKEN EXPIRY_EPOCH" (seconds, may have a
             fraction). Rewritten whole (renamed into place) at every issue, keeping what is in it
             and not expired, so a test may strike a token out to revoke it. smtp_sink.py's
             --oauth-tokens reads it.
Read by it afresh for every request, DIR/faults, one switch a line ("#" lines skipped):
  down                      the connection is closed before TLS, without an answer
  slow N                    the answer comes after N seconds (fractions allowed)
  status CODE               answered CODE with {"error": "temporarily_unavailable"}
  refuse ERROR [TEXT...]    answered 401 (invalid_client) or 400 (any other ERROR) with
                            {"error": ERROR, "error_description": TEXT}
  lifetime N                expires_in is N instead of --lifetime; "lifetime none" leaves it
                            out, "lifetime 'N'" sends it as a string
  body TEXT...              answered 200 with TEXT as it is (an unreadable answer)
  big N                     answered 200 with a body of N bytes
"""
import argparse
import json
import os
import secrets
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

lock = threading.Lock()


def read_faults(state):
    faults = {}
    try:
        with open(os.path.join(state, "faults"), encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if line and not line.startswith("#"):
                    word, _, rest = line.partition(" ")
                    faults[word.lower()] = rest.strip()
    except FileNotFoundError:
        pass
    return faults


def note_request(state, what):
    with lock:
        with open(os.path.join(state, "requests"), "a", encoding="utf-8") as f:
            f.write(what + "\n")


def issue(state, token, lifetime):
    path = os.path.join(state, "tokens")
    now = time.time()
    with lock:
        kept = []
        try:
            with open(path, encoding="utf-8") as f:
                for line in f:
                    parts = line.split()
                    if len(parts) == 2 and float(parts[1]) > now:
                        kept.append(line.strip())
        except FileNotFoundError:
            pass
        kept.append("%s %.3f" % (token, now + lifetime))
        with open(path + ".part", "w", encoding="utf-8") as f:
            f.write("\n".join(kept) + "\n")
        os.rename(path + ".part", path)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, content_type="application/json"):
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        # Noted before it is sent: a client that has the answer finds it counted.
        note_request(self.server.args.state, str(status))
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        self.answer(405, {"error": "invalid_request", "error_description": "POST only"})

    def do_POST(self):
        args = self.server.args
        length = int(self.headers.get("Content-Length") or 0)
        form = urllib.parse.parse_qs(self.rfile.read(length).decode("utf-8", "replace"), keep_blank_values=True)
        faults = read_faults(args.state)
        if "slow" in faults:
            time.sleep(float(faults["slow"] or "1"))
        if urllib.parse.urlsplit(self.path).path != args.path:
            return self.answer(404, {"error": "not_found"})
        if "status" in faults:
            return self.answer(int(faults["status"]), {"error": "temporarily_unavailable"})
        if "refuse" in faults:
            error, _, text = faults["refuse"].partition(" ")
            return self.answer(401 if error == "invalid_client" else 400,
                               {"error": error, "error_description": text})
        if "body" in faults:
            return self.answer(200, faults["body"].encode())
        if "big" in faults:
            return self.answer(200, b"{" + b" " * max(0, int(faults["big"]) - 2) + b"}")

        def field(name):
            return (form.get(name) or [None])[0]

        if field("grant_type") != "client_credentials":
            return self.answer(400, {"error": "unsupported_grant_type"})
        if (args.client_id is not None and field("client_id") != args.client_id) or (
                args.client_secret is not None and field("client_secret") != args.client_secret):
            return self.answer(401, {"error": "invalid_client", "error_description": "Client authentication failed"})
        if args.scope is not None and field("scope") != args.scope:
            return self.answer(400, {"error": "invalid_scope", "error_description": "Scope not granted"})

        lifetime = faults.get("lifetime", str(args.lifetime))
        token = "tok-" + secrets.token_urlsafe(24)
        body = {"access_token": token, "token_type": "Bearer"}
        if lifetime != "none":
            seconds = float(lifetime.strip("'\""))
            body["expires_in"] = lifetime.strip("'\"") if lifetime.startswith(("'", '"')) else int(seconds)
        else:
            seconds = 3600
        issue(args.state, token, seconds)
        self.answer(200, body)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def finish_request(self, request, client_address):
        # TLS is set up here, in the request's own thread, so a slow client holds up no other.
        if "down" in read_faults(self.args.state):
            note_request(self.args.state, "closed")
            request.close()
            return
        try:
            request = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            # A client that does not trust the certificate gives up here.
            request.close()
            return
        super().finish_request(request, client_address)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--state", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--client-id")
    parser.add_argument("--client-secret")
    parser.add_argument("--scope")
    parser.add_argument("--lifetime", type=float, default=3600)
    parser.add_argument("--path", default="/token")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    Server.address_family = family
    server = Server((args.host, args.port), Handler)
    server.args = args
    server.context = context
    print(server.server_address[1], flush=True)

    threading.Thread(target=server.serve_forever, daemon=True).start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())

    def watch_stdin():
        while os.read(sys.stdin.fileno(), 4096):
            pass
        stop.set()

    threading.Thread(target=watch_stdin, daemon=True).start()
    while not stop.wait(0.5):
        pass
    server.shutdown()


if __name__ == "__main__":
    main()
