// Draws the main window in each language and the credentials dialog into PNG files, for the
// README. Usage: screenshots OUTPUT_DIR
#include "common/Catalogue.h"
#include "ui/Form1.h"
#include "ui/Form2.h"
#include "tracker/UnavailableTracker.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
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
    return 0;
}
