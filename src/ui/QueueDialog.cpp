#include "ui/QueueDialog.h"

#include "ui/Named.h"
#include "common/Catalogue.h"
#include "delivery/MailDocument.h"
#include "relay/QueueControl.h"
#include "ui/Form1.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace swn {
QueueDialog::QueueDialog(Form1& main) : QWidget(&main, Qt::Window), main_(main)
{
    setObjectName(QStringLiteral("QueueDialog"));
    QueueList = Named<QTreeWidget>(this, "QueueList");
    QueueList->setRootIsDecorated(false);
    QueueList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    QueueList->setColumnCount(6);
    QueueList->setUniformRowHeights(true);
    QueueList->setSortingEnabled(false);
    RetryNowButton = Named<QPushButton>(this, "RetryNowButton");
    DeleteButton = Named<QPushButton>(this, "DeleteButton");
    RequeueButton = Named<QPushButton>(this, "RequeueButton");
    RefreshButton = Named<QPushButton>(this, "RefreshButton");
    CloseButton = Named<QPushButton>(this, "CloseButton");
    QueueReply = Named<QLabel>(this, "QueueReply");
    QueueReply->setWordWrap(true);
    QueueReply->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(RetryNowButton);
    buttons->addWidget(RequeueButton);
    buttons->addWidget(DeleteButton);
    buttons->addStretch();
    buttons->addWidget(RefreshButton);
    buttons->addWidget(CloseButton);
    auto* outer = new QVBoxLayout(this);
    outer->addWidget(QueueList, 1);
    outer->addWidget(QueueReply);
    outer->addLayout(buttons);
    resize(980, 340);

    connect(RetryNowButton, &QPushButton::clicked, this, [this] { RetryNow_Click(); });
    connect(DeleteButton, &QPushButton::clicked, this, [this] { Delete_Click(); });
    connect(RequeueButton, &QPushButton::clicked, this, [this] { Requeue_Click(); });
    connect(RefreshButton, &QPushButton::clicked, this, [this] { Refresh(); });
    connect(CloseButton, &QPushButton::clicked, this, [this] { hide(); });
    // A retry that ended changes what the list shows; a draining backlog ends many at once, so
    // they share one reading, and nothing is read while the dialog is hidden.
    refreshTimer_.setSingleShot(true);
    refreshTimer_.setInterval(250);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] {
        if (isVisible())
            Refresh();
    });
    const auto later = [this] {
        if (isVisible() && !refreshTimer_.isActive())
            refreshTimer_.start();
    };
    connect(&main_.Relay().network.Queue(), &RetryQueue::retryEnded, this, later);
    connect(&main_.Relay().postOffice, &PostOfficePoller::roundFinished, this, later);
}

void QueueDialog::Form_Load()
{
    Form1::ConvertCodePage(this, main_.CodePage());
    setWindowTitle(LoadResourceString(msg::QueueFrameCaption));
    QueueList->setHeaderLabels({LoadResourceString(msg::QueueIdColumn), LoadResourceString(msg::QueueStateColumn),
                                LoadResourceString(msg::QueueAgeColumn), LoadResourceString(msg::QueueSubjectColumn),
                                LoadResourceString(msg::QueueRecipientsColumn),
                                LoadResourceString(msg::QueueReasonColumn)});
    RetryNowButton->setText(LoadResourceString(msg::QueueRetryNowCaption));
    DeleteButton->setText(LoadResourceString(msg::QueueDeleteCaption));
    RequeueButton->setText(LoadResourceString(msg::QueueRequeueCaption));
    RefreshButton->setText(LoadResourceString(msg::QueueRefreshCaption));
    CloseButton->setText(LoadResourceString(msg::QueueCloseCaption));
    show();
    Refresh();
}

bool QueueDialog::postOfficeMode() const { return main_.Relay().settings.Mode() == RelayMode::PostOffice; }

void QueueDialog::Refresh()
{
    // The selection survives a refresh, by id.
    QSet<QString> keep;
    for (const Selected& s : selected())
        keep.insert(s.id);
    QueueList->clear();
    const bool postOffice = postOfficeMode();
    RetryNowButton->setVisible(!postOffice);
    if (postOffice)
        fillPostOffice();
    else
        fillNetwork();
    for (int i = 0; i < QueueList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = QueueList->topLevelItem(i);
        item->setSelected(keep.contains(item->text(IdColumn)));
    }
    for (int c = 0; c < QueueList->columnCount() - 1; ++c)
        QueueList->resizeColumnToContents(c);
}

QueueDialog::DocumentFacts QueueDialog::facts(const QString& id, bool failed)
{
    const QString key = (failed ? QStringLiteral("f/") : QStringLiteral("k/")) + id;
    const auto known = facts_.constFind(key);
    if (known != facts_.cend())
        return *known;
    DocumentFacts f;
    const Spool* spool = main_.SpoolView(-1);
    QString error;
    const QByteArray document = !spool ? QByteArray() : failed ? spool->readFailed(id, &error) : spool->read(id, &error);
    if (document.isNull()) {
        f.subject = BuildResourceMessage(msg::QueueUnreadable, {error});
    } else {
        try {
            LoadedMailDocument loaded = LoadMailDocument(document);
            if (!loaded.loaded()) {
                f.subject = BuildResourceMessage(msg::QueueUnreadable, {loaded.failureReason});
            } else {
                f.subject = ReadElementText(loaded.root, "Subject");
                // A list the document leaves out has no one to name.
                for (const char* list : {"ToList", "CCList", "BCCList"})
                    if (loaded.root.child(list))
                        f.recipients += ReadAddressList(loaded.root, list);
            }
        } catch (const std::exception& e) {
            f.subject = BuildResourceMessage(msg::QueueUnreadable, {QString::fromUtf8(e.what())});
        }
    }
    facts_.insert(key, f);
    return f;
}

void QueueDialog::fillNetwork()
{
    const Spool* spool = main_.SpoolView(0);
    if (!spool)
        return;
    const RetryQueue& queue = main_.Relay().network.Queue();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const Spool::Entry& e : spool->entries()) {
        const DocumentFacts f = facts(e.id, e.failed);
        // Those still waiting, or every recipient of the document.
        const QStringList recipients = !e.recipients.isEmpty() ? e.recipients : f.recipients;
        QString reason = e.failed ? e.reason : queue.LastReason(e.id);
        if (reason.isEmpty())
            reason = e.reason;
        auto* item = new QTreeWidgetItem(QueueList);
        item->setText(IdColumn, e.id);
        item->setText(StateColumn, LoadResourceString(e.failed ? msg::QueueStateFailed : msg::QueueStateKept));
        item->setData(StateColumn, Qt::UserRole, e.failed);
        item->setText(AgeColumn, e.received.isValid() ? RetryQueue::DurationText(e.received.msecsTo(now))
                                                      : QStringLiteral("?"));
        item->setText(SubjectColumn, EscapeControls(f.subject));
        item->setText(RecipientsColumn, recipients.isEmpty() ? LoadResourceString(msg::QueueAllRecipients)
                                                             : EscapeControls(recipients.join(QStringLiteral(", "))));
        item->setText(ReasonColumn, EscapeControls(reason));
        item->setToolTip(ReasonColumn, reason);
    }
}

void QueueDialog::fillPostOffice()
{
    PostOfficePoller& postOffice = main_.Relay().postOffice;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const PostOfficePoller::SetAsideRecord& r : postOffice.SetAsideRecords()) {
        auto* item = new QTreeWidgetItem(QueueList);
        item->setText(IdColumn, QString::number(r.key));
        item->setText(StateColumn, LoadResourceString(msg::QueueStateSetAside));
        item->setData(StateColumn, Qt::UserRole, true);
        item->setText(AgeColumn, r.setAsideAt.isValid() ? RetryQueue::DurationText(r.setAsideAt.msecsTo(now))
                                                        : QStringLiteral("?"));
        item->setText(SubjectColumn, EscapeControls(r.subject));
        item->setText(RecipientsColumn, EscapeControls(r.recipients.join(QStringLiteral(", "))));
        item->setText(ReasonColumn, EscapeControls(r.reason));
        item->setToolTip(ReasonColumn, r.reason);
    }
    // Listing them counted them: the window's group shows that number at once.
    main_.ShowQueueState();
}

QList<QueueDialog::Selected> QueueDialog::selected() const
{
    QList<Selected> list;
    for (int i = 0; i < QueueList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = QueueList->topLevelItem(i);
        if (item->isSelected())
            list.append({item->text(IdColumn), item->data(StateColumn, Qt::UserRole).toBool()});
    }
    return list;
}

void QueueDialog::showReplies(const QStringList& replies)
{
    QueueReply->setText(EscapeControls(replies.join(QStringLiteral("; "))));
    Refresh();
}

QString QueueDialog::steer(const QString& verb, const QString& id)
{
    RelayService& relay = main_.Relay();
    QString reply;
    if (postOfficeMode()) {
        PostOfficePoller& postOffice = relay.postOffice;
        if (verb == QLatin1String("requeue"))
            postOffice.RequeueSetAside(id.toLongLong(), &reply);
        else if (verb == QLatin1String("delete"))
            postOffice.DeleteSetAside(id.toLongLong(), &reply);
        return reply;
    }
    RetryQueue& queue = relay.network.Queue();
    if (queue.SpoolFolder()) {
        if (verb == QLatin1String("flush") && id.isEmpty())
            return queue.Flush();
        if (verb == QLatin1String("flush"))
            queue.Flush(id, &reply);
        else if (verb == QLatin1String("requeue"))
            queue.Requeue(id, &reply);
        else
            queue.Delete(id, &reply);
        return reply;
    }
    // Another relay works the spool: it is asked, as the command line asks it; when none
    // answers, the folder itself is worked as the command line works it.
    Spool* spool = main_.SpoolView(0);
    if (!spool)
        return LoadResourceString(msg::QueueNoSpool);
    const QString command = verb == QLatin1String("flush") ? verb : verb + QLatin1Char(' ') + id;
    if (SendQueueCommand(spool->controlSocketPath(), command, &reply) != ControlResult::NoRelay)
        return reply;
    if (verb == QLatin1String("requeue"))
        RetryQueue::RequeueInSpool(*spool, id, &reply);
    else if (verb == QLatin1String("delete"))
        RetryQueue::DeleteFromSpool(*spool, id, &reply);
    return reply;
}

void QueueDialog::RetryNow_Click()
{
    QStringList replies;
    const QList<Selected> chosen = selected();
    const bool byName = !chosen.isEmpty() && main_.Relay().network.Queue().SpoolFolder();
    if (!byName)
        replies << steer(QStringLiteral("flush"), QString());
    else
        for (const Selected& s : chosen)
            replies << steer(s.failed ? QStringLiteral("requeue") : QStringLiteral("flush"), s.id);
    showReplies(replies);
}

void QueueDialog::Requeue_Click()
{
    QStringList replies;
    for (const Selected& s : selected())
        if (s.failed)
            replies << steer(QStringLiteral("requeue"), s.id);
    showReplies(replies);
}

void QueueDialog::Delete_Click()
{
    const QList<Selected> chosen = selected();
    if (chosen.isEmpty())
        return;
    QStringList ids;
    for (const Selected& s : chosen)
        ids << s.id;
    QMessageBox question(QMessageBox::Question, windowTitle(),
                         BuildResourceMessage(msg::QueueDeleteQuestion, {ids.join(QStringLiteral(", "))}),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setObjectName(QStringLiteral("QueueDeleteQuestion"));
    question.setDefaultButton(QMessageBox::No);
    if (question.exec() != QMessageBox::Yes)
        return;
    QStringList replies;
    for (const Selected& s : chosen) {
        replies << steer(QStringLiteral("delete"), s.id);
        facts_.remove(QStringLiteral("k/") + s.id);
        facts_.remove(QStringLiteral("f/") + s.id);
    }
    showReplies(replies);
}

} // namespace swn
