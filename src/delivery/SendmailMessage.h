#pragma once
// One plain-text mail handed to the system's sendmail program: what the mail-component transport
// delivers through.
#include <QString>
#include <QStringList>

namespace swn {

class SendmailMessage {
public:
    // `sendmailProgram` is run directly (never through a shell) as
    //   PROGRAM -i [-f SENDER] -- RECIPIENT...
    // with the message on its standard input.
    explicit SendmailMessage(QString sendmailProgram);

    void SetSender(const QString& address);
    void SetSubjectLine(const QString& subject);
    void SetBodyText(const QString& body);
    void AddRecipientTo(const QString& address);
    void AddRecipientCc(const QString& address);
    void AddRecipientBcc(const QString& address);

    // 1 when the program took the mail (exit status 0). Otherwise its exit status, with 1 reported
    // as 0 so that it cannot read as success; 75 (temporary failure) when it crashed or did not
    // finish in time; -1 when it could not be started; 65 (data error) without running it when
    // the sender is empty or not an address.
    qint32 SubmitMessage();
    // The first lines of what the program wrote to its error output (at most 5 lines and 1000
    // characters, joined by " | "), or why the mail was not handed to it; empty when neither.
    QString ErrorOutput() const { return errorOutput_; }

    // Statuses worth submitting again later.
    static bool IsTemporaryFailure(qint32 status) { return status == 75 || status == -1; }

private:
    QString program_;
    QString sender_;
    QString subject_;
    QString body_;
    QStringList to_, cc_, bcc_;
    QString errorOutput_;
};

} // namespace swn
