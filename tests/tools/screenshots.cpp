// Draws the main window in each language, the credentials dialog, and the window with a queue and
// its Queue dialog into PNG files, for the README. Usage: screenshots OUTPUT_DIR
#include "common/Catalogue.h"
#include "ui/Form1.h"
#include "ui/Form2.h"
#include "ui/QueueDialog.h"
#include "tracker/UnavailableTracker.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTreeWidget>
#include <QTemporaryDir>
#include <QTimer>

using namespace swn;

namespace {

std::unique_ptr<Form1> Window(RelayService& relay)
{
    Form1Options options;
    options.showMessage = [](const QString&, const QString&, QMessageBox::Icon) {};
    options.quitOnExit = false;
    options.codePage = 65001;
    auto form = std::make_unique<Form1>(relay, std::move(options));
    form->Form_Load();
    return form;
}

void Settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

// A mail server that is away: every document is kept, and the queue believes the server gone.
class AwayServer : public MailTransport {
protected:
    DeliveryOutcome send(DeliveryContext&, const DeliveryRequest&, DeliveryReport* report) const override
    {
        report->reason = QStringLiteral("421 4.3.2 Service not available, closing transmission channel");
        return DeliveryOutcome::ServerUnavailable;
    }
};

QByteArray Document(const QString& subject, const QStringList& to)
{
    QString list;
    for (const QString& address : to)
        list += QStringLiteral("<To>%1</To>").arg(address);
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<BT_mail_Msg><BTInstigator>jsmith</BTInstigator>"
                          "<from_addr>tracker@example.org</from_addr><ToList>%1</ToList><CCList/><BCCList/><Subject>%2</Subject>"
                          "<Body>See the tracker.</Body></BT_mail_Msg>\r\n")
        .arg(list, subject)
        .toUtf8();
}

// The window with documents waiting for an absent server and one that failed, and the dialog.
void DrawQueue(const QString& out, const QString& scratch)
{
    SetCatalogueLanguage(Language::English);
    RelayServiceOptions options;
    options.settingsFile = scratch + QStringLiteral("/queue.ini");
    options.spoolDir = scratch + QStringLiteral("/spool");
    options.trackerFactory = std::make_shared<UnavailableTrackerFactory>();
    RelayService relay(options);
    RetryQueue& queue = relay.network.Queue();
    queue.SetTransport(std::make_shared<AwayServer>());
    auto form = Window(relay);
    form->ListenPort->setText(QStringLiteral("36001"));
    form->SMTPHost->setText(QStringLiteral("mail.example.org:25"));
    form->SetRunning();
    form->AddLogText(BuildResourceMessage(144, {36001}));
    if (Spool* spool = relay.network.SpoolFolder()) {
        QString error;
        spool->keepFailed(Document(QStringLiteral("Defect 17 closed"), {QStringLiteral("old.address@example.org")}),
                          QStringLiteral("550 5.1.1 <old.address@example.org>: Recipient address rejected"), &error);
    }
    const struct {
        const char* subject;
        QStringList to;
    } documents[] = {{"Defect 42 changed", {QStringLiteral("alice@example.org"), QStringLiteral("bob@example.org")}},
                     {"Defect 43 assigned to you", {QStringLiteral("carol@example.org")}},
                     {"Weekly defect summary", {QStringLiteral("team@example.org")}}};
    for (const auto& d : documents) {
        bool answered = false;
        queue.Submit(Document(QString::fromLatin1(d.subject), d.to), QStringLiteral("192.0.2.10"),
                     [&answered](bool) { answered = true; });
        while (!answered)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    form->ShowQueueState();
    form->FlushLogView();
    Settle();
    form->grab().save(out + QStringLiteral("/main-window-queue.png"));
    form->QueueButton_Click();
    Settle();
    if (QueueDialog* dialog = form->QueueView()) {
        dialog->QueueList->topLevelItem(0)->setSelected(true);
        Settle();
        dialog->grab().save(out + QStringLiteral("/queue-dialog.png"));
    }
    relay.core.Shutdown();
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    QDir().mkpath(out);
    QTemporaryDir scratch;
    const QString settings = scratch.filePath(QStringLiteral("relay.ini"));
    const struct {
        Language language;
        const char* suffix;
    } languages[] = {{Language::English, "en"}, {Language::Japanese, "ja"}, {Language::SimplifiedChinese, "zh"}};
    for (const auto& [language, suffix] : languages) {
        SetCatalogueLanguage(language);
        RelayServiceOptions options;
        options.settingsFile = settings;
        options.trackerFactory = std::make_shared<UnavailableTrackerFactory>();
        RelayService relay(options);
        auto form = Window(relay);
        form->ListenPort->setText(QStringLiteral("36001"));
        form->SMTPHost->setText(QStringLiteral("mail.example.org:25"));
        form->SetRunning();
        form->AddLogText(BuildResourceMessage(144, {36001}));
        form->AddLogText(BuildResourceMessage(139, {QStringLiteral("192.0.2.10"), QStringLiteral("2.41")}));
        form->AddLogText(BuildResourceMessage(135, {QStringLiteral("jsmith"), 3}));
        form->AddLogText(BuildResourceMessage(139, {QStringLiteral("192.0.2.11"), QStringLiteral("35.07")}));
        form->AddLogText(BuildResourceMessage(135, {QStringLiteral("build-bot"), 2}));
        relay.core.AdvanceCounters(5, 2);
        relay.core.ShowCounters();
        form->FlushLogView();
        Settle();
        form->grab().save(QStringLiteral("%1/main-window-%2.png").arg(out, QLatin1String(suffix)));
        if (language == Language::English) {
            form->grab().save(out + QStringLiteral("/main-window.png"));
            form->EditCredentials_Click();
            Settle();
            if (Form2* dialog = form->CredentialsDialog()) {
                dialog->BTLoginID->setText(QStringLiteral("relay"));
                Settle();
                dialog->grab().save(out + QStringLiteral("/credentials-dialog.png"));
            }
        }
        form.reset();
        QFile::remove(settings);
    }
    DrawQueue(out, scratch.path());
    return 0;
}
