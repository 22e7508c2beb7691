// The two windows offscreen, as views of the relay's core: captions, controls and their groups,
// one wiring per mode, the status colours, the credentials dialog against real tracker files,
// and the relay process in window mode ending on SIGTERM with its settings saved.
#include "MailDocBuilder.h"
#include "MemoryTracker.h"
#include "SmtpSink.h"

#include "common/Catalogue.h"
#include "common/IniServices.h"
#include "delivery/CDOSend.h"
#include "netrelay/SocketArray.h"
#include "tracker/SqliteTracker.h"
#include "tracker/TrackerStore.h"
#include "tracker/UnavailableTracker.h"
#include "ui/Artwork.h"
#include "ui/Form1.h"
#include "ui/Form2.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

using namespace swn;
using namespace swn::test;

namespace {

const QString S = QStringLiteral("SwiftnoteRelay");
const char* const WindowKeys[] = {"RelayMode", "SMTPServer", "STMPRelayListenerPort", "TransportMode",
                                  "AutoStart", "POPollInterval", "MaxLogSize"};

struct Box {
    QString text, title;
    QMessageBox::Icon icon;
};

// The service and its window; members go in reverse, so the window goes first.
struct Window {
    std::unique_ptr<RelayService> relay;
    std::unique_ptr<Form1> form;
    Form1* operator->() const { return form.get(); }
};

// A tracker whose admin session cannot tell the user's name, as some installations' cannot.
class NoAdminNameTracker : public SqliteTrackerFactory {
public:
    using SqliteTrackerFactory::SqliteTrackerFactory;
    std::unique_ptr<BTAdminSession> CreateAdminSession() override
    {
        struct Admin : BTAdminSession {
            std::unique_ptr<BTAdminSession> inner;
            void AdminLogOn(const QString& l, const QString& p, const QString& s) override { inner->AdminLogOn(l, p, s); }
            QString AdminUserName() override { throw TrackerError(tracker_errors::NotSupported, QStringLiteral("no such member")); }
        };
        auto admin = std::make_unique<Admin>();
        admin->inner = SqliteTrackerFactory::CreateAdminSession();
        return admin;
    }
};

} // namespace

class Form1Test : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QList<Box> boxes;
    int n = 0;
    std::unique_ptr<tracker::TrackerStore> store;

    QString settingsPath(const QByteArray& content = {})
    {
        const QString path = dir.filePath(QStringLiteral("f%1.ini").arg(++n));
        if (!content.isNull()) {
            QFile f(path);
            f.open(QIODevice::WriteOnly);
            f.write(content);
        }
        return path;
    }
    Window open(const QString& path, std::shared_ptr<TrackerFactory> tracker = {}, std::optional<int> codePage = 65001)
    {
        RelayServiceOptions options;
        options.settingsFile = path;
        options.trackerFactory = tracker ? tracker : std::make_shared<UnavailableTrackerFactory>();
        Window w;
        w.relay = std::make_unique<RelayService>(options);
        Form1Options formOptions;
        formOptions.showMessage = [this](const QString& text, const QString& title, QMessageBox::Icon icon) {
            boxes.append({text, title, icon});
        };
        formOptions.quitOnExit = false;
        formOptions.codePage = codePage;
        boxes.clear();
        w.form = std::make_unique<Form1>(*w.relay, std::move(formOptions));
        w.form->Form_Load();
        return w;
    }
    QByteArray poSettings(const QString& db = QStringLiteral("SAMPL"), const QString& smtp = QStringLiteral("localhost:25"))
    {
        return QStringLiteral("[SwiftnoteRelay]\nRelayMode=POSTOFFICE\nTransportMode=CDO\nPOPollInterval=360\n"
                              "SMTPServer=%1\nBTLoginID=admin\nBTPassword=pw\nBTDB=%2\nBTDbset=Repo\n")
            .arg(smtp, db)
            .toUtf8();
    }

private Q_SLOTS:
    void initTestCase()
    {
        SetCatalogueLanguage(Language::English);
        SetSmtpTimeouts(5, 5);
        store = std::make_unique<tracker::TrackerStore>(dir.filePath(QStringLiteral("tracker")));
        store->createDatabaseSet(QStringLiteral("Repo"));
        for (const char* db : {"SAMPL", "NOPO", "GONE"})
            store->createDatabase(QStringLiteral("Repo"), QString::fromLatin1(db), false, {});
        store->addUser(QStringLiteral("Repo"), QStringLiteral("admin"), QStringLiteral("pw"), {"SAMPL", "NOPO", "GONE"});
        store->enablePostOffice(QStringLiteral("Repo"), QStringLiteral("SAMPL"));
    }

    void captionsInEveryLanguage()
    {
        struct Lang {
            Language language;
            QString networkMode, stopped, credentialsFrame;
        };
        const QList<Lang> languages{
            {Language::English, QStringLiteral("Network Relay Mode"), QStringLiteral("Stopped"), QStringLiteral("Post Office Credentials")},
            {Language::Japanese, QStringLiteral("ネットワーク中継モード"), QStringLiteral("停止中"), QStringLiteral("ポストオフィス認証情報")},
            {Language::SimplifiedChinese, QStringLiteral("网络中继模式"), QStringLiteral("已停止"), QStringLiteral("邮局凭据")},
        };
        for (const Lang& l : languages) {
            SetCatalogueLanguage(l.language);
            Window w = open(settingsPath());
            QCOMPARE(w->SMTPRelayMode->text(), l.networkMode);
            QCOMPARE(w->status->text(), l.stopped);
            QCOMPARE(w->PostofficeCredsFrame->title(), l.credentialsFrame);
            // Every caption is its message in the window's language.
            const std::pair<QWidget*, int> captions[] = {
                {w->SMTPHostLabel, 101}, {w->ListenerLabel, 102}, {w->MailTransportFrame, 103}, {w->StatsFrame, 104},
                {w->TotalCopiesLabel, 105}, {w->TotalRelaysLabel, 106}, {w->cmdStart, 107}, {w->cmdStop, 108},
                {w->BTMail, 109}, {w->CDOMail, 110}, {w->OperationModeFrame, 111}, {w->PostOfficeRelay, 112},
                {w->SMTPRelayMode, 113}, {w->BTIDLabel, 114}, {w->DBLabel, 115}, {w->DBSetLabel, 116},
                {w->EditCredentials, 117}, {w->ValidBTDB, 118}, {w->PollIntLabel, 119}, {w->Statuslabel, 120},
                {w->AutoStart, 121}, {w->MaxLogSizeLabel, 122}, {w->ExitButton, 123}, {w->CopyrightLabel, 153},
                {w->PostofficeCredsFrame, 154}};
            for (const auto& [widget, id] : captions) {
                QString shown;
                if (auto* label = qobject_cast<QLabel*>(widget))
                    shown = label->text();
                else if (auto* button = qobject_cast<QAbstractButton*>(widget))
                    shown = button->text();
                else if (auto* group = qobject_cast<QGroupBox*>(widget))
                    shown = group->title();
                QVERIFY2(!shown.isEmpty(), qPrintable(widget->objectName()));
                QCOMPARE(shown, LoadResourceString(id, l.language));
            }
            w->EditCredentials_Click();
            Form2* dialog = w->CredentialsDialog();
            QVERIFY(dialog);
            QCOMPARE(dialog->windowTitle(), LoadResourceString(145, l.language));
            QCOMPARE(dialog->OKButton->text(), LoadResourceString(150, l.language));
            QCOMPARE(dialog->CancelButton->text(), LoadResourceString(151, l.language));
        }
        SetCatalogueLanguage(Language::English);
    }

    void firstStartControlsAndLayout()
    {
        const QString path = dir.filePath(QStringLiteral("none.ini"));
        Window w = open(path);
        QCOMPARE(w->windowTitle(), QStringLiteral("Swiftnote Relay"));
        QVERIFY(w->SMTPRelayMode->isChecked() && !w->PostOfficeRelay->isChecked());
        QVERIFY(w->CDOMail->isChecked() && !w->BTMail->isChecked());
        QCOMPARE(w->ListenPort->text(), QStringLiteral("36001"));
        QCOMPARE(w->SMTPHost->text(), QStringLiteral("localhost:25"));
        QCOMPARE(w->AutoStart->checkState(), Qt::Unchecked);
        QCOMPARE(w->POPollInterval->text(), QStringLiteral("360"));
        QCOMPARE(w->MaxLogSize->text(), QStringLiteral("16"));
        QCOMPARE(w->TotalCopies->text(), QStringLiteral("0"));
        QCOMPARE(w->TotalRelays->text(), QStringLiteral("0"));
        QCOMPARE(w->AppVer->text(), QStringLiteral("V2.0"));
        QCOMPARE(w->AppVer->toolTip(), QStringLiteral("V2.0 Build 6"));
        QVERIFY(w->AppVer->font().bold());
        QTest::qWait(50); // the start-up timer fires and, without auto start, does nothing
        QVERIFY(!w->IsRunning());
        QVERIFY(w->LogText().isEmpty());
        QVERIFY(!QFile::exists(path));

        // Every control by its name, of its kind, in its group.
        const QList<QPair<const char*, const char*>> controls{
            {"SMTPHostLabel", "QLabel"}, {"SMTPHost", "QLineEdit"}, {"ListenerLabel", "QLabel"},
            {"ListenPort", "QLineEdit"}, {"MailTransportFrame", "QGroupBox"}, {"CDOMail", "QRadioButton"},
            {"BTMail", "QRadioButton"}, {"OperationModeFrame", "QGroupBox"}, {"PostOfficeRelay", "QRadioButton"},
            {"SMTPRelayMode", "QRadioButton"}, {"PostofficeCredsFrame", "QGroupBox"}, {"BTIDLabel", "QLabel"},
            {"DBLabel", "QLabel"}, {"DBSetLabel", "QLabel"}, {"BTID", "QLineEdit"}, {"DB", "QLineEdit"},
            {"DBSET", "QLineEdit"}, {"ValidBTDB", "QCheckBox"}, {"PollIntLabel", "QLabel"},
            {"POPollInterval", "QLineEdit"}, {"EditCredentials", "QPushButton"}, {"StatsFrame", "QGroupBox"},
            {"TotalRelaysLabel", "QLabel"}, {"TotalCopiesLabel", "QLabel"}, {"TotalRelays", "QLineEdit"},
            {"TotalCopies", "QLineEdit"}, {"Statuslabel", "QLabel"}, {"status", "QLineEdit"},
            {"cmdStart", "QPushButton"}, {"cmdStop", "QPushButton"}, {"ExitButton", "QPushButton"},
            {"AutoStart", "QCheckBox"}, {"MaxLogSizeLabel", "QLabel"}, {"MaxLogSize", "QLineEdit"},
            {"txtReceive", "QPlainTextEdit"}, {"AppVer", "QLabel"}, {"CopyrightLabel", "QLabel"},
            {"HeartBeat", "QWidget"}, {"Picture1", "QWidget"}, {"Picture2", "QWidget"},
            {"QueueFrame", "QGroupBox"}, {"QueueKept", "QLineEdit"}, {"QueueFailed", "QLineEdit"},
            {"QueueReason", "QLineEdit"}, {"QueueNext", "QLineEdit"}, {"QueueServer", "QLineEdit"},
            {"QueueButton", "QPushButton"}};
        for (const auto& [name, kind] : controls) {
            QWidget* control = w->findChild<QWidget*>(QString::fromLatin1(name));
            QVERIFY2(control, name);
            QVERIFY2(control->inherits(kind), name);
            QVERIFY2(control->isVisible(), name);
        }
        for (const char* name : {"CDOMail", "BTMail"})
            QCOMPARE(w->findChild<QWidget*>(name)->parentWidget(), w->MailTransportFrame);
        for (const char* name : {"PostOfficeRelay", "SMTPRelayMode"})
            QCOMPARE(w->findChild<QWidget*>(name)->parentWidget(), w->OperationModeFrame);
        for (const char* name : {"BTIDLabel", "DBLabel", "DBSetLabel", "BTID", "DB", "DBSET", "ValidBTDB",
                                 "PollIntLabel", "POPollInterval", "EditCredentials"})
            QCOMPARE(w->findChild<QWidget*>(name)->parentWidget(), w->PostofficeCredsFrame);
        for (const char* name : {"TotalRelaysLabel", "TotalCopiesLabel", "TotalRelays", "TotalCopies"})
            QCOMPARE(w->findChild<QWidget*>(name)->parentWidget(), w->StatsFrame);
        for (const char* name : {"BTID", "DB", "DBSET", "TotalRelays", "TotalCopies", "status"})
            QVERIFY2(w->findChild<QLineEdit*>(name)->isReadOnly(), name);
        QVERIFY(w->txtReceive->isReadOnly());
        // The timers as named objects.
        QCOMPARE(w->HeartBeatTimer()->objectName(), QStringLiteral("HeartBeatTimer"));
        QCOMPARE(w->Timer1()->objectName(), QStringLiteral("Timer1"));
        QCOMPARE(w->PostOfficePollInterval()->objectName(), QStringLiteral("PostOfficePollInterval"));

        w->ExitButton_Click();
        const IniServices ini(path);
        const QStringList expected{"NETWORK", "localhost:25", "36001", "CDO", "0", "360", "16"};
        for (int i = 0; i < 7; ++i)
            QCOMPARE(ini.ReadIniValue(S, QString::fromLatin1(WindowKeys[i]), QStringLiteral("?")), expected[i]);
        QCOMPARE(ini.ReadIniValue(S, QStringLiteral("BTLoginID"), QStringLiteral("absent")), QStringLiteral("absent"));
    }

    void editsReachTheSettings()
    {
        const QString path = settingsPath("[SwiftnoteRelay]\r\nRelayMode=network\r\nTransportMode=BTMAIL\r\n"
                                          "SMTPServer=\r\nSTMPRelayListenerPort=2525\r\nPOPollInterval=5\r\n"
                                          "MaxLogSize=64\r\nBTLoginID=admin\r\nBTDB=SAMPL\r\nBTDbset=Repo\r\n");
        Window w = open(path);
        QVERIFY(!w->SMTPRelayMode->isChecked() && !w->PostOfficeRelay->isChecked());
        QVERIFY(w->BTMail->isChecked());
        QCOMPARE(w->SMTPHost->text(), QString()); // present but empty: not the default
        QCOMPARE(w->BTID->text(), QStringLiteral("admin"));
        QCOMPARE(w->DB->text(), QStringLiteral("SAMPL"));
        QCOMPARE(w->DBSET->text(), QStringLiteral("Repo"));
        w->SMTPHost->setText(QStringLiteral("mail:26"));
        QCOMPARE(w.relay->settings.SMTPServer(), QStringLiteral("mail:26"));
        w->CDOMail->setChecked(true);
        QCOMPARE(w.relay->settings.TransportChoice(), Transport::Smtp);
        w->AutoStart->setChecked(true);
        QCOMPARE(w.relay->settings.AutoStart(), 1);
        w->close(); // closing the window saves as Exit does
        const IniServices ini(path);
        QCOMPARE(ini.ReadIniValue(S, QStringLiteral("RelayMode"), QStringLiteral("?")), QStringLiteral("network"));
        QCOMPARE(ini.ReadIniValue(S, QStringLiteral("TransportMode"), QStringLiteral("?")), QStringLiteral("CDO"));
        QCOMPARE(ini.ReadIniValue(S, QStringLiteral("SMTPServer"), QStringLiteral("?")), QStringLiteral("mail:26"));
        QCOMPARE(ini.ReadIniValue(S, QStringLiteral("AutoStart"), QStringLiteral("?")), QStringLiteral("1"));
    }

    void networkModeStartAndStatusColours()
    {
        const quint16 port = UnusedTcpPort();
        Window w = open(settingsPath("[SwiftnoteRelay]\nRelayMode=NETWORK\nSTMPRelayListenerPort=" + QByteArray::number(port) + "\n"));
        QCOMPARE(w->status->text(), QStringLiteral("Stopped"));
        QCOMPARE(w->status->palette().color(QPalette::Base), QColor(255, 0, 0));
        QVERIFY(w->status->font().bold());
        w->cmdStart->click();
        QVERIFY(w->IsRunning());
        QCOMPARE(w->status->text(), QStringLiteral("Running"));
        QCOMPARE(w->status->palette().color(QPalette::Base), QColor(0, 255, 0));
        QCOMPARE(w->status->palette().color(QPalette::Text), QColor(0, 0, 0));
        QVERIFY(w->status->font().bold());
        QCOMPARE(w->sock().State(0), int(SocketArray::Listening));
        QVERIFY(w->LogText().contains(QStringLiteral(" :: Listening on Port %1\r\n").arg(port)));
        w->FlushLogView();
        QVERIFY(w->txtReceive->toPlainText().contains(QStringLiteral("Listening on Port %1\n").arg(port)));
        w->cmdStop->click();
        QVERIFY(!w->IsRunning());
        QCOMPARE(w->status->text(), QStringLiteral("Stopped"));
        QCOMPARE(w->status->palette().color(QPalette::Base), QColor(255, 0, 0));

        // Auto start: listening shortly after start-up without the button.
        const quint16 autoPort = UnusedTcpPort();
        Window a = open(settingsPath("[SwiftnoteRelay]\nRelayMode=NETWORK\nAutoStart=1\nSTMPRelayListenerPort=" +
                                     QByteArray::number(autoPort) + "\n"));
        QVERIFY(QTest::qWaitFor([&] { return a->IsRunning(); }, 5000));
        QCOMPARE(a->status->palette().color(QPalette::Base), QColor(0, 255, 0));
        QVERIFY(a->LogText().contains(QStringLiteral(" :: Listening on Port %1\r\n").arg(autoPort)));
    }

    void postOfficeModeStartPolls()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        MailDocBuilder doc;
        doc.subject = QStringLiteral("polled from the window");
        tracker->state->add(QString::fromUtf8(doc.build()));
        Window w = open(settingsPath(poSettings(QStringLiteral("SAMPL"), sink.hostText())), tracker);
        QVERIFY(boxes.isEmpty());
        QVERIFY(w->PostOfficeRelay->isChecked());
        QVERIFY(w->ValidBTDB->isChecked());
        w->cmdStart->click();
        QVERIFY(sink.waitForCount(1));
        QVERIFY(QTest::qWaitFor([&] { return w->TotalRelays->text() == QLatin1String("1"); }, 10000));
        QVERIFY(w->LogText().contains(QStringLiteral("Checked Postoffice - found 1  Mails to forward.")));
        QVERIFY(QTest::qWaitFor([&] { return w->PostOfficePollInterval()->isActive(); }, 10000));
        // An edit of the interval arms the timer again from the new value.
        w->POPollInterval->setText(QStringLiteral("29"));
        QCOMPARE(w->PollCountdown(), qint16(29));
        w->cmdStop->click();
        QVERIFY(!w->PostOfficePollInterval()->isActive());
        QVERIFY(tracker->state->queued().isEmpty());

        // Without a tracker: the box says so and the check stays clear.
        Window none = open(settingsPath(poSettings()));
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes[0].text.startsWith(QStringLiteral("An Unknown error has occurred: ")));
        QVERIFY(!none->ValidBTDB->isChecked());
    }

    void heartbeatEchoAndLogBox()
    {
        Window w = open(settingsPath());
        QVERIFY(w->HeartBeatTimer()->isActive());
        QCOMPARE(w->HeartBeatTimer()->interval(), 1000);
        const QColor first = w->HeartBeat->FillColor();
        w->HeartBeatTimer_Timer();
        const QColor second = w->HeartBeat->FillColor();
        w->HeartBeatTimer_Timer();
        QCOMPARE(first, QColor(0, 128, 0));
        QCOMPARE(second, QColor(0, 255, 0));
        QCOMPARE(w->HeartBeat->FillColor(), first);

        QVERIFY(!w->EchoXML());
        QTest::mouseDClick(w->Picture1, Qt::LeftButton);
        QVERIFY(w->EchoXML());
        QTest::mouseDClick(w->Picture1, Qt::LeftButton);
        QVERIFY(!w->EchoXML());

        // Typing into the log changes nothing; the limit box is corrected by the log.
        w->AddLogText(QStringLiteral("first line"));
        QTRY_VERIFY(w->txtReceive->toPlainText().endsWith(QStringLiteral(" :: first line\n")));
        const QString shown = w->txtReceive->toPlainText();
        QTest::keyClicks(w->txtReceive, QStringLiteral("typed"));
        QCOMPARE(w->txtReceive->toPlainText(), shown);
        w->MaxLogSize->setText(QStringLiteral("abc"));
        w->AddLogText(QStringLiteral("second line"));
        QCOMPARE(w->MaxLogSize->text(), QStringLiteral("16"));
        w->FlushLogView();
        QCOMPARE(w->txtReceive->toPlainText(), QString(w->LogText()).remove(QLatin1Char('\r')));
        for (int i = 0; i < 40; ++i)
            w->AddLogText(QString(1000, QLatin1Char('a' + i % 26)));
        QTRY_COMPARE(w->txtReceive->toPlainText(), QString(w->LogText()).remove(QLatin1Char('\r')));
        QVERIFY(w->LogText().size() <= 16384);
    }

    void japaneseFaceOnShiftJisSystems()
    {
        Window plain = open(settingsPath(), {}, 65001);
        Window japanese = open(settingsPath(), {}, 932);
        const QString face = QString::fromUtf8("\xEF\xBC\xAD\xEF\xBC\xB3\x20\xEF\xBC\xB0\xE3\x82\xB4\xE3\x82\xB7\xE3\x83\x83\xE3\x82\xAF");
        QCOMPARE(face.size(), 8);
        QCOMPARE(japanese->SMTPHost->font().families().value(0), face);
        QCOMPARE(japanese->SMTPHost->font().pointSize(), 8);
        QVERIFY(japanese->Picture1->font().families().value(0) != face);
        QVERIFY(japanese->HeartBeat->font().families().value(0) != face);
        QVERIFY(plain->SMTPHost->font().families().value(0) != face);
    }

    void credentialsDialogFlows()
    {
        Window w = open(settingsPath(poSettings(QStringLiteral("NOPO"))), std::make_shared<SqliteTrackerFactory>(store->root()));
        QCOMPARE(boxes.size(), 1); // the login at start-up: not enabled
        QCOMPARE(boxes[0].text, QStringLiteral("The selected database doesn't appear to have been enabled for SWIFTNOTE !!"));
        w->EditCredentials->click();
        Form2* dialog = w->CredentialsDialog();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->BTLoginID->text(), QStringLiteral("admin"));
        QCOMPARE(dialog->BTPassword->text(), QStringLiteral("pw"));
        QCOMPARE(dialog->BTPassword->echoMode(), QLineEdit::Password);
        QCOMPARE(dialog->BTDBSet->currentText(), QStringLiteral("Repo"));
        QCOMPARE(dialog->BTDBSet->count(), 1);
        QCOMPARE(dialog->BTDatabase->currentText(), QStringLiteral("NOPO"));
        QCOMPARE(dialog->BTDatabase->count(), 0);
        for (const char* name : {"BTLoginID", "BTPassword", "BTDBSet", "BTDatabase", "BTCredentailsLabel", "LoginIDLabel",
                                 "PasswordLabel", "RepoLabel", "DBLabel", "OKButton", "CancelButton", "Picture3"})
            QVERIFY2(dialog->findChild<QWidget*>(QString::fromLatin1(name)), name);

        // Entering the database box looks the list up and selects its first entry.
        dialog->BTDatabase_GotFocus();
        QCOMPARE(dialog->BTDatabase->count(), 3);
        QCOMPARE(dialog->BTDatabase->currentText(), QStringLiteral("GONE"));
        dialog->BTPassword_LostFocus();
        QCOMPARE(dialog->BTDatabase->count(), 0);

        // Wrong password: a warning, and the list stays empty.
        boxes.clear();
        dialog->BTPassword->setText(QStringLiteral("nope"));
        dialog->LoadDatabaseList();
        QVERIFY(!boxes.isEmpty());
        QCOMPARE(boxes[0].text, QStringLiteral("The User ID 'admin' is invalid, or the password is incorrect"));
        QCOMPARE(boxes[0].title, QStringLiteral("Invalid User Credentials"));
        QCOMPARE(boxes[0].icon, QMessageBox::Warning);
        QCOMPARE(dialog->BTDatabase->count(), 0);

        // OK with credentials the login rejects: stored and shown, but the dialog stays.
        boxes.clear();
        dialog->OKButton->click();
        QVERIFY(dialog->isVisible());
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QStringLiteral("Bugtrellis User name and / or Password invalid for selected Database"));
        QCOMPARE(w.relay->settings.Read(setting::BTPassword), QStringLiteral("nope"));

        // Good ones: stored, shown, checked, and the dialog goes.
        dialog->BTPassword->setText(QStringLiteral("pw"));
        dialog->BTDatabase->setEditText(QStringLiteral("SAMPL"));
        boxes.clear();
        dialog->OKButton->click();
        QVERIFY(boxes.isEmpty());
        QVERIFY(!dialog->isVisible());
        QVERIFY(w->ValidBTDB->isChecked());
        QCOMPARE(w->DB->text(), QStringLiteral("SAMPL"));
        QCOMPARE(w.relay->settings.Read(setting::BTDB), QStringLiteral("SAMPL"));
        QCOMPARE(w.relay->settings.Read(setting::BTPassword), QStringLiteral("pw"));

        // Reopened after OK: the values last entered.
        w->EditCredentials_Click();
        QCOMPARE(w->CredentialsDialog(), dialog);
        QCOMPARE(dialog->BTDatabase->currentText(), QStringLiteral("SAMPL"));

        // Cancel after editing leaves the file as it was.
        dialog->BTLoginID->setText(QStringLiteral("someone else"));
        dialog->CancelButton->click();
        QCOMPARE(w.relay->settings.Read(setting::BTLoginID), QStringLiteral("admin"));
        QTRY_VERIFY(!w->CredentialsDialog()); // unloaded once its events have run
    }

    void dialogWhenTheAdminSessionCannotNameTheUser()
    {
        Window w = open(settingsPath(poSettings()), std::make_shared<NoAdminNameTracker>(store->root()));
        w->EditCredentials_Click();
        Form2* dialog = w->CredentialsDialog();
        boxes.clear();
        dialog->BTDatabase_GotFocus();
        QVERIFY(boxes.isEmpty()); // the login name stands in for the user name
        QCOMPARE(dialog->BTDatabase->count(), 3);
    }

    void dialogWithoutATracker()
    {
        Window w = open(settingsPath(poSettings()));
        w->EditCredentials_Click();
        Form2* dialog = w->CredentialsDialog();
        QVERIFY(dialog);
        QCOMPARE(dialog->BTDBSet->count(), 0);
        QCOMPARE(dialog->BTDBSet->currentText(), QStringLiteral("Repo"));
        dialog->LoadDatabaseList();
        QCOMPARE(dialog->BTDatabase->count(), 0);
    }

    void relayWindowEndsOnSigtermWithSettingsSaved()
    {
        const QString path = dir.filePath(QStringLiteral("sigterm.ini"));
        QProcess relay;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        relay.setProcessEnvironment(env);
        relay.start(QStringLiteral(SWN_RELAY_EXECUTABLE), {QStringLiteral("--settings"), path, QStringLiteral("--spool"),
                                                          dir.filePath(QStringLiteral("spool"))});
        QVERIFY(relay.waitForStarted());
        QTest::qWait(1500);
        QCOMPARE(relay.state(), QProcess::Running);
        ::kill(pid_t(relay.processId()), SIGTERM);
        QVERIFY(relay.waitForFinished(10000));
        QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
        QCOMPARE(relay.exitCode(), 0);
        const IniServices ini(path);
        for (const char* key : WindowKeys)
            QVERIFY2(ini.ReadIniValue(S, QString::fromLatin1(key), QStringLiteral("<missing>")) != QStringLiteral("<missing>"), key);
        QCOMPARE(ini.ReadIniValue(S, QStringLiteral("STMPRelayListenerPort"), QStringLiteral("?")), QStringLiteral("36001"));
        QCOMPARE(ini.ReadIniValue(S, QStringLiteral("BTPassword"), QStringLiteral("absent")), QStringLiteral("absent"));
    }
};

QTEST_MAIN(Form1Test)
#include "test_form1.moc"
