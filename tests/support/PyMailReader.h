#pragma once
// The few things the relay's tests ask of a received mail, read with the system Python's email
// package (read_mail.py through MailReaders): a reader that shares no code with the one that
// wrote the mail.
#include "MailReaders.h"
#include "SmtpSink.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace swn::test {

struct PyMail {
    bool ok = false;
    QString subject;
    QString body;                                  // the first text part, decoded
    QList<QPair<QString, QByteArray>> attachments; // file name and decoded content, in order
    QString error;
};

inline PyMail FromReading(const PythonReading& reading)
{
    PyMail mail;
    mail.error = reading.error;
    mail.ok = reading.error.isEmpty();
    mail.subject = reading.header(QStringLiteral("Subject"));
    for (const QJsonValue& value : reading.parts) {
        const QJsonObject part = value.toObject();
        const QString name = part.value(QLatin1String("filename")).toString();
        if (!name.isEmpty())
            // Text parts come back as text, the rest as base64 of their bytes.
            mail.attachments.append({name, part.contains(QLatin1String("base64"))
                                               ? QByteArray::fromBase64(part.value(QLatin1String("base64")).toString().toLatin1())
                                               : part.value(QLatin1String("text")).toString().toUtf8()});
        else if (mail.body.isEmpty() && part.contains(QLatin1String("text")))
            mail.body = part.value(QLatin1String("text")).toString();
    }
    return mail;
}

inline PyMail ReadWithPython(const QByteArray& message) { return FromReading(ReadMailWithPython(message)); }

// Subjects of the mails, in order, read in one go.
inline QStringList PySubjects(const QList<ReceivedMail>& mails)
{
    QList<QByteArray> contents;
    for (const ReceivedMail& m : mails)
        contents << m.content;
    QStringList subjects;
    if (contents.isEmpty())
        return subjects;
    for (const PythonReading& reading : ReadMailWithPython(contents))
        subjects << (reading.error.isEmpty() ? reading.header(QStringLiteral("Subject")) : QStringLiteral("<unreadable>"));
    return subjects;
}

} // namespace swn::test
