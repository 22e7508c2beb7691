// The mail document reader with attachment staging into a scratch folder, and the composer on what
// it read: whatever the input, no crash, no staged file left behind, every text valid UTF-8 (a
// reference XML does not allow reads as U+FFFD), and a composed mail that holds no CR or LF
// outside CRLF and no line over 998 octets.
#include "delivery/Delivery.h"
#include "delivery/HtmlText.h"
#include "delivery/MailDocument.h"
#include "delivery/MimeComposer.h"
#include "delivery/Staging.h"
#include "delivery/TextEncoding.h"

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

bool OnTheWireRules(const QByteArray& mail)
{
    qsizetype line = 0;
    for (qsizetype i = 0; i < mail.size(); ++i) {
        const char c = mail[i];
        if (c == '\r' && (i + 1 >= mail.size() || mail[i + 1] != '\n'))
            return false;
        if (c == '\n' && (i == 0 || mail[i - 1] != '\r'))
            return false;
        line = c == '\r' || c == '\n' ? 0 : line + 1;
        if (line > 998)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The staging folder goes inside a scratch folder of its own, which is checked after every input.
    static QByteArray scratch = QFile::encodeName(QDir::tempPath()) + "/swn-fuzz-XXXXXX";
    if (!::mkdtemp(scratch.data()))
        std::abort();
    ::setenv("TMPDIR", scratch.constData(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    // The first byte picks how the rest is taken: as bytes in their declared encoding, or as text.
    const swn::DocumentForm form = size > 0 && (data[0] & 1) ? swn::DocumentForm::Text : swn::DocumentForm::Bytes;
    swn::LoadedMailDocument doc = swn::LoadMailDocument(text, form);
    if (!doc.loaded()) {
        Check(!doc.failureReason.isEmpty());
        return 0;
    }
    try {
        swn::MailMsg mail;
        mail.FromAddr = swn::ReadElementText(doc.root, "from_addr");
        mail.Subject = swn::ReadElementText(doc.root, "Subject");
        mail.Body = swn::ReadElementTextUtf8(doc.root, "Body");
        // Nothing after a reference to U+0000 is lost, and nothing invalid is made of one.
        Check(swn::IsValidUtf8(mail.Body));
        Check(std::memchr(mail.Body.constData(), 0, size_t(mail.Body.size())) == nullptr);
        mail.IsHTML = swn::ReadIsHTML(doc.root);
        mail.ToAddrs = swn::ReadAddressList(doc.root, "ToList");
        mail.HeaderEntries = swn::ReadHeaderEntries(doc.root);
        mail.RecipientCount = swn::CountRecipients(mail);

        swn::MimeMessageBuilder builder;
        builder.setFrom(mail.FromAddr, true);
        builder.setRecipients(swn::RecipientKind::To, mail.ToAddrs);
        for (const QString& entry : mail.HeaderEntries) {
            const qsizetype split = entry.indexOf(QLatin1String("::"));
            builder.addHeader(entry.left(split), entry.mid(split + 2));
        }
        builder.setSubject(mail.Subject);
        builder.setBody(mail.Body, mail.IsHTML);
        Check(OnTheWireRules(builder.compose()->readAll()));
        if (mail.IsHTML) {
            QString html = QString::fromUtf8(mail.Body);
            swn::LinkInlineImages(html, {{QStringLiteral("a.png"), QStringLiteral("a@example.org")}});
        }
    } catch (const swn::DeliveryError&) {
    }
    try {
        const QString list = swn::StageDocumentAttachments(doc.root);
        for (const QString& entry : swn::SplitAttachmentList(list))
            if (entry.split(QLatin1String(swn::kNamePathSeparator)).size() != 2)
                std::abort(); // a name smuggled a separator into the list
        swn::DeleteStagedFiles(list);
    } catch (const swn::DeliveryError&) {
    }
    if (!QDir(swn::StagingFolder()).isEmpty())
        std::abort();
    return 0;
}
