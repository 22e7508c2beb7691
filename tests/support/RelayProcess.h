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

#include <unistd.h>

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

// The tests run as root in CI: a second user (nobody) is then at hand to play someone else.
inline bool CanActAsAnotherUser() { return ::geteuid() == 0; }
constexpr uid_t kAnotherUser = 65534;

// `program` with `arguments` as run by that other user: for QProcess::start.
inline QStringList AsAnotherUser(const QString& program, const QStringList& arguments)
{
    return QStringList{QStringLiteral("--reuid=%1").arg(kAnotherUser), QStringLiteral("--regid=%1").arg(kAnotherUser),
                       QStringLiteral("--clear-groups"), program} + arguments;
}

// Something other than the relay listening on a control socket: it answers "ok deleted" to every
// line and writes down what it heard. Bound in `folder` (reached through its descriptor, so that
// a long path does not matter), as root or as the other user.
class ControlStandIn {
public:
    bool start(const QString& folder, bool asAnotherUser)
    {
        heardPath_ = folder + QStringLiteral("/heard");
        const QString script = QStringLiteral(
            "import os, socket, sys\n"
            "fd = os.open(sys.argv[1], os.O_RDONLY | os.O_DIRECTORY)\n"
            "s = socket.socket(socket.AF_UNIX)\n"
            "s.bind('/proc/self/fd/%d/control.sock' % fd)\n"
            "s.listen(4)\n"
            "print('ready', flush=True)\n"
            "while True:\n"
            "    c, _ = s.accept()\n"
            "    data = c.recv(300)\n"
            "    with open(sys.argv[2], 'ab') as f:\n"
            "        f.write(data)\n"
            "    c.sendall(b'ok deleted\\n')\n"
            "    c.close()\n");
        const QStringList python{QStringLiteral("-c"), script, folder, heardPath_};
        if (asAnotherUser)
            process_.start(QStringLiteral("setpriv"), AsAnotherUser(QStringLiteral("/usr/bin/python3"), python));
        else
            process_.start(QStringLiteral("/usr/bin/python3"), python);
        return process_.waitForStarted(10000) &&
            QTest::qWaitFor([&] { return process_.state() != QProcess::Running || process_.peek(64).contains("ready"); },
                            20000) &&
            process_.state() == QProcess::Running;
    }
    // Every byte it was sent.
    QByteArray heard() const
    {
        QFile f(heardPath_);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QByteArray errors() { return process_.readAllStandardError(); }
    ~ControlStandIn()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

private:
    QProcess process_;
    QString heardPath_;
};

} // namespace swn::test
