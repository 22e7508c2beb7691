// The mail document reader with attachment staging into a scratch folder: whatever the input,
// no crash, and no staged file left behind.
#include "delivery/Delivery.h"
#include "delivery/MailDocument.h"
#include "delivery/Staging.h"

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

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
    swn::LoadedMailDocument doc = swn::LoadMailDocument(text);
    if (!doc.loaded()) {
        if (doc.failureReason.isEmpty())
            std::abort();
        return 0;
    }
    try {
        swn::MailMsg mail;
        mail.Subject = swn::ReadElementText(doc.root, "Subject");
        mail.Body = swn::ReadElementTextUtf8(doc.root, "Body");
        mail.IsHTML = swn::ReadIsHTML(doc.root);
        mail.ToAddrs = swn::ReadAddressList(doc.root, "ToList");
        mail.HeaderEntries = swn::ReadHeaderEntries(doc.root);
        mail.RecipientCount = swn::CountRecipients(mail);
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
