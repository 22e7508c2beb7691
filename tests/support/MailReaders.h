#pragma once
// Independent readers of the mail the relay writes: Python's email package, the strict MIME
// parser reformime and SpamAssassin's local tests. None shares code with the relay's composer.
#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace swn::test {

// One mail as read_mail.py reports it (see its docstring). `error` is set when the reader itself
// could not run.
struct PythonReading {
    QString error;
    QStringList defects;
    QList<QPair<QString, QString>> headers; // decoded values
    QString tree;
    QJsonArray parts;
    int longestHeaderLine = 0;
    int longestEncodedWord = 0;
    QString header(const QString& name) const;   // the first one, empty if none
    int headerCount(const QString& name) const;
    QJsonObject part(const QString& path) const; // empty when there is none
    QList<QJsonObject> partsOfType(const QString& type) const;
};

// Reads each mail with Python's email package (policy=email.policy.default).
QList<PythonReading> ReadMailWithPython(const QList<QByteArray>& mails);
PythonReading ReadMailWithPython(const QByteArray& mail);

// What reformime -i makes of the mail; `problems` is empty when it read it without complaint.
struct ReformimeReading {
    QString problems;
    QStringList sections;          // "1", "1.1", ...
    QStringList fileNames;         // content-disposition-filename of every section that has one
    QStringList contentIds;
};
ReformimeReading ReadMailWithReformime(const QByteArray& mail);

// The names of SpamAssassin's local rules (spamassassin -t -L) that fire on the mail. `error`
// is set when SpamAssassin could not run or gave no verdict.
QStringList SpamAssassinRules(const QByteArray& mail, QString* error);

// The text re-encoded by Python's codecs ("shift_jis", "euc_jp", "gb18030", "utf-16", ...); empty
// when Python refused.
QByteArray EncodeWithPython(const QByteArray& utf8, const QString& codec);

} // namespace swn::test
