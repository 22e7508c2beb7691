#include "SmtpSink.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QThread>

#include <cstdio>

namespace swn::test {

QString SystemPython()
{
    // The interpreter first on PATH may lack the SMTP server module; Debian's has it.
    return QStringLiteral("/usr/bin/python3");
}

QString TestSourceDir()
{
    const QByteArray dir = qgetenv("SWN_TEST_SOURCE_DIR");
    return dir.isEmpty() ? QStringLiteral(SWN_TEST_SOURCE_DIR_DEFAULT) : QString::fromLocal8Bit(dir);
}

quint16 UnusedTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any);
    return probe.serverPort();
}

bool MakeTestCertificate(const QString& certPath, const QString& keyPath)
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                   "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost", "-keyout", keyPath, "-out", certPath});
    return openssl.waitForFinished(60000) && openssl.exitCode() == 0;
}

namespace {

bool RunOpenssl(const QStringList& arguments)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    openssl.setStandardErrorFile(QProcess::nullDevice());
    openssl.start(QStringLiteral("openssl"), arguments);
    return openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
}

} // namespace

bool MakeTestAuthority(const QString& certPath, const QString& keyPath)
{
    return RunOpenssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Test Authority",
                       "-keyout", keyPath, "-out", certPath});
}

bool MakeSignedCertificate(const QString& authorityCert, const QString& authorityKey, const QString& commonName,
                           const QString& certPath, const QString& keyPath)
{
    const QString request = certPath + QStringLiteral(".csr");
    const bool made = RunOpenssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + commonName, "-keyout",
                                  keyPath, "-out", request}) &&
                      RunOpenssl({"x509", "-req", "-in", request, "-CA", authorityCert, "-CAkey", authorityKey,
                                  "-set_serial", QString::number(QDateTime::currentMSecsSinceEpoch()), "-days", "2",
                                  "-out", certPath});
    QFile::remove(request);
    return made;
}

SmtpSink::SmtpSink() = default;

SmtpSink::~SmtpSink()
{
    stop();
}

std::unique_ptr<QProcess> StartServerProcess(const QStringList& arguments, quint16& port)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(SystemPython(), arguments);
    if (!process->waitForStarted(10000))
        return nullptr;
    QDeadlineTimer deadline(15000);
    while (!process->canReadLine() && !deadline.hasExpired())
        if (!process->waitForReadyRead(int(deadline.remainingTime())))
            break;
    port = process->canReadLine() ? quint16(process->readLine().trimmed().toUInt()) : 0;
    if (port == 0)
        StopServerProcess(process);
    return process;
}

void StopServerProcess(std::unique_ptr<QProcess>& process)
{
    if (!process)
        return;
    process->closeWriteChannel();
    if (!process->waitForFinished(5000)) {
        process->kill();
        process->waitForFinished();
    }
    process.reset();
}

bool SmtpSink::start(quint16 port, const QStringList& arguments)
{
    stop();
    process_ = StartServerProcess(QStringList{TestSourceDir() + QStringLiteral("/support/smtp_sink.py"),
                                              QStringLiteral("--outdir"), dir_.path(), QStringLiteral("--port"),
                                              QString::number(port)} +
                                      arguments,
                                  port_);
    return process_ != nullptr;
}

void SmtpSink::stop()
{
    StopServerProcess(process_);
}

QList<ReceivedMail> SmtpSink::messages() const
{
    QList<ReceivedMail> mails;
    const QStringList names = QDir(dir_.path()).entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        QFile eml(dir_.filePath(name));
        QFile env(dir_.filePath(name.chopped(4) + QStringLiteral(".env")));
        if (!eml.open(QIODevice::ReadOnly) || !env.open(QIODevice::ReadOnly))
            continue;
        ReceivedMail mail;
        mail.content = eml.readAll();
        QStringList lines = QString::fromUtf8(env.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (!lines.isEmpty())
            mail.mailFrom = lines.takeFirst();
        mail.recipients = lines;
        QFile session(dir_.filePath(name.chopped(4) + QStringLiteral(".session")));
        if (session.open(QIODevice::ReadOnly)) {
            for (const QString& line : QString::fromUtf8(session.readAll()).split(QLatin1Char('\n'))) {
                if (line == QLatin1String("tls=yes"))
                    mail.overTls = true;
                else if (line.startsWith(QLatin1String("auth=")))
                    mail.authUser = line.mid(5);
                else if (line.startsWith(QLatin1String("client_cert=")))
                    mail.clientCert = line.mid(12);
            }
        }
        mails.append(mail);
    }
    return mails;
}

QStringList SmtpSink::lines(const QString& name) const
{
    QFile f(dir_.filePath(name));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int SmtpSink::count() const
{
    return int(QDir(dir_.path()).entryList({QStringLiteral("*.eml")}, QDir::Files).size());
}

bool SmtpSink::waitForCount(int n, int timeoutMs) const
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

void SmtpSink::setFaults(const QStringList& lines)
{
    QFile faults(dir_.filePath(QStringLiteral("faults")));
    if (lines.isEmpty()) {
        faults.remove();
        return;
    }
    // Written whole and renamed into place, so the server never reads half a list.
    QFile part(dir_.filePath(QStringLiteral("faults.part")));
    if (part.open(QIODevice::WriteOnly)) {
        part.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n');
        part.close();
        std::rename(QFile::encodeName(part.fileName()).constData(), QFile::encodeName(faults.fileName()).constData());
    }
}

void SmtpSink::setTemporaryFailure(bool on)
{
    QFile flag(dir_.filePath(QStringLiteral("tempfail")));
    if (on)
        flag.open(QIODevice::WriteOnly);
    else
        flag.remove();
}

} // namespace swn::test
