// Post office relay mode on the main window: tracker login, the poll loop and record attachments.
#include "delivery/Delivery.h"
#include "delivery/Staging.h"
#include "common/Catalogue.h"
#include "ui/Form1.h"
#include "ui/Form2.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>

namespace swn {
namespace {

const QString PostOfficeType = QStringLiteral("SwiftnotePostOffice");

QString Credential(const IniServices& ini, const char* key)
{
    return ini.ReadIniValue(QString::fromLatin1(IniServices::Section), QString::fromLatin1(key), QString());
}

} // namespace

bool Form1::LoginBT()
{
    try {
        const QString login = Credential(ini_, "BTLoginID");
        const QString password = Credential(ini_, "BTPassword");
        const QString database = Credential(ini_, "BTDB");
        const QString databaseSet = Credential(ini_, "BTDbset");
        EnsureSession();
        btSession_->LogOn(login, password, database, 2, databaseSet);
        for (const QString& name : btSession_->RecordTypeNames()) {
            if (name.toLower() == PostOfficeType.toLower()) {
                ValidBTDB->setChecked(true);
                return true;
            }
        }
        ShowMessage(LoadResourceString(128));
        ValidBTDB->setChecked(false);
        return false;
    } catch (const TrackerError& e) {
        switch (e.number()) {
        case tracker_errors::NoSuchDatabase:
            ShowMessage(BuildResourceMessage(130, {Credential(ini_, "BTDB")}));
            break;
        case tracker_errors::DatabaseNotAccessible:
            ShowMessage(BuildResourceMessage(132, {Credential(ini_, "BTDB")}));
            break;
        case tracker_errors::BadCredentials:
            ShowMessage(BuildResourceMessage(129));
            break;
        default:
            ShowMessage(BuildResourceMessage(133, {e.number()}));
            break;
        }
    } catch (const std::exception&) {
        ShowMessage(BuildResourceMessage(133, {tracker_errors::StoreFailure}));
    }
    return false;
}

void Form1::SetPollTimer()
{
    bool ok = false;
    const int value = POPollInterval->text().trimmed().toInt(&ok);
    if (ok && value >= 0 && value <= 32767)
        pollInterval_ = qint16(value);
    else
        AddLogText(BuildResourceMessage(msg::InvalidPollInterval, {POPollInterval->text(), pollInterval_}));
    pollCountdown_ = pollInterval_;
    postOfficePollInterval_->setInterval(1000);
    if (IsRunning())
        postOfficePollInterval_->start();
    else
        postOfficePollInterval_->stop();
}

void Form1::POPollInterval_Change() { SetPollTimer(); }

void Form1::PostOfficeRelay_Click()
{
    LoginBT();
    SetPollTimer();
    if (IsRunning())
        postOfficePollInterval_->start();
    else
        postOfficePollInterval_->stop();
}

void Form1::PostOfficePollInterval_Timer()
{
    --pollCountdown_;
    if (pollCountdown_ > 0)
        return;
    postOfficePollInterval_->stop();
    if (!ValidBTDB->isChecked() || !PostOfficeRelay->isChecked())
        return;

    try {
        EnsureSession();
        std::unique_ptr<BTQuery> query = btSession_->NewQuery(PostOfficeType);
        if (btSession_->IsReplicated()) {
            const QString site = btSession_->LocalSiteName();
            query->AddFilterGroup(1).AddCondition(QStringLiteral("tavo_mastership"), 1, site);
        }
        query->AddColumn(QStringLiteral("dbid"));
        std::unique_ptr<BTResultSet> rows = btSession_->OpenResultSet(*query);
        rows->RequestRowCount();
        rows->Run();
        AddLogText(BuildResourceMessage(137, {QString::number(qint32(rows->RowCount()))}));
        while (pollOneRecord(*rows)) {
        }
    } catch (const std::exception& e) {
        AddLogText(BuildResourceMessage(msg::PollFailed, {QString::fromUtf8(e.what())}));
    }
    SetPollTimer();
}

// Delivers the next row's record; false when the poll should end here. A record whose delivery
// fails stays queued and the rows after it still go; when the server could not take a mail yet,
// that record and the rest wait for the next poll.
bool Form1::pollOneRecord(BTResultSet& rows)
{
    if (rows.NextRow() != 1)
        return false;
    const QVariant key = rows.CellValue(1);
    const QString dbid = key.toString();
    QString attachments;
    try {
        std::unique_ptr<BTRecord> record = btSession_->RecordByKey(PostOfficeType, qint32(key.toInt()));
        const QByteArray payload = record->FieldObject(QStringLiteral("Payload"))->getValue().toUtf8();
        if (CDOMail->isChecked())
            attachments = SWN_ProcessTemplateAttachments(record->AttachmentFieldSet().Item(QStringLiteral("Attachments")));
        if (echoXML_) {
            AddLogText(QString::fromUtf8(payload));
            SaveXML(payload);
        }
        const DeliveryOutcome outcome = BTMail->isChecked() ? DeliverXMLMailMsgViaZorvix(*this, payload)
                                                            : DeliverXMLMailMsgViaCDO(*this, payload, attachments);
        attachments.clear(); // the transport removed the files, whatever the outcome
        if (IsTemporary(outcome)) {
            // The records after it would meet the same outage, each waiting out its own
            // time-out; they all stay queued, in order, for the next poll.
            AddLogText(BuildResourceMessage(msg::RecordKeptForRetry, {dbid}));
            return false;
        }
        btSession_->DeleteRecord(*record, QStringLiteral("Delete"));
    } catch (const DeliveryError& e) {
        DeleteStagedFiles(attachments);
        AddLogText(BuildResourceMessage(msg::RecordStaysQueued, {dbid, e.text()}));
    } catch (const std::exception& e) {
        DeleteStagedFiles(attachments);
        AddLogText(BuildResourceMessage(msg::RecordStaysQueued, {dbid, QString::fromUtf8(e.what())}));
    }
    return true;
}

QString Form1::SWN_ProcessTemplateAttachments(BTAttachmentField& field)
{
    QString list;
    if (field.AttachmentItems()->Count() <= 0)
        return list;
    std::unique_ptr<BTAttachmentItems> items = field.AttachmentItems();
    try {
        const int count = items->Count();
        for (int i = 0; i < count; ++i) {
            BTAttachment& attachment = items->Item(i);
            const QString path = NewStagedFilePath();
            QString entry;
            try {
                attachment.Load(path);
                entry = StagedDisplayName(attachment.Description()) + QStringLiteral("||") + path;
            } catch (...) {
                QFile::remove(path);
                throw;
            }
            if (!list.isEmpty())
                list += QStringLiteral(":##:");
            list += entry;
        }
    } catch (...) {
        DeleteStagedFiles(list);
        throw;
    }
    return list;
}

void Form1::EditCredentials_Click()
{
    if (!form2_) {
        form2_ = new Form2(*this);
        form2_->Form_Load();
    } else {
        form2_->show();
        form2_->raise();
    }
}

} // namespace swn
