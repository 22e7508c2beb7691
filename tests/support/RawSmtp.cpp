#include "RawSmtp.h"
#include "SmtpSink.h"

#include <QDir>
#include <QFile>

namespace swn::test {

bool RawSmtp::start(const QStringList& arguments)
{
    stop();
    ipv6_ = arguments.contains(QStringLiteral("::1"));
    process_ = StartServerProcess(QStringList{TestSourceDir() + QStringLiteral("/support/raw_smtp.py"),
                                              QStringLiteral("--outdir"), dir_.path()} +
                                      arguments,
                                  port_);
    return process_ != nullptr;
}

void RawSmtp::stop()
{
    StopServerProcess(process_);
}

QString RawSmtp::hostText() const
{
    return (ipv6_ ? QStringLiteral("[::1]:%1") : QStringLiteral("127.0.0.1:%1")).arg(port_);
}

QList<QByteArray> RawSmtp::sessions() const
{
    QList<QByteArray> all;
    const QDir dir(dir_.path());
    for (const QString& name : dir.entryList({QStringLiteral("*.raw")}, QDir::Files, QDir::Name)) {
        QFile f(dir.filePath(name));
        all << (f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
    }
    return all;
}

int RawSmtp::accepted() const
{
    QFile f(QDir(dir_.path()).filePath(QStringLiteral("accepted")));
    return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
}

QList<QByteArray> RawSmtp::Commands(const QByteArray& session)
{
    QList<QByteArray> commands;
    qsizetype at = 0;
    while (at < session.size()) {
        qsizetype end = session.indexOf("\r\n", at);
        if (end < 0)
            end = session.size();
        const QByteArray line = session.mid(at, end - at);
        commands << line;
        at = end + 2;
        if (line.toUpper() == "DATA") {
            const qsizetype dot = ("\r\n" + session.mid(at)).indexOf("\r\n.\r\n");
            at = dot < 0 ? session.size() : at + dot + 3;
        }
    }
    return commands;
}

QList<QByteArray> RawSmtp::MessageData(const QByteArray& session)
{
    QList<QByteArray> messages;
    qsizetype at = 0;
    while (at < session.size()) {
        qsizetype end = session.indexOf("\r\n", at);
        if (end < 0)
            break;
        const bool data = session.mid(at, end - at).toUpper() == "DATA";
        at = end + 2;
        if (data) {
            const qsizetype dot = ("\r\n" + session.mid(at)).indexOf("\r\n.\r\n");
            if (dot < 0)
                break;
            messages << session.mid(at, qMax<qsizetype>(0, dot - 2));
            at += dot + 3;
        }
    }
    return messages;
}

} // namespace swn::test
