#pragma once
// The Queue dialog: the kept and failed documents of network relay mode, or the records the post
// office set aside, with the administrator's verbs on them. It works through the same operations
// as the command line's verbs; it keeps no rule of its own.
#include <QHash>
#include <QStringList>
#include <QTimer>
#include <QWidget>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace swn {

class Form1;

class QueueDialog : public QWidget {
    Q_OBJECT
public:
    explicit QueueDialog(Form1& main);

    // Captions, the list, then the dialog is shown.
    void Form_Load();
    // Reads the list again.
    void Refresh();
    // The verbs on the selected entries; Retry now without a selection tries every kept one.
    void RetryNow_Click();
    void Delete_Click();
    void Requeue_Click();

    // Columns of QueueList.
    enum Column { IdColumn, StateColumn, AgeColumn, SubjectColumn, RecipientsColumn, ReasonColumn };

    QTreeWidget* QueueList = nullptr;
    QPushButton* RetryNowButton = nullptr;
    QPushButton* DeleteButton = nullptr;
    QPushButton* RequeueButton = nullptr;
    QPushButton* RefreshButton = nullptr;
    QPushButton* CloseButton = nullptr;
    QLabel* QueueReply = nullptr; // what the last verb said

private:
    struct Selected {
        QString id;
        bool failed = false;
    };
    struct DocumentFacts {
        QString subject;
        QStringList recipients;
    };
    bool postOfficeMode() const;
    QList<Selected> selected() const;
    void fillNetwork();
    void fillPostOffice();
    void showReplies(const QStringList& replies);
    // One verb ("flush", "requeue", "delete"; flush without an id: every kept document) on the
    // queue that works the spool, or on the records set aside; the reply for the asker.
    QString steer(const QString& verb, const QString& id);
    // What the document itself says; read once per id while the dialog lives.
    DocumentFacts facts(const QString& id, bool failed);

    Form1& main_;
    QHash<QString, DocumentFacts> facts_;
    QTimer refreshTimer_;
};

} // namespace swn
