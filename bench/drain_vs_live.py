#!/usr/bin/python3
"""A backlog written by the relay itself during an outage, drained after a restart, against the
live rate of the same relay; CPU per mail of the relay against smtp-source's for the same mails.

Run by bench/drain_vs_live.sh (which installs postfix's test tools and wrk), or by hand:
    /usr/bin/python3 bench/drain_vs_live.py --relay build/app/swnrelayd [--rounds N] [--no-tls]

Per round, plain SMTP against smtp-sink (`smtp-sink -c 127.0.0.1:PORT 1000`):
  1. outage: the relay runs with nothing listening on the server's port; wrk (2 threads, 50
     connections, 4 s) posts 1.5 KB documents with four recipients: the relay keeps them in its
     spool, each with its .state file, as it does for any outage;
  2. the relay is stopped (SIGTERM), the sink comes up, the relay starts again on that spool:
     from the start of the process to the last mail counted by the sink;
     meanwhile one document every 100 ms on a connection of its own: its answer time;
  3. live, the same relay: wrk with 2 threads and 100 connections for 5 s; rate of 200 answers,
     the relay's CPU (utime+stime from /proc) per mail;
  4. smtp-source sending as many of the same composed mail (captured from the relay), one
     connection per mail, one at a time, to the same sink: its rate and CPU (wait4 rusage), with
     its allocator keeping the memory it frees (see smtp_source()).
Then the same over STARTTLS with a login, against tests/support/smtp_sink.py in counting mode
(smtp-sink speaks no AUTH): the drain's end is when the relay's metrics show an empty spool and
every document delivered, since that sink tells its count only when it ends.
"""
import argparse
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SYSTEM_PYTHON = "/usr/bin/python3"
SINK_PY = os.path.join(ROOT, "tests", "support", "smtp_sink.py")
CLK_TCK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tool(name):
    for d in ("/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"):
        p = os.path.join(d, name)
        if os.access(p, os.X_OK):
            return p
    return shutil.which(name)


def document(number=0):
    """A tracker document of 1.5 KB with four recipients."""
    head = ('<?xml version="1.0"?>\r\n<BT_mail_Msg><BTInstigator>bench</BTInstigator><BTMailAdmin></BTMailAdmin>'
            '<from_addr>tracker@example.org</from_addr>'
            '<ToList><Addr>alice@example.org</Addr><Addr>bob@example.org</Addr></ToList>'
            '<CCList><Addr>carol@example.org</Addr></CCList><BCCList><Addr>dave@example.org</Addr></BCCList>'
            '<Subject>Defect %d changed</Subject><Body>' % number)
    tail = ('</Body><ContentType>text/plain</ContentType><HeaderList></HeaderList>'
            '<AttachmentList></AttachmentList></BT_mail_Msg>\r\n')
    body_len = 1536 - len(head) - len(tail)
    line = "The defect was resolved; see the tracker for what changed. "
    body = (line * (body_len // len(line) + 1))[:body_len]
    return (head + body + tail).encode()


def post(port, doc, timeout=10.0):
    """One document on a connection of its own; (answered 200, seconds)."""
    t = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(b"POST / HTTP/1.1\r\nHost: relay\r\nContent-Length: %d\r\n\r\n" % len(doc) + doc)
            reply = b""
            while b"\r\n" not in reply:
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
        return reply.split(b" ", 2)[1:2] == [b"200"], time.monotonic() - t
    except OSError:
        return False, time.monotonic() - t


def metrics(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
    except OSError:
        return {}
    out = {}
    for line in data.decode(errors="replace").splitlines():
        m = re.match(r"^(swnrelay_[a-z_]+) ([0-9.e+-]+)$", line)
        if m:
            out[m.group(1)] = float(m.group(2))
    return out


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime, stime


def switches(pid):
    """Voluntary and involuntary context switches of all the process's threads."""
    vol = invol = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        vol += int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches:"):
                        invol += int(line.split()[1])
        except OSError:
            pass
    return vol, invol


class Relay:
    def __init__(self, exe, ini, spool, work):
        self.exe, self.ini, self.spool, self.work = exe, ini, spool, work
        self.proc = None
        self.log = None

    def start(self):
        n = len([f for f in os.listdir(self.work) if f.startswith("relay") and f.endswith(".log")])
        self.log = os.path.join(self.work, "relay%d.log" % n)
        env = dict(os.environ)
        self.started = time.time()
        self.proc = subprocess.Popen([self.exe, "--headless", "--settings", self.ini, "--spool", self.spool],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=open(self.log, "wb"), cwd=self.work, env=env)
        return self.started

    def wait_log(self, text, seconds=60):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            with open(self.log, "rb") as f:
                if text in f.read():
                    return True
            if self.proc.poll() is not None:
                return False
            time.sleep(0.01)
        return False

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


class SmtpSink:
    """smtp-sink -c: its counter line ("... msg=N\\r") read as it changes, with the time of each."""

    def __init__(self, port):
        self.port = port
        args = [tool("smtp-sink")]
        if os.geteuid() == 0:
            args += ["-u", "nobody"]
        args += ["-c", "127.0.0.1:%d" % port, "1000"]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        self.count = 0
        self.last = None  # time.time() of the latest mail
        self.first_after = None  # (count before, time.time() of the first mail after mark())
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        wait_port(port)

    def _read(self):
        buf = b""
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                return
            now = time.time()
            buf += chunk
            parts = buf.split(b"\r")
            buf = parts.pop()
            for p in reversed(parts):
                m = re.search(rb"mesg=(\d+)", p)
                if m:
                    n = int(m.group(1))
                    with self.cond:
                        if n != self.count:
                            if self.first_after and self.first_after[1] is None:
                                self.first_after = (self.first_after[0], now)
                            self.count = n
                            self.last = now
                        self.cond.notify_all()
                    break

    def mark(self):
        with self.cond:
            self.first_after = (self.count, None)

    def wait_for(self, n, seconds):
        end = time.monotonic() + seconds
        with self.cond:
            while self.count < n and time.monotonic() < end:
                self.cond.wait(0.2)
            return self.count

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class PySink:
    """tests/support/smtp_sink.py in counting mode, with STARTTLS and a login."""

    def __init__(self, port, cert, key, auth):
        self.proc = subprocess.Popen([SYSTEM_PYTHON, SINK_PY, "--count-only", "--port", str(port), "--tls-cert", cert,
                                      "--tls-key", key, "--require-starttls", "--auth", auth],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.port = int(self.proc.stdout.readline())

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        out = self.proc.stdout.read()
        self.proc.wait()
        return int(out.split()[-1]) if out.split() else -1


def wait_port(port, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.02)
    return False


def wrk(port, lua, threads, connections, seconds):
    out = subprocess.run([tool("wrk"), "-t%d" % threads, "-c%d" % connections, "-d%ds" % seconds, "-s", lua,
                          "http://127.0.0.1:%d/" % port], capture_output=True, text=True).stdout
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    bad = int(m.group(1)) if m else 0
    # The relay closes every connection after its answer, which wrk counts as a read error; the
    # others count.
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    errors = int(m.group(1)) + int(m.group(3)) + int(m.group(4)) if m else 0
    return requests, bad, errors, out


def write_ini(path, relay_port, metrics_port, server_port, tls=None):
    text = ("[SwiftnoteRelay]\nRelayMode=NETWORK\nMaxLogSize=64\nSTMPRelayListenerPort=%d\nSMTPServer=127.0.0.1:%d\n"
            "MetricsListen=127.0.0.1:%d\n" % (relay_port, server_port, metrics_port))
    if tls:
        text += "SMTPSecurity=starttls\nSMTPUser=%s\nSMTPPassword=%s\nSMTPCAFile=%s\n" % tls
    with open(path, "w") as f:
        f.write(text)


def spool_files(spool):
    names = os.listdir(spool)
    return sum(n.endswith(".xml") for n in names), sum(n.endswith(".state") for n in names)


class Prober(threading.Thread):
    """One document every 100 ms while the backlog drains: each must be answered at once."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.stop_flag = port, threading.Event()
        self.answered = self.failed = 0
        self.worst = 0.0

    def run(self):
        doc = document(999999)
        while not self.stop_flag.wait(0.1):
            ok, t = post(self.port, doc)
            if ok:
                self.answered += 1
                self.worst = max(self.worst, t)
            else:
                self.failed += 1


def capture_mail(relay_exe, work, doc):
    """The mail the relay composes of the document, as a server receives it: smtp-source sends it."""
    out = os.path.join(work, "captured")
    os.makedirs(out)
    sink = subprocess.Popen([SYSTEM_PYTHON, SINK_PY, "--outdir", out], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    port = int(sink.stdout.readline())
    rp, mp = free_port(), free_port()
    ini = os.path.join(work, "capture.ini")
    write_ini(ini, rp, mp, port)
    relay = Relay(relay_exe, ini, os.path.join(work, "capture-spool"), work)
    relay.start()
    relay.wait_log(b"Listening on Port")
    ok, _ = post(rp, doc)
    relay.stop()
    sink.send_signal(signal.SIGTERM)
    sink.wait()
    emls = sorted(f for f in os.listdir(out) if f.endswith(".eml"))
    if not ok or not emls:
        sys.exit("drain_vs_live: could not capture the relay's mail")
    with open(os.path.join(out, emls[0]), "rb") as f:
        mail = f.read()
    # smtp-source adds no headers of its own with -F; it sends the file as the message.
    path = os.path.join(work, "mail.eml")
    with open(path, "wb") as f:
        f.write(mail)
    return path, len(mail)


def smtp_source(port, mails, mail_file):
    """smtp-source: `mails` of the captured mail to four recipients, one connection each, one at a time."""
    args = [tool("smtp-source"), "-s", "1", "-m", str(mails), "-r", "4", "-F", mail_file, "-f", "tracker@example.org",
            "-t", "alice@example.org", "127.0.0.1:%d" % port]
    # With the allocator's defaults, smtp-source gives memory back after each connection and takes
    # it again: on a virtual machine the page faults and TLB flushes of that tripled its CPU per
    # mail in some runs and not in others (250 against 750 us). Kept, it costs what its SMTP
    # costs, the stricter and steadier reference; the relay runs with the defaults.
    env = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.trim_threshold=67108864:glibc.malloc.top_pad=16777216")
    t = time.time()
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    seconds = time.time() - t
    if proc.returncode != 0:
        sys.exit("drain_vs_live: smtp-source failed: %s" % proc.stderr.read().decode(errors="replace"))
    return seconds, usage.ru_utime + usage.ru_stime


def outage(relay, relay_port, lua, dead_port):
    """The server away: the relay keeps what wrk posts."""
    relay.start()
    if not relay.wait_log(b"Listening on Port"):
        sys.exit("drain_vs_live: the relay did not start (see %s)" % relay.log)
    requests, bad, errors, _ = wrk(relay_port, lua, 2, 50, 4)
    relay.stop()
    xml, state = spool_files(relay.spool)
    return requests - bad, bad, errors, xml, state


def settle(count_mails):
    """Waits until the count has stood still for half a second."""
    last, since = count_mails(), time.monotonic()
    while time.monotonic() - since < 0.5:
        time.sleep(0.05)
        n = count_mails()
        if n != last:
            last, since = n, time.monotonic()
    return last


def live(relay, relay_port, lua, count_mails):
    """wrk with 100 connections for 5 s against the running relay: the rate of 200 answers; CPU per
    mail over every mail the run made (those still under way when wrk stopped included)."""
    pid = relay.proc.pid
    before_mails = count_mails()
    before_cpu = cpu_seconds(pid)
    before_sw = switches(pid)
    requests, bad, errors, _ = wrk(relay_port, lua, 2, 100, 5)
    mails = settle(count_mails) - before_mails
    cpu = cpu_seconds(pid) - before_cpu
    sw = switches(pid)
    ok = requests - bad
    return {"ok": ok, "bad": bad, "errors": errors, "rate": ok / 5.0, "mails": mails, "cpu": cpu / max(mails, 1),
            "vsw": (sw[0] - before_sw[0]) / max(mails, 1), "isw": (sw[1] - before_sw[1]) / max(mails, 1)}


def plain_round(args, work, lua, doc, mail_file):
    spool = os.path.join(work, "spool")
    relay_port, metrics_port, sink_port = free_port(), free_port(), free_port()
    ini = os.path.join(work, "relay.ini")
    write_ini(ini, relay_port, metrics_port, sink_port)
    relay = Relay(args.relay, ini, spool, work)
    kept, bad, errors, xml, state = outage(relay, relay_port, lua, sink_port)

    sink = SmtpSink(sink_port)
    prober = Prober(relay_port)
    sink.mark()
    t0 = relay.start()
    pid = relay.proc.pid
    if not relay.wait_log(b"Listening on Port"):
        sys.exit("drain_vs_live: the relay did not start on its backlog (see %s)" % relay.log)
    prober.start()
    # The backlog and what the prober posts meanwhile; then the sink stays quiet.
    deadline = time.monotonic() + 600
    while time.monotonic() < deadline:
        n = sink.wait_for(xml + prober.answered, 1)
        if n >= xml + prober.answered and spool_files(spool)[0] == 0:
            break
    prober.stop_flag.set()
    prober.join()
    sink.wait_for(xml + prober.answered, 5)
    drain_cpu = cpu_seconds(pid)
    drain_sw = switches(pid)
    drained = sink.count
    drain_seconds = sink.last - t0
    first = sink.first_after[1]
    l = live(relay, relay_port, lua, lambda: sink.count)
    delivered = metrics(metrics_port).get("swnrelay_documents_delivered_total", -1)
    relay.stop()
    # Looked at once the relay has ended: a removal under way leaves a .state for a moment.
    left = spool_files(spool)
    failed = len(os.listdir(os.path.join(spool, "failed")))
    total = sink.count
    if args.quick:
        s_seconds, s_cpu = 1.0, 1.0
    else:
        s_seconds, s_cpu = smtp_source(sink_port, l["mails"], mail_file)
    sink.stop()
    return {"kept": kept, "bad": bad, "errors": errors, "xml": xml, "state": state, "drained": drained,
            "probes": prober.answered, "probe_failed": prober.failed, "worst_ms": prober.worst * 1000,
            "drain_s": drain_seconds, "first_s": first - t0,
            "steady": (xml - 1) / max(t0 + drain_seconds - first, 1e-6), "drain_rate": xml / drain_seconds, "drain_cpu": drain_cpu / max(xml, 1),
            "drain_vsw": drain_sw[0] / max(xml, 1), "drain_isw": drain_sw[1] / max(xml, 1),
            "left": left, "failed": failed, "live": l, "total": total, "delivered": delivered,
            "source_rate": l["mails"] / s_seconds, "source_cpu": s_cpu / max(l["mails"], 1)}


def tls_round(args, work, lua):
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
    spool = os.path.join(work, "tls-spool")
    relay_port, metrics_port, sink_port = free_port(), free_port(), free_port()
    ini = os.path.join(work, "tls.ini")
    write_ini(ini, relay_port, metrics_port, sink_port, ("bench", "s3cret", cert))
    relay = Relay(args.relay, ini, spool, work)
    kept, bad, errors, xml, state = outage(relay, relay_port, lua, sink_port)

    sink = PySink(sink_port, cert, key, "bench:s3cret")
    t0 = relay.start()
    pid = relay.proc.pid
    if not relay.wait_log(b"Listening on Port"):
        sys.exit("drain_vs_live: the relay did not start on its backlog (see %s)" % relay.log)
    # The sink tells its count only at its end: the relay's own metrics say when all went.
    deadline = time.monotonic() + 900
    end = None
    while time.monotonic() < deadline:
        m = metrics(metrics_port)
        if m.get("swnrelay_spool_entries", -1) == 0 and m.get("swnrelay_documents_delivered_total", 0) >= xml:
            end = time.time()
            break
        time.sleep(0.02)
    drain_cpu = cpu_seconds(pid)
    drain_seconds = (end or time.time()) - t0
    # That sink tells nothing while it runs: the relay's own count of delivered documents.
    l = live(relay, relay_port, lua,
             lambda: int(metrics(metrics_port).get("swnrelay_documents_delivered_total", 0)))
    relay.stop()
    total = sink.stop()
    return {"kept": kept, "xml": xml, "state": state, "drain_s": drain_seconds, "drain_rate": xml / drain_seconds,
            "drain_cpu": drain_cpu / max(xml, 1), "live": l, "total": total, "expected": xml + l["mails"],
            "done": end is not None}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--relay", default=os.path.join(ROOT, "build", "app", "swnrelayd"))
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--no-tls", action="store_true")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--quick", action="store_true", help="no smtp-source, no TLS: the drain and live rates only")
    args = parser.parse_args()
    for name in ("smtp-sink", "smtp-source", "wrk"):
        if not tool(name):
            sys.exit("drain_vs_live: %s is needed (bench/drain_vs_live.sh installs it)" % name)

    work = tempfile.mkdtemp(prefix="swn-drain-")
    doc = document()
    lua = os.path.join(work, "post.lua")
    with open(lua, "w") as f:
        f.write('wrk.method = "POST"\nwrk.body = [==[%s]==]\nwrk.headers["Content-Type"] = "text/xml"\n'
                % doc.decode())
    mail_file, mail_bytes = capture_mail(args.relay, work, doc)
    print("documents of %d bytes, 4 recipients; the relay's mail of them %d bytes; load %s"
          % (len(doc), mail_bytes, open("/proc/loadavg").read().split()[0]))
    status = 0
    for r in range(args.rounds):
        rw = os.path.join(work, "round%d" % r)
        os.makedirs(rw)
        p = plain_round(args, rw, lua, doc, mail_file)
        l = p["live"]
        print("plain SMTP to smtp-sink, round %d (load before %s):" % (r + 1, open("/proc/loadavg").read().split()[0]))
        print("  outage: %d documents kept (%d not 200, %d socket errors); spool %d .xml, %d .state"
              % (p["kept"], p["bad"], p["errors"], p["xml"], p["state"]))
        print("  drain after restart  %8.1f mails/s  (%d in %.2f s, restart to last mail; CPU %.0f us/mail, "
              "%.1f voluntary + %.1f involuntary switches/mail)"
              % (p["drain_rate"], p["xml"], p["drain_s"], 1e6 * p["drain_cpu"], p["drain_vsw"], p["drain_isw"]))
        print("  first mail %.2f s after the restart; from the first to the last, %.1f mails/s"
              % (p["first_s"], p["steady"]))
        print("  live, 100 clients    %8.1f mails/s  (%d answered 200 in 5 s, %d not, %d socket errors; %d mails; "
              "CPU %.0f us/mail, %.1f voluntary + %.1f involuntary switches/mail)"
              % (l["rate"], l["ok"], l["bad"], l["errors"], l["mails"], 1e6 * l["cpu"], l["vsw"], l["isw"]))
        print("  drain/live           %8.2f   (aim: at least 0.90)" % (p["drain_rate"] / l["rate"]))
        print("  posted while draining: %d answered, %d not, slowest %.1f ms (aim: under 50 ms)"
              % (p["probes"], p["probe_failed"], p["worst_ms"]))
        # The drain's mails were counted before the live run: with the spool and failed/ empty, as
        # many mails as kept and probe documents means each went once.
        every = p["drained"] == p["xml"] + p["probes"] and p["left"][0] == 0 and p["failed"] == 0
        print("  at the sink after the drain %d mails = %d kept + %d posted meanwhile: %s; at the end the spool "
              "holds %d .xml %d .state, failed/ %d; relay's delivered count %d, sink's %d"
              % (p["drained"], p["xml"], p["probes"], "each once" if every else "MISMATCH", p["left"][0],
                 p["left"][1], p["failed"], p["delivered"], p["total"]))
        if not args.quick:
            print("  smtp-source, same %d mails, one connection each: %8.1f mails/s, CPU %.0f us/mail"
                  % (l["mails"], p["source_rate"], 1e6 * p["source_cpu"]))
            print("  relay/smtp-source: CPU per mail %.2f (aim: at most 1.0), rate %.2f (aim: above 2)"
                  % (l["cpu"] / p["source_cpu"], l["rate"] / p["source_rate"]))
        if not every or p["probe_failed"] or p["worst_ms"] > 50 or p["delivered"] != p["total"]:
            status = 1
        if not args.no_tls and not args.quick:
            t = tls_round(args, rw, lua)
            tl = t["live"]
            print("STARTTLS with a login, tests/support/smtp_sink.py counting, round %d:" % (r + 1))
            print("  outage: %d documents kept; spool %d .xml, %d .state" % (t["kept"], t["xml"], t["state"]))
            print("  drain after restart  %8.1f mails/s  (%d in %.2f s, restart to empty spool; CPU %.0f us/mail)%s"
                  % (t["drain_rate"], t["xml"], t["drain_s"], 1e6 * t["drain_cpu"], "" if t["done"] else " NOT DONE"))
            print("  live, 100 clients    %8.1f mails/s  (%d answered 200 in 5 s, %d not; %d mails; CPU %.0f us/mail)"
                  % (tl["rate"], tl["ok"], tl["bad"], tl["mails"], 1e6 * tl["cpu"]))
            print("  drain/live           %8.2f   (aim: at least 0.90)" % (t["drain_rate"] / tl["rate"]))
            print("  CPU per mail over TLS / plain (live): %.2f; at the sink %d mails of %d kept and delivered live"
                  % (tl["cpu"] / l["cpu"], t["total"], t["expected"]))
            if t["total"] != t["expected"] or not t["done"]:
                status = 1
        sys.stdout.flush()
    if args.keep or status:
        print("work folder kept: %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
