#pragma once
// A slow SMTP server on loopback (the system's Python with its SMTP server module): while the file
// "delay" in its folder holds a number, DATA waits that many seconds before it is answered, and
// other connections are served meanwhile; maxConcurrentData() tells how many were answered at
// the same time. The shared sink refuses and hangs at any step but never just takes its time.
// Accepted messages are NNNNNN.eml with NNNNNN.env beside them, as the shared sink writes them.
#include "SmtpSink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

namespace swn::test {

inline const char* SlowSmtpProgram = R"PY(
import asyncio, os, signal, sys
from aiosmtpd.smtp import SMTP

outdir = sys.argv[1]
count = [0]
active = [0, 0]  # DATA commands under way now, and the most at any one time

def flag(name):
    return os.path.exists(os.path.join(outdir, name))

class Handler:
    async def handle_DATA(self, server, session, envelope):
        active[0] += 1
        active[1] = max(active)
        with open(os.path.join(outdir, "maxactive"), "w") as f:
            f.write(str(active[1]))
        try:
            if flag("delay"):
                with open(os.path.join(outdir, "delay")) as f:
                    await asyncio.sleep(float(f.read().strip() or "0"))
        finally:
            active[0] -= 1
        count[0] += 1
        base = os.path.join(outdir, "%06d" % count[0])
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".env", "w") as f:
            f.write((envelope.mail_from or "") + "\n")
            for r in envelope.rcpt_tos:
                f.write(r + "\n")
        os.rename(base + ".eml.part", base + ".eml")
        return "250 OK queued"

loop = asyncio.new_event_loop()
asyncio.set_event_loop(loop)
handler = Handler()
server = loop.run_until_complete(loop.create_server(
    lambda: SMTP(handler, data_size_limit=None, decode_data=False, hostname="slow.test", loop=loop),
    host="127.0.0.1", port=0))
print(server.sockets[0].getsockname()[1], flush=True)
stop = asyncio.Event()
loop.add_signal_handler(signal.SIGTERM, stop.set)
loop.add_reader(sys.stdin.fileno(), lambda: stop.set() if not os.read(sys.stdin.fileno(), 4096) else None)
loop.run_until_complete(stop.wait())
)PY";

class SlowSmtp {
public:
    ~SlowSmtp() { stop(); }

    bool start()
    {
        if (!dir_.isValid())
            return false;
        const QString script = dir_.filePath(QStringLiteral("server.py"));
        QFile f(script);
        if (!f.open(QIODevice::WriteOnly) || f.write(SlowSmtpProgram) < 0)
            return false;
        f.close();
        QDir().mkpath(mailDir());
        process_ = StartServerProcess({script, mailDir()}, port_);
        return process_ != nullptr;
    }
    void stop() { StopServerProcess(process_); }
    QString hostText() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }
    QString mailDir() const { return dir_.filePath(QStringLiteral("mail")); }

    void setFlag(const QString& name, bool on, const QByteArray& content = {})
    {
        QFile flag(QDir(mailDir()).filePath(name));
        if (on) {
            flag.open(QIODevice::WriteOnly | QIODevice::Truncate);
            flag.write(content);
        } else {
            flag.remove();
        }
    }
    void delayData(double seconds) { setFlag(QStringLiteral("delay"), seconds > 0, QByteArray::number(seconds)); }

    // The most DATA commands the server was answering at one time.
    int maxConcurrentData() const
    {
        QFile f(QDir(mailDir()).filePath(QStringLiteral("maxactive")));
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toInt() : 0;
    }
    int count() const { return int(QDir(mailDir()).entryList({QStringLiteral("*.eml")}, QDir::Files).size()); }
    QList<ReceivedMail> messages() const
    {
        QList<ReceivedMail> mails;
        const QDir d(mailDir());
        for (const QString& name : d.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name)) {
            QFile eml(d.filePath(name));
            QFile env(d.filePath(name.chopped(4) + QStringLiteral(".env")));
            if (!eml.open(QIODevice::ReadOnly) || !env.open(QIODevice::ReadOnly))
                continue;
            ReceivedMail mail;
            mail.content = eml.readAll();
            QStringList lines = QString::fromUtf8(env.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            if (!lines.isEmpty())
                mail.mailFrom = lines.takeFirst();
            mail.recipients = lines;
            mails.append(mail);
        }
        return mails;
    }
    bool waitForCount(int n, int timeoutMs = 20000) const
    {
        QDeadlineTimer deadline(timeoutMs);
        while (count() < n) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(10);
        }
        return true;
    }

private:
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
};

} // namespace swn::test
