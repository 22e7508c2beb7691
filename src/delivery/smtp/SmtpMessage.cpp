// The message and its envelope from a request: sender, recipients, header entries, body and the
// staged attachment files.
#include "delivery/smtp/SmtpInternal.h"

#include "delivery/DeliveryError.h"
#include "delivery/MimeComposer.h"
#include "delivery/Staging.h"
#include "common/Catalogue.h"

#include <QFile>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace swn {

namespace {

const char* const kImageExtensions[] = {"jpg", "jpeg", "gif", "png", "bmp"};

void AddHeaders(DeliveryContext& context, const QStringList& headerEntries, MimeMessageBuilder& builder)
{
    // What the composer would refuse is logged with its reason and left out.
    for (const QString& entry : AcceptedHeaderEntries(context, headerEntries)) {
        // The value is everything after the first "::": values such as IPv6 addresses hold "::".
        const qsizetype split = entry.indexOf(QLatin1String("::"));
        builder.addHeader(split < 0 ? entry : entry.left(split), split < 0 ? QString() : entry.mid(split + 2));
    }
}

void AddAttachment(const QString& entry, bool isHTML, MimeMessageBuilder& builder)
{
    const QStringList parts = entry.split(QLatin1String(kNamePathSeparator));
    if (parts.size() < 2)
        throw DeliveryError(
            BuildResourceMessage(msg::AttachmentNotStaged, {entry, QString::fromLocal8Bit(std::strerror(EINVAL))}));
    const QString& displayName = parts[0];
    const QByteArray path = QFile::encodeName(parts[1]);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    // Too many open files, permissions, a staged file gone: this host's fault, not the mail's.
    if (fd < 0)
        throw DeliveryError(BuildResourceMessage(msg::AttachmentNotStaged,
                                                 {displayName, QString::fromLocal8Bit(std::strerror(errno))}),
                            true);
    // The part reads from the open descriptor; the name is gone before the message is sent.
    ::unlink(path.constData());
    if (isHTML && IsImageAttachmentName(displayName))
        builder.addRelatedImage(displayName, fd);
    else
        builder.addAttachment(displayName, fd);
}

} // namespace

bool IsImageAttachmentName(const QString& displayName)
{
    const qsizetype dot = displayName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return false;
    const QString extension = displayName.mid(dot + 1).toLower();
    for (const char* image : kImageExtensions)
        if (extension == QLatin1String(image))
            return true;
    return false;
}

namespace smtp {

void ComposeMail(DeliveryContext& context, const MailRequest& request, MimeMessageBuilder& builder)
{
    builder.setFrom(request.fromAddr, true);
    builder.setRecipients(RecipientKind::To, request.to);
    builder.setRecipients(RecipientKind::Cc, request.cc);
    builder.setRecipients(RecipientKind::Bcc, request.bcc);
    AddHeaders(context, request.headerEntries, builder);
    builder.setSubject(request.subject);
    builder.setBody(request.body, request.isHTML);
    for (const QString& entry : request.attachmentEntries)
        AddAttachment(entry, request.isHTML, builder);
}

std::optional<QList<QByteArray>> EnvelopeRecipients(const MimeMessageBuilder& builder,
                                                    const QStringList& onlyRecipients)
{
    const QList<QByteArray> recipients = builder.envelopeRecipients();
    if (onlyRecipients.isEmpty())
        return recipients;
    QSet<QString> only;
    for (const QString& address : onlyRecipients)
        only.insert(address.trimmed().toCaseFolded());
    QList<QByteArray> wanted;
    QSet<QString> taken;
    for (const QByteArray& address : recipients) {
        const QString folded = QString::fromUtf8(address).toCaseFolded();
        if (only.contains(folded) && !taken.contains(folded)) {
            taken.insert(folded);
            wanted.append(address);
        }
    }
    if (wanted.isEmpty())
        return std::nullopt;
    return wanted;
}

} // namespace smtp

} // namespace swn
