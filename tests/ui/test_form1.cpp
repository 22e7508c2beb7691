// The main window offscreen: start-up from a settings file, run state, exit, and the relay
// process ending on SIGTERM with its settings saved.
#include "ui/Artwork.h"
#include "common/Catalogue.h"
#include "ui/Form1.h"
#include "common/IniServices.h"
#include "tracker/UnavailableTracker.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

using namespace swn;

namespace {
const QString S = QStringLiteral("SwiftnoteRelay");
const char* const WindowKeys[] = {"RelayMode", "SMTPServer", "STMPRelayListenerPort", "TransportMode",
                                  "AutoStart", "POPollInterval", "MaxLogSize"};
} // namespace

class Form1Test : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QStringList boxes;
    int n = 0;

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
    std::unique_ptr<Form1> open(const QString& path, std::optional<int> codePage = std::nullopt)
    {
        Form1Options options;
        options.settingsFile = path;
        options.trackerFactory = std::make_shared<UnavailableTrackerFactory>();
        options.showMessage = [this](const QString& text, const QString&, QMessageBox::Icon) { boxes << text; };
        options.quitOnExit = false;
        options.codePage = codePage;
        auto form = std::make_unique<Form1>(std::move(options));
        form->Form_Load();
        return form;
    }

private Q_SLOTS:
    void initTestCase() { SetCatalogueLanguage(Language::English); }

    void firstStartWithoutSettings()
    {
        const QString path = dir.filePath(QStringLiteral("none.ini"));
        auto form = open(path);
        QVERIFY(form->SMTPRelayMode->isChecked());
        QVERIFY(!form->PostOfficeRelay->isChecked());
        QVERIFY(form->CDOMail->isChecked());
        QCOMPARE(form->ListenPort->text(), QStringLiteral("36001"));
        QCOMPARE(form->SMTPHost->text(), QStringLiteral("localhost:25"));
        QCOMPARE(form->AutoStart->checkState(), Qt::Unchecked);
        QCOMPARE(form->POPollInterval->text(), QStringLiteral("360"));
        QCOMPARE(form->MaxLogSize->text(), QStringLiteral("16"));
        QVERIFY(form->BTID->text().isEmpty() && form->DB->text().isEmpty() && form->DBSET->text().isEmpty());
        QCOMPARE(form->status->text(), QStringLiteral("Stopped"));
        QCOMPARE(form->status->palette().color(QPalette::Base), QColor(255, 0, 0));
        QVERIFY(form->status->font().bold());
        QCOMPARE(form->TotalCopies->text(), QStringLiteral("0"));
        QCOMPARE(form->TotalRelays->text(), QStringLiteral("0"));
        QCOMPARE(form->AppVer->text(), QStringLiteral("V2.0"));
        QCOMPARE(form->AppVer->toolTip(), QStringLiteral("V2.0 Build 6"));
        QTest::qWait(50); // the start-up timer fires and, without auto start, does nothing
        QVERIFY(!form->IsRunning());
        QVERIFY(form->LogText().isEmpty());
        QVERIFY(!QFile::exists(path));

        // Every control is found by its name, inside its group.
        for (const char* name : {"SMTPHost", "ListenPort", "status", "cmdStart", "cmdStop", "ExitButton", "AutoStart",
                                 "MaxLogSize", "txtReceive", "AppVer", "CopyrightLabel", "HeartBeat", "Picture1",
                                 "Picture2", "TotalRelays", "TotalCopies", "Statuslabel"})
            QVERIFY2(form->findChild<QWidget*>(QString::fromLatin1(name)), name);
        for (const char* name : {"CDOMail", "BTMail"})
            QCOMPARE(form->findChild<QWidget*>(name)->parentWidget(), form->MailTransportFrame);
        for (const char* name : {"BTID", "DB", "DBSET", "ValidBTDB", "POPollInterval", "EditCredentials", "PollIntLabel"})
            QCOMPARE(form->findChild<QWidget*>(name)->parentWidget(), form->PostofficeCredsFrame);
        QCOMPARE(form->MailTransportFrame->title(), QStringLiteral("Mail Transport"));

        form->ExitButton_Click();
        const IniServices ini(path);
        QCOMPARE(ini.ReadIniValue(S, "RelayMode", "?"), QStringLiteral("NETWORK"));
        QCOMPARE(ini.ReadIniValue(S, "SMTPServer", "?"), QStringLiteral("localhost:25"));
        QCOMPARE(ini.ReadIniValue(S, "STMPRelayListenerPort", "?"), QStringLiteral("36001"));
        QCOMPARE(ini.ReadIniValue(S, "TransportMode", "?"), QStringLiteral("CDO"));
        QCOMPARE(ini.ReadIniValue(S, "AutoStart", "?"), QStringLiteral("0"));
        QCOMPARE(ini.ReadIniValue(S, "POPollInterval", "?"), QStringLiteral("360"));
        QCOMPARE(ini.ReadIniValue(S, "MaxLogSize", "?"), QStringLiteral("16"));
        QCOMPARE(ini.ReadIniValue(S, "BTLoginID", "absent"), QStringLiteral("absent"));
    }

    void settingsMapToControls()
    {
        const QString path = settingsPath("[SwiftnoteRelay]\r\nRelayMode=network\r\nTransportMode=BTMAIL\r\n"
                                          "SMTPServer=\r\nSTMPRelayListenerPort=2525\r\nPOPollInterval=5\r\n"
                                          "MaxLogSize=64\r\nBTLoginID=admin\r\nBTDB=SAMPL\r\nBTDbset=Repo\r\n"
                                          "BTPassword=secret\r\n");
        auto form = open(path);
        QVERIFY(!form->SMTPRelayMode->isChecked() && !form->PostOfficeRelay->isChecked());
        QVERIFY(form->BTMail->isChecked() && !form->CDOMail->isChecked());
        QCOMPARE(form->SMTPHost->text(), QString()); // present but empty: not the default
        QCOMPARE(form->ListenPort->text(), QStringLiteral("2525"));
        QCOMPARE(form->POPollInterval->text(), QStringLiteral("5"));
        QCOMPARE(form->MaxLogSize->text(), QStringLiteral("64"));
        QCOMPARE(form->BTID->text(), QStringLiteral("admin"));
        QCOMPARE(form->DB->text(), QStringLiteral("SAMPL"));
        QCOMPARE(form->DBSET->text(), QStringLiteral("Repo"));

        // No mode selected: Start takes the post office road, which polls nothing without a login.
        form->cmdStart_Click();
        QVERIFY(form->IsRunning());
        QVERIFY(!form->LogText().contains(QStringLiteral("Listening on Port")));
        form->SMTPHost->setText(QStringLiteral("mail:26"));
        form->close(); // closing the window saves as Exit does
        const IniServices ini(path);
        QCOMPARE(ini.ReadIniValue(S, "RelayMode", "?"), QStringLiteral("network")); // untouched
        QCOMPARE(ini.ReadIniValue(S, "TransportMode", "?"), QStringLiteral("BTMAIL"));
        QCOMPARE(ini.ReadIniValue(S, "SMTPServer", "?"), QStringLiteral("mail:26"));
        QCOMPARE(ini.ReadIniValue(S, "BTPassword", "?"), QStringLiteral("secret"));
    }

    void runStateSwitching()
    {
        auto form = open(settingsPath("[SwiftnoteRelay]\nRelayMode=POSTOFFICE\nPOPollInterval=30\n"));
        QVERIFY(form->PostOfficeRelay->isChecked());
        QVERIFY(!form->ValidBTDB->isChecked()); // no tracker: the login failed, with a box
        QVERIFY(!boxes.isEmpty());
        // Start polls at once; without a valid login that due tick leaves the timer off.
        form->cmdStart_Click();
        QVERIFY(form->IsRunning());
        QCOMPARE(form->status->text(), QStringLiteral("Running"));
        QCOMPARE(form->status->palette().color(QPalette::Base), QColor(0, 255, 0));
        QVERIFY(!form->PostOfficePollInterval()->isActive());
        // An edit of the interval arms it again, ticking once a second.
        form->POPollInterval->setText(QStringLiteral("29"));
        QVERIFY(form->PostOfficePollInterval()->isActive());
        QCOMPARE(form->PostOfficePollInterval()->interval(), 1000);
        form->cmdStop_Click();
        QVERIFY(!form->IsRunning());
        QCOMPARE(form->status->palette().color(QPalette::Base), QColor(255, 0, 0));
        QVERIFY(!form->PostOfficePollInterval()->isActive());
        form->cmdStop_Click();
        QVERIFY(!form->IsRunning());

        // A poll interval that is no number keeps the previous one, and says so.
        form->POPollInterval->setText(QStringLiteral("soon"));
        QVERIFY(form->LogText().contains(QStringLiteral("soon")));
        QCOMPARE(form->PollCountdown(), qint16(29));
        form->POPollInterval->setText(QStringLiteral("7"));
        QCOMPARE(form->PollCountdown(), qint16(7));
    }

    void heartbeatEchoAndLog()
    {
        auto form = open(settingsPath());
        QVERIFY(form->HeartBeatTimer()->isActive());
        QCOMPARE(form->HeartBeatTimer()->interval(), 1000);
        const QColor first = form->HeartBeat->FillColor();
        form->HeartBeatTimer_Timer();
        const QColor second = form->HeartBeat->FillColor();
        form->HeartBeatTimer_Timer();
        QCOMPARE(first, QColor(0, 128, 0));
        QCOMPARE(second, QColor(0, 255, 0));
        QCOMPARE(form->HeartBeat->FillColor(), first);

        QVERIFY(!form->EchoXML());
        form->Picture1_DblClick();
        QVERIFY(form->EchoXML());
        form->Picture1_DblClick();
        QVERIFY(!form->EchoXML());

        // Typing into the log changes nothing; the limit box is corrected by the log.
        form->AddLogText(QStringLiteral("first line"));
        QTRY_VERIFY(form->txtReceive->toPlainText().endsWith(QStringLiteral(" :: first line\n")));
        const QString shown = form->txtReceive->toPlainText();
        QTest::keyClicks(form->txtReceive, QStringLiteral("typed"));
        QCOMPARE(form->txtReceive->toPlainText(), shown);
        form->MaxLogSize->setText(QStringLiteral("abc"));
        form->AddLogText(QStringLiteral("second line"));
        QCOMPARE(form->MaxLogSize->text(), QStringLiteral("16"));
        QVERIFY(form->LogText().endsWith(QStringLiteral(" :: second line\r\n")));
        form->FlushLogView();
        QCOMPARE(form->txtReceive->toPlainText(), QString(form->LogText()).remove(QLatin1Char('\r')));
        // After a cut the box shows the kept tail, nothing more.
        form->MaxLogSize->setText(QStringLiteral("16"));
        for (int i = 0; i < 40; ++i)
            form->AddLogText(QString(1000, QLatin1Char('a' + i % 26)));
        QTRY_COMPARE(form->txtReceive->toPlainText(), QString(form->LogText()).remove(QLatin1Char('\r')));
        QVERIFY(form->LogText().size() <= 16384);
    }

    void japaneseFaceOnShiftJisSystems()
    {
        auto plain = open(settingsPath(), 65001);
        const QFont designed = plain->SMTPHost->font();
        auto japanese = open(settingsPath(), 932);
        const QString face = QString::fromUtf8("\xEF\xBC\xAD\xEF\xBC\xB3\x20\xEF\xBC\xB0\xE3\x82\xB4\xE3\x82\xB7\xE3\x83\x83\xE3\x82\xAF");
        QCOMPARE(face.size(), 8);
        QCOMPARE(japanese->SMTPHost->font().families().value(0), face);
        QCOMPARE(japanese->SMTPHost->font().pointSize(), 8);
        QCOMPARE(japanese->txtReceive->font().families().value(0), face);
        QVERIFY(japanese->Picture1->font().families().value(0) != face);
        QVERIFY(japanese->HeartBeat->font().families().value(0) != face);
        QCOMPARE(plain->SMTPHost->font(), designed);
        QVERIFY(plain->SMTPHost->font().families().value(0) != face);
    }

    void relayEndsOnSigtermWithSettingsSaved()
    {
        const QString path = dir.filePath(QStringLiteral("sigterm.ini"));
        QProcess relay;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        relay.setProcessEnvironment(env);
        relay.start(QStringLiteral(SWN_RELAY_EXECUTABLE), {QStringLiteral("--settings"), path});
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
        QCOMPARE(ini.ReadIniValue(S, "STMPRelayListenerPort", "?"), QStringLiteral("36001"));
        QCOMPARE(ini.ReadIniValue(S, "BTPassword", "absent"), QStringLiteral("absent"));
    }
};

QTEST_MAIN(Form1Test)
#include "test_form1.moc"
