#include "delivery/ZorvixMailMsg.h"

#include "delivery/MimeComposer.h"

#include <QProcess>

namespace swn {

namespace {
constexpr int kStartTimeoutMs = 30000;
constexpr int kFinishTimeoutMs = 120000;
constexpr qint32 kTemporaryFailure = 75; // EX_TEMPFAIL of the sendmail interface
} // namespace

ZorvixMailMsg::ZorvixMailMsg(QString sendmailProgram) : program_(std::move(sendmailProgram)) {}

void ZorvixMailMsg::SetSender(const QString& address) { sender_ = address; }
void ZorvixMailMsg::SetSubjectLine(const QString& subject) { subject_ = subject; }
void ZorvixMailMsg::SetBodyText(const QString& body) { body_ = body; }
void ZorvixMailMsg::AddRecipientTo(const QString& address) { to_.append(address); }
void ZorvixMailMsg::AddRecipientCc(const QString& address) { cc_.append(address); }
void ZorvixMailMsg::AddRecipientBcc(const QString& address) { bcc_.append(address); }

qint32 ZorvixMailMsg::SubmitMessage()
{
    if (program_.isEmpty())
        return -1;
    MimeMessageBuilder builder;
    builder.setFrom(sender_, false);
    builder.setRecipients(RecipientKind::To, to_);
    builder.setRecipients(RecipientKind::Cc, cc_);
    builder.setRecipients(RecipientKind::Bcc, bcc_);
    builder.setSubject(subject_);
    builder.setBody(body_.toUtf8(), false);

    // "-i": a line holding a single dot is text, not the end. "--": no address, whatever it
    // begins with, can be taken for an option.
    QStringList arguments{QStringLiteral("-i")};
    const QByteArray sender = builder.envelopeSender();
    if (!sender.isEmpty())
        arguments << QStringLiteral("-f") << QString::fromUtf8(sender);
    arguments << QStringLiteral("--");
    for (const QByteArray& recipient : builder.envelopeRecipients())
        arguments << QString::fromUtf8(recipient);
    const QByteArray message = builder.compose()->readAll();

    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program_, arguments);
    if (!process.waitForStarted(kStartTimeoutMs))
        return -1;
    process.write(message);
    process.closeWriteChannel();
    if (!process.waitForFinished(kFinishTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return kTemporaryFailure;
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return kTemporaryFailure;
    const int code = process.exitCode();
    return code == 0 ? 1 : code == 1 ? 0 : code;
}

} // namespace swn
