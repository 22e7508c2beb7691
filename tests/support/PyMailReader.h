#pragma once
// Reads a received mail with the system Python's email package: a reader that shares no code
// with the one that wrote the mail.
#include "SmtpSink.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace swn::test {

struct PyMail {
    bool ok = false;
    QString subject;
    QString body;                                // the plain (or else HTML) text, decoded
    QStringList to;                              // addresses of the To header
    QList<QPair<QString, QByteArray>> attachments; // file name and decoded content, in order
    QString error;
};

inline PyMail ReadWithPython(const QByteArray& message)
{
    static const char* script = R"PY(
import sys, json, base64, email
from email import policy
msg = email.message_from_bytes(sys.stdin.buffer.read(), policy=policy.default)
out = {"subject": str(msg.get("Subject", "")),
       "to": [a.addr_spec for a in (msg.get("To").addresses if msg.get("To") else [])],
       "attachments": []}
b = msg.get_body(preferencelist=("plain", "html"))
out["body"] = b.get_content() if b is not None else ""
for part in msg.walk():
    name = part.get_filename()
    if name is not None:
        out["attachments"].append([name, base64.b64encode(part.get_payload(decode=True) or b"").decode()])
print(json.dumps(out))
)PY";
    PyMail mail;
    QProcess python;
    python.start(SystemPython(), {QStringLiteral("-c"), QString::fromUtf8(script)});
    if (!python.waitForStarted(10000)) {
        mail.error = QStringLiteral("python did not start");
        return mail;
    }
    python.write(message);
    python.closeWriteChannel();
    if (!python.waitForFinished(20000) || python.exitCode() != 0) {
        mail.error = QString::fromUtf8(python.readAllStandardError());
        return mail;
    }
    const QJsonObject o = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
    mail.subject = o.value(QLatin1String("subject")).toString();
    mail.body = o.value(QLatin1String("body")).toString();
    for (const QJsonValue& v : o.value(QLatin1String("to")).toArray())
        mail.to << v.toString();
    for (const QJsonValue& v : o.value(QLatin1String("attachments")).toArray()) {
        const QJsonArray a = v.toArray();
        mail.attachments.append({a.at(0).toString(), QByteArray::fromBase64(a.at(1).toString().toLatin1())});
    }
    mail.ok = true;
    return mail;
}

inline QStringList PySubjects(const QList<ReceivedMail>& mails)
{
    QStringList subjects;
    for (const ReceivedMail& m : mails)
        subjects << ReadWithPython(m.content).subject;
    return subjects;
}

} // namespace swn::test
