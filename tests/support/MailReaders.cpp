#include "MailReaders.h"

#include "SmtpSink.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace swn::test {

namespace {

// Runs a program with `input` on its standard input; false when it did not start or finish.
bool Run(const QString& program, const QStringList& arguments, const QByteArray& input, QByteArray& out,
         QByteArray& err, int& exitCode, const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return false;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    out = process.readAllStandardOutput();
    err = process.readAllStandardError();
    exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return true;
}

PythonReading Failed(const QString& error)
{
    PythonReading reading;
    reading.error = error;
    return reading;
}

} // namespace

QString PythonReading::header(const QString& name) const
{
    for (const auto& [n, v] : headers)
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return v;
    return {};
}

int PythonReading::headerCount(const QString& name) const
{
    int count = 0;
    for (const auto& entry : headers)
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            ++count;
    return count;
}

QJsonObject PythonReading::part(const QString& path) const
{
    for (const QJsonValue& value : parts)
        if (value.toObject().value(QStringLiteral("path")).toString() == path)
            return value.toObject();
    return {};
}

QList<QJsonObject> PythonReading::partsOfType(const QString& type) const
{
    QList<QJsonObject> found;
    for (const QJsonValue& value : parts)
        if (value.toObject().value(QStringLiteral("type")).toString() == type)
            found << value.toObject();
    return found;
}

QList<PythonReading> ReadMailWithPython(const QList<QByteArray>& mails)
{
    QList<PythonReading> readings;
    QTemporaryDir dir;
    QStringList arguments{TestSourceDir() + QStringLiteral("/support/read_mail.py")};
    for (qsizetype i = 0; i < mails.size(); ++i) {
        const QString path = dir.filePath(QStringLiteral("%1.eml").arg(i));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(mails[i]) != mails[i].size())
            return QList<PythonReading>(mails.size(), Failed(QStringLiteral("cannot write %1").arg(path)));
        arguments << path;
    }
    QByteArray out, err;
    int exitCode = 0;
    QString failure;
    if (!Run(SystemPython(), arguments, {}, out, err, exitCode))
        failure = QStringLiteral("read_mail.py did not run");
    else if (exitCode != 0)
        failure = QStringLiteral("read_mail.py failed: %1").arg(QString::fromUtf8(err));
    const QJsonArray all = QJsonDocument::fromJson(out).array();
    if (failure.isEmpty() && all.size() != mails.size())
        failure = QStringLiteral("read_mail.py gave %1 readings for %2 mails").arg(all.size()).arg(mails.size());
    if (!failure.isEmpty())
        return QList<PythonReading>(mails.size(), Failed(failure));
    for (const QJsonValue& value : all) {
        const QJsonObject object = value.toObject();
        PythonReading reading;
        for (const QJsonValue& defect : object.value(QStringLiteral("defects")).toArray())
            reading.defects << defect.toString();
        for (const QJsonValue& header : object.value(QStringLiteral("headers")).toArray())
            reading.headers.append({header.toArray().at(0).toString(), header.toArray().at(1).toString()});
        reading.tree = object.value(QStringLiteral("tree")).toString();
        reading.parts = object.value(QStringLiteral("parts")).toArray();
        reading.longestHeaderLine = object.value(QStringLiteral("longest_header_line")).toInt();
        reading.longestEncodedWord = object.value(QStringLiteral("longest_encoded_word")).toInt();
        readings << reading;
    }
    return readings;
}

PythonReading ReadMailWithPython(const QByteArray& mail)
{
    return ReadMailWithPython(QList<QByteArray>{mail}).first();
}

ReformimeReading ReadMailWithReformime(const QByteArray& mail)
{
    ReformimeReading reading;
    QByteArray out, err;
    int exitCode = 0;
    if (!Run(QStringLiteral("reformime"), {QStringLiteral("-i")}, mail, out, err, exitCode)) {
        reading.problems = QStringLiteral("reformime did not run");
        return reading;
    }
    QStringList problems;
    if (exitCode != 0)
        problems << QStringLiteral("exit status %1").arg(exitCode);
    if (!err.trimmed().isEmpty())
        problems << QString::fromUtf8(err.trimmed());
    for (const QString& line : QString::fromUtf8(out).split(QLatin1Char('\n'))) {
        if (line.contains(QLatin1String("ERROR")) || line.startsWith(QLatin1String("Unknown charset")))
            problems << line;
        else if (line.startsWith(QLatin1String("section: ")))
            reading.sections << line.mid(9);
        else if (line.startsWith(QLatin1String("content-disposition-filename: ")))
            reading.fileNames << line.mid(30);
        else if (line.startsWith(QLatin1String("content-id: ")))
            reading.contentIds << line.mid(12);
    }
    if (reading.sections.isEmpty())
        problems << QStringLiteral("no MIME sections found");
    reading.problems = problems.join(QStringLiteral("; "));
    return reading;
}

QStringList SpamAssassinRules(const QByteArray& mail, QString* error)
{
    // A home of its own, so the run neither reads nor writes anyone's preferences.
    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    QByteArray out, err;
    int exitCode = 0;
    if (!Run(QStringLiteral("spamassassin"), {QStringLiteral("-t"), QStringLiteral("-L")}, mail, out, err, exitCode,
             environment)) {
        *error = QStringLiteral("spamassassin did not run");
        return {};
    }
    // The verdict header, unfolded: "X-Spam-Status: No, score=1.7 required=5.0 tests=A,B,C autolearn=..."
    const qsizetype headEnd = out.indexOf("\n\n");
    QString head = QString::fromUtf8(out.left(headEnd < 0 ? out.size() : headEnd));
    head.replace(QRegularExpression(QStringLiteral("\\r?\\n[ \\t]+")), QStringLiteral(" "));
    const QRegularExpression status(QStringLiteral("^X-Spam-Status: .*\\btests=(\\S*)"),
                                    QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = status.match(head);
    if (!match.hasMatch()) {
        *error = QStringLiteral("no verdict from spamassassin (exit %1): %2").arg(exitCode).arg(QString::fromUtf8(err));
        return {};
    }
    const QString tests = match.captured(1);
    return tests == QLatin1String("none") ? QStringList() : tests.split(QLatin1Char(','), Qt::SkipEmptyParts);
}

QByteArray EncodeWithPython(const QByteArray& utf8, const QString& codec)
{
    QByteArray out, err;
    int exitCode = 0;
    const QString script = QStringLiteral(
        "import sys; sys.stdout.buffer.write(sys.stdin.buffer.read().decode('utf-8').encode(sys.argv[1]))");
    if (!Run(SystemPython(), {QStringLiteral("-c"), script, codec}, utf8, out, err, exitCode) || exitCode != 0)
        return {};
    return out;
}

} // namespace swn::test
