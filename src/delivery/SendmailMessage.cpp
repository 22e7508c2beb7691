#include "delivery/SendmailMessage.h"

#include "delivery/MimeComposer.h"

#include <QDeadlineTimer>
#include <QProcess>

namespace swn {

namespace {
constexpr int kStartTimeoutMs = 30000;
constexpr int kFinishTimeoutMs = 120000;
constexpr qint32 kTemporaryFailure = 75; // EX_TEMPFAIL of the sendmail interface
constexpr qint32 kDataError = 65;        // EX_DATAERR
constexpr int kPollMs = 200;
constexpr qsizetype kErrorBytesKept = 4096;
constexpr int kErrorLinesShown = 5;
constexpr qsizetype kErrorCharsShown = 1000;

// A program that writes without end must not fill the relay's memory, nor its log.
QString ErrorSummary(const QByteArray& bytes)
{
    QStringList lines;
    for (const QString& line : QString::fromLocal8Bit(bytes).split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty())
            continue;
        lines << trimmed;
        if (lines.size() == kErrorLinesShown)
            break;
    }
    QString summary = lines.join(QStringLiteral(" | "));
    if (summary.size() > kErrorCharsShown)
        summary = summary.left(kErrorCharsShown - 3) + QStringLiteral("...");
    return summary;
}
} // namespace

SendmailMessage::SendmailMessage(QString sendmailProgram) : program_(std::move(sendmailProgram)) {}

void SendmailMessage::SetSender(const QString& address) { sender_ = address; }
void SendmailMessage::SetSubjectLine(const QString& subject) { subject_ = subject; }
void SendmailMessage::SetBodyText(const QString& body) { body_ = body; }
void SendmailMessage::AddRecipientTo(const QString& address) { to_.append(address); }
void SendmailMessage::AddRecipientCc(const QString& address) { cc_.append(address); }
void SendmailMessage::AddRecipientBcc(const QString& address) { bcc_.append(address); }

qint32 SendmailMessage::SubmitMessage()
{
    errorOutput_.clear();
    if (program_.isEmpty())
        return -1;
    MimeMessageBuilder builder;
    builder.setFrom(sender_, false);
    builder.setRecipients(RecipientKind::To, to_);
    builder.setRecipients(RecipientKind::Cc, cc_);
    builder.setRecipients(RecipientKind::Bcc, bcc_);
    builder.setSubject(subject_);
    builder.setBody(body_.toUtf8(), false);
    // The program would put the relay's own user in as the sender: a mail nobody can answer.
    const QString senderProblem = builder.senderProblem(false);
    if (!senderProblem.isEmpty()) {
        errorOutput_ = senderProblem;
        return kDataError;
    }

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
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program_, arguments);
    if (!process.waitForStarted(kStartTimeoutMs))
        return -1;
    process.write(message);
    process.closeWriteChannel();
    QByteArray errors;
    auto drain = [&] {
        const QByteArray chunk = process.readAllStandardError();
        if (errors.size() < kErrorBytesKept)
            errors += chunk.left(kErrorBytesKept - errors.size());
    };
    QDeadlineTimer deadline(kFinishTimeoutMs);
    // Read the error output as it comes, so that a program with much to say neither blocks on a
    // full pipe nor piles its words up in memory.
    process.setReadChannel(QProcess::StandardError);
    while (process.state() != QProcess::NotRunning) {
        if (!process.waitForReadyRead(kPollMs) && process.state() != QProcess::NotRunning)
            process.waitForFinished(kPollMs); // its error output is closed, or it is silent
        drain();
        if (deadline.hasExpired()) {
            process.kill();
            process.waitForFinished();
            errorOutput_ = ErrorSummary(errors);
            return kTemporaryFailure;
        }
    }
    drain();
    errorOutput_ = ErrorSummary(errors);
    if (process.exitStatus() != QProcess::NormalExit)
        return kTemporaryFailure;
    const int code = process.exitCode();
    return code == 0 ? 1 : code == 1 ? 0 : code;
}

} // namespace swn
