#include "MailDocBuilder.h"

namespace swn::test {

QString XmlEscaped(const QString& text)
{
    QString out = text.toHtmlEscaped();
    out.replace(QLatin1Char('\r'), QStringLiteral("&#13;"));
    return out;
}

namespace {
QString List(const char* name, const QStringList& entries)
{
    QString out = QStringLiteral("<%1>").arg(QLatin1String(name));
    for (const QString& entry : entries)
        out += QStringLiteral("<Addr>%1</Addr>").arg(XmlEscaped(entry));
    return out + QStringLiteral("</%1>").arg(QLatin1String(name));
}
} // namespace

QByteArray MailDocBuilder::build() const
{
    QString xml = declaredEncoding.isEmpty()
        ? QStringLiteral("<?xml version=\"1.0\"?>\r\n<BT_mail_Msg>")
        : QStringLiteral("<?xml version=\"1.0\" encoding=\"%1\"?>\r\n<BT_mail_Msg>").arg(declaredEncoding);
    xml += QStringLiteral("<BTInstigator>%1</BTInstigator>").arg(XmlEscaped(instigator));
    xml += QStringLiteral("<BTMailAdmin>%1</BTMailAdmin>").arg(XmlEscaped(admin));
    xml += QStringLiteral("<from_addr>%1</from_addr>").arg(XmlEscaped(from));
    xml += List("ToList", to) + List("CCList", cc) + List("BCCList", bcc);
    xml += QStringLiteral("<Subject>%1</Subject>").arg(XmlEscaped(subject));
    xml += QStringLiteral("<Body>%1</Body>").arg(bodyXml.isEmpty() ? XmlEscaped(body) : bodyXml);
    xml += QStringLiteral("<ContentType>%1</ContentType>").arg(XmlEscaped(contentType));
    xml += QStringLiteral("<HeaderList>");
    for (const auto& [name, value] : headers)
        xml += QStringLiteral("<Header><HeaderName>%1</HeaderName><HeaderValue>%2</HeaderValue></Header>")
                   .arg(XmlEscaped(name), XmlEscaped(value));
    xml += QStringLiteral("</HeaderList>");
    if (withAttachmentList) {
        xml += QStringLiteral("<AttachmentList>");
        for (const auto& [name, bytes] : attachments)
            xml += QStringLiteral("<AttachmentContent><AttachmentName>%1</AttachmentName>"
                                  "<AttachmentBody dt:dt=\"bin.base64\">%2"
                                  "</AttachmentBody></AttachmentContent>")
                       .arg(XmlEscaped(name), QString::fromLatin1(bytes.toBase64()));
        xml += QStringLiteral("</AttachmentList>");
    }
    xml += QStringLiteral("</BT_mail_Msg>\r\n");
    return xml.toUtf8();
}

} // namespace swn::test
