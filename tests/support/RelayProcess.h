#pragma once
// The relay's programs run as their own processes: the environment of a host without a display,
// curl posting a document to the listener, and a program run to its end.
#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QtTest>

namespace swn::test {

// No display of any kind, and the relay's messages in English.
inline QProcessEnvironment EnvironmentWithoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("LANGUAGE"), QStringLiteral("en"));
    return env;
}

// curl's whole answer (status line, headers, body) to `document` posted to the listener on
// loopback; the document is written to `file` first.
inline QString CurlPost(const QByteArray& document, quint16 port, const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(document) != document.size())
        return QString();
    f.close();
    QProcess curl;
    curl.setProcessChannelMode(QProcess::MergedChannels);
    curl.start(QStringLiteral("curl"), {"-sS", "-i", "--max-time", "60", "--data-binary", "@" + file,
                                        QStringLiteral("http://127.0.0.1:%1/").arg(port)});
    (void)QTest::qWaitFor([&] { return curl.state() == QProcess::NotRunning; }, 70000);
    return QString::fromUtf8(curl.readAll());
}

// Runs `program` to its end; its exit code (-1 when it crashed or did not end), what it wrote to
// stdout in `out` and to stderr in `err`.
inline int RunToEnd(const QString& program, const QStringList& arguments, QByteArray* out = nullptr,
                    QByteArray* err = nullptr, const QProcessEnvironment& env = EnvironmentWithoutDisplay())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, arguments);
    if (!p.waitForStarted(10000))
        return -1;
    (void)QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 30000);
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(5000);
        return -1;
    }
    if (out)
        *out = p.readAllStandardOutput();
    if (err)
        *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace swn::test
