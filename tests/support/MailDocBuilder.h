#pragma once
// Writes XML mail documents the way the tracker does, for the tests.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace swn::test {

struct MailDocBuilder {
    QString instigator = QStringLiteral("tester");
    QString from = QStringLiteral("tracker@example.org");
    // BTMailAdmin; empty by default, so that only the tests about notices have the relay tell anyone.
    QString admin;
    QStringList to{QStringLiteral("alice@example.org")};
    QStringList cc;
    QStringList bcc;
    QString subject = QStringLiteral("Defect 42 changed");
    QString body = QStringLiteral("The defect was resolved.");
    QString bodyXml; // when set, the content of Body as written: references, CDATA sections, ...
    QString contentType = QStringLiteral("text/plain");
    QList<QPair<QString, QString>> headers;
    QList<QPair<QString, QByteArray>> attachments;
    bool withAttachmentList = true;
    QString declaredEncoding; // named in the XML declaration when set; build() still gives UTF-8

    QByteArray build() const;
};

QString XmlEscaped(const QString& text);

} // namespace swn::test
