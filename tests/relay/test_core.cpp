// The relay's core without a window: its settings through the real file, the counters at their
// limit, and the SWNRelay binary running headless with no display at all.
#include "MailDocBuilder.h"
#include "PyMailReader.h"
#include "SmtpSink.h"
#include "Waits.h"

#include "common/Catalogue.h"
#include "common/IniServices.h"
#include "delivery/CDOSend.h"
#include "delivery/DeliveryError.h"
#include "netrelay/NetworkRelay.h"
#include "relay/RelayCore.h"
#include "relay/RelaySettings.h"
#include "tracker/TrackerStore.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <limits>

using namespace swn;
using namespace swn::test;

namespace {

const QString S = QStringLiteral("SwiftnoteRelay");
const char* const WindowKeys[] = {"RelayMode", "SMTPServer", "STMPRelayListenerPort", "TransportMode",
                                  "AutoStart", "POPollInterval", "MaxLogSize"};
const char* const NeverWritten[] = {"AllowedClients", "SMTPSecurity", "SMTPUser", "SMTPPassword", "SMTPCAFile"};

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class CoreTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    int n = 0;

    QString file(const QByteArray& content)
    {
        const QString path = dir.filePath(QStringLiteral("core%1.ini").arg(++n));
        if (!content.isNull()) {
            QFile f(path);
            f.open(QIODevice::WriteOnly);
            f.write(content);
        }
        return path;
    }
    QString curlPost(const QByteArray& document, quint16 port)
    {
        const QString doc = dir.filePath(QStringLiteral("post%1.xml").arg(++n));
        QFile f(doc);
        f.open(QIODevice::WriteOnly);
        f.write(document);
        f.close();
        QProcess curl;
        curl.setProcessChannelMode(QProcess::MergedChannels);
        curl.start(QStringLiteral("curl"), {"-sS", "-i", "--max-time", "60", "--data-binary", "@" + doc,
                                            QStringLiteral("http://127.0.0.1:%1/").arg(port)});
        (void)QTest::qWaitFor([&] { return curl.state() == QProcess::NotRunning; }, 70000);
        return QString::fromUtf8(curl.readAll());
    }
    QProcessEnvironment noDisplay() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        env.insert(QStringLiteral("LANGUAGE"), QStringLiteral("en"));
        return env;
    }

private Q_SLOTS:
    void initTestCase()
    {
        SetCatalogueLanguage(Language::English);
        SetSmtpTimeouts(5, 5);
    }

    void settingsThroughTheFile()
    {
        // The administrator's keys are read, never written, whether present or not.
        for (const bool withAdminKeys : {false, true}) {
            QByteArray content = "[SwiftnoteRelay]\nRelayMode=POSTOFFICE\nTransportMode=BTMAIL\nSMTPServer=mail:2525\n"
                                 "STMPRelayListenerPort=4000\nAutoStart=1\nPOPollInterval=30\nMaxLogSize=64\n"
                                 "BTLoginID=admin\nBTPassword=pw\nBTDB=SAMPL\nBTDbset=Repo\n";
            if (withAdminKeys)
                content += "AllowedClients=10.0.0.0/8\nSMTPSecurity=tls\nSMTPUser=relay\nSMTPPassword=s3cret\nSMTPCAFile=/etc/ca.pem\n";
            const QString path = file(content);
            RelaySettings settings(path);
            QSignalSpy changed(&settings, &RelaySettings::changed);
            settings.Load();
            QVERIFY(changed.count() >= 1);
            QCOMPARE(settings.Mode(), RelayMode::PostOffice);
            QCOMPARE(settings.TransportChoice(), Transport::Sendmail);
            QCOMPARE(settings.SMTPServer(), QStringLiteral("mail:2525"));
            QCOMPARE(settings.ListenerPort(), QStringLiteral("4000"));
            QCOMPARE(settings.AutoStart(), 1);
            QCOMPARE(settings.POPollInterval(), QStringLiteral("30"));
            QCOMPARE(settings.MaxLogSize(), QStringLiteral("64"));
            QCOMPARE(settings.LoginId(), QStringLiteral("admin"));
            QCOMPARE(settings.Database(), QStringLiteral("SAMPL"));
            QCOMPARE(settings.DatabaseSet(), QStringLiteral("Repo"));
            if (withAdminKeys) {
                const SmtpSecurity security = settings.SmtpSecurityOptions();
                QCOMPARE(security.mode, SmtpSecurity::Mode::Tls);
                QCOMPARE(security.user, QStringLiteral("relay"));
                QCOMPARE(security.caFile, QStringLiteral("/etc/ca.pem"));
            }

            settings.SetMode(RelayMode::Network);
            settings.SetTransport(Transport::Smtp);
            settings.SetSMTPServer(QStringLiteral("smtp.example.org:25"));
            settings.SetListenerPort(QStringLiteral("36002"));
            settings.SetAutoStart(0);
            settings.SetPOPollInterval(QStringLiteral("90"));
            settings.SetMaxLogSize(QStringLiteral("32"));
            QVERIFY(settings.SaveWindowKeys());
            QVERIFY(settings.SaveCredentials(QStringLiteral("other"), QStringLiteral("new pw"), QStringLiteral("PROD"),
                                             QStringLiteral("Main")));
            QCOMPARE(settings.LoginId(), QStringLiteral("other"));
            QCOMPARE(settings.Database(), QStringLiteral("PROD"));
            QCOMPARE(settings.DatabaseSet(), QStringLiteral("Main"));

            const IniServices ini(path);
            const QStringList expected{"NETWORK", "smtp.example.org:25", "36002", "CDO", "0", "90", "32"};
            for (int i = 0; i < 7; ++i)
                QCOMPARE(ini.ReadIniValue(S, QString::fromLatin1(WindowKeys[i]), QStringLiteral("<missing>")), expected[i]);
            QCOMPARE(ini.ReadIniValue(S, QStringLiteral("BTLoginID"), {}), QStringLiteral("other"));
            QCOMPARE(ini.ReadIniValue(S, QStringLiteral("BTPassword"), {}), QStringLiteral("new pw"));
            QCOMPARE(ini.ReadIniValue(S, QStringLiteral("BTDB"), {}), QStringLiteral("PROD"));
            QCOMPARE(ini.ReadIniValue(S, QStringLiteral("BTDbset"), {}), QStringLiteral("Main"));
            const QByteArray text = ReadAll(path);
            for (const char* key : NeverWritten)
                QCOMPARE(text.count(key), withAdminKeys ? 1 : 0);
            if (withAdminKeys)
                QVERIFY(text.contains("AllowedClients=10.0.0.0/8\n") && text.contains("SMTPPassword=s3cret\n"));

            // A fresh load reads back what was saved.
            RelaySettings again(path);
            again.Load();
            QCOMPARE(again.Mode(), RelayMode::Network);
            QCOMPARE(again.SMTPServer(), QStringLiteral("smtp.example.org:25"));
            QCOMPARE(again.POPollInterval(), QStringLiteral("90"));
        }

        // A file without the section: defaults; saving writes the seven keys and nothing else.
        const QString fresh = file({});
        RelaySettings settings(fresh);
        settings.Load();
        QCOMPARE(settings.Mode(), RelayMode::Network);
        QCOMPARE(settings.TransportChoice(), Transport::Smtp);
        QCOMPARE(settings.ListenerPort(), QStringLiteral("36001"));
        RelayCore core(settings, RelayCoreOptions{});
        core.SaveSettings();
        const QByteArray text = ReadAll(fresh);
        for (const char* key : WindowKeys)
            QVERIFY2(text.contains(QByteArray(key) + "="), key);
        for (const char* key : NeverWritten)
            QVERIFY2(!text.contains(key), key);
        QVERIFY(!text.contains("BTPassword"));

        // A mode the relay does not know is neither selected nor overwritten.
        const QString odd = file("[SwiftnoteRelay]\nRelayMode=network\nTransportMode=smoke\n");
        RelaySettings oddSettings(odd);
        oddSettings.Load();
        QCOMPARE(oddSettings.Mode(), RelayMode::None);
        QCOMPARE(oddSettings.TransportChoice(), Transport::None);
        QVERIFY(oddSettings.SaveWindowKeys());
        const IniServices oddIni(odd);
        QCOMPARE(oddIni.ReadIniValue(S, QStringLiteral("RelayMode"), {}), QStringLiteral("network"));
        QCOMPARE(oddIni.ReadIniValue(S, QStringLiteral("TransportMode"), {}), QStringLiteral("smoke"));

        // A file that cannot be written: said in the log, nothing else.
        RelaySettings nowhere(dir.path()); // a folder, not a file
        RelayCore nowhereCore(nowhere, RelayCoreOptions{});
        nowhereCore.SaveSettings();
        QVERIFY(nowhereCore.LogText().contains(QStringLiteral(" :: The settings could not be saved to %1\r\n").arg(dir.path())));
    }

    void countersStopAtTheirLimit()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        const quint16 port = UnusedTcpPort();
        RelaySettings settings(file("[SwiftnoteRelay]\nRelayMode=NETWORK\nTransportMode=CDO\nSMTPServer=" +
                                    sink.hostText().toUtf8() + "\nSTMPRelayListenerPort=" + QByteArray::number(port) + "\n"));
        RelayCore core(settings, RelayCoreOptions{});
        NetworkRelay net(core);
        core.LoadSettings();
        core.Start();
        QVERIFY(core.IsRunning());

        constexpr qint32 max = std::numeric_limits<qint32>::max();
        core.AdvanceCounters(max - 1, max - 1);
        QVERIFY_THROWS_EXCEPTION(DeliveryError, core.AdvanceCounters(2, 1));
        QVERIFY_THROWS_EXCEPTION(DeliveryError, core.AdvanceCounters(1, 2));
        QCOMPARE(core.TotalCopiesCount(), max - 1);
        QCOMPARE(core.TotalRelaysCount(), max - 1);

        // A document with two recipients would pass the limit: the log says so, the counters
        // stay, and the mail goes all the same.
        MailDocBuilder doc;
        doc.to = {QStringLiteral("a@example.org"), QStringLiteral("b@example.org")};
        QSignalSpy shown(&core, &RelayCore::countersChanged);
        QVERIFY(curlPost(doc.build(), port).startsWith(QStringLiteral("HTTP/1.1 200 \r\n")));
        QVERIFY(QTest::qWaitFor([&] {
            return core.LogText().contains(QStringLiteral(" :: The statistics counters cannot count any further\r\n"));
        }, 20000));
        QCOMPARE(core.TotalCopiesCount(), max - 1);
        QCOMPARE(core.TotalRelaysCount(), max - 1);
        QVERIFY(sink.waitForCount(1, 5000));
        QVERIFY(!shown.isEmpty());
        QCOMPARE(shown.last().at(0).toInt(), max - 1);
        // One more copy still fits.
        core.AdvanceCounters(1, 1);
        QCOMPARE(core.TotalCopiesCount(), max);
        core.Shutdown();
    }

    // A client key the relay cannot read would fail every session: Start says so and does not start.
    void startNeedsAReadableClientKey()
    {
        RelaySettings settings(file("[SwiftnoteRelay]\nRelayMode=NETWORK\nTransportMode=CDO\nSMTPSecurity=starttls\n"
                                    "SMTPClientCertFile=" + dir.filePath(QStringLiteral("no-such.pem")).toUtf8() + "\n"));
        RelayCore core(settings, RelayCoreOptions{});
        NetworkRelay net(core);
        core.LoadSettings();
        core.Start();
        QVERIFY(!core.IsRunning());
        QVERIFY2(core.LogText().contains(QLatin1String("SMTPClientCertFile")), qPrintable(core.LogText()));
        core.Shutdown();
    }

    void headlessService()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        const quint16 port = UnusedTcpPort();
        const QString path = file("[SwiftnoteRelay]\nRelayMode=NETWORK\nAutoStart=1\nSTMPRelayListenerPort=" +
                                  QByteArray::number(port) + "\nSMTPServer=" + sink.hostText().toUtf8() + "\n");
        QProcess relay;
        relay.setProcessEnvironment(noDisplay());
        // No --headless: without a display it runs as the service does, rather than abort.
        relay.start(QStringLiteral(SWN_RELAY_EXECUTABLE), {QStringLiteral("--settings"), path,
                                                          QStringLiteral("--spool"), dir.filePath(QStringLiteral("spool"))});
        QVERIFY(relay.waitForStarted());
        QByteArray err;
        auto collect = [&] {
            err += relay.readAllStandardError();
            return err;
        };
        QVERIFY(QTest::qWaitFor([&] { return collect().contains("Listening on Port " + QByteArray::number(port) + "\n"); }, 20000));
        QVERIFY2(err.contains("Running as a service, without a window: no display was found"), err.constData());
        // Every line is stamped as the log stamps it.
        for (const QByteArray& line : err.split('\n'))
            if (!line.isEmpty())
                QVERIFY2(line.contains(" :: "), line.constData());

        MailDocBuilder doc;
        doc.subject = QStringLiteral("through the service");
        QVERIFY(curlPost(doc.build(), port).startsWith(QStringLiteral("HTTP/1.1 200 \r\nContent-Length: 0\r\n\r\n")));
        QVERIFY(sink.waitForCount(1));
        QCOMPARE(ReadWithPython(sink.messages().first().content).subject, QStringLiteral("through the service"));
        QVERIFY(QTest::qWaitFor([&] { return collect().contains("Referral received from [127.0.0.1]"); }, 10000));

        const QByteArray settingsBefore = ReadAll(path);
        QVERIFY(!settingsBefore.contains("MaxLogSize"));
        ::kill(pid_t(relay.processId()), SIGTERM);
        QVERIFY(relay.waitForFinished(15000));
        collect();
        QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
        QCOMPARE(relay.exitCode(), 0);
        QVERIFY2(err.contains(" :: Stopping on signal 15\n"), err.constData());
        // The service has no window whose values changed: its settings file is only ever read.
        QCOMPARE(ReadAll(path), settingsBefore);
    }

    void twoServicesPollingOneDatabase()
    {
        // Two relay processes on the same tracker files: every queued mail goes exactly once.
        using namespace swn::tracker;
        SmtpSink sink;
        QVERIFY(sink.start());
        TrackerStore store(dir.filePath(QStringLiteral("tracker")));
        store.createDatabaseSet(QStringLiteral("Repo"));
        store.createDatabase(QStringLiteral("Repo"), QStringLiteral("SAMPL"), false, {});
        store.addUser(QStringLiteral("Repo"), QStringLiteral("admin"), QStringLiteral("pw"), {QStringLiteral("SAMPL")});
        store.enablePostOffice(QStringLiteral("Repo"), QStringLiteral("SAMPL"));
        for (int i = 0; i < 12; ++i) {
            MailDocBuilder doc;
            doc.subject = QStringLiteral("queued %1").arg(i);
            store.enqueue(QStringLiteral("Repo"), QStringLiteral("SAMPL"), QString::fromUtf8(doc.build()), {});
        }
        std::vector<std::unique_ptr<QProcess>> relays;
        for (int i = 0; i < 2; ++i) {
            const QString path = file("[SwiftnoteRelay]\nRelayMode=POSTOFFICE\nAutoStart=1\nPOPollInterval=1\nSMTPServer=" +
                                      sink.hostText().toUtf8() + "\nBTLoginID=admin\nBTPassword=pw\nBTDB=SAMPL\nBTDbset=Repo\n");
            auto relay = std::make_unique<QProcess>();
            relay->setProcessEnvironment(noDisplay());
            relay->start(QStringLiteral(SWN_RELAY_EXECUTABLE),
                         {QStringLiteral("--headless"), QStringLiteral("--settings"), path, QStringLiteral("--tracker-root"),
                          store.root(), QStringLiteral("--spool"), dir.filePath(QStringLiteral("spool%1").arg(i))});
            QVERIFY(relay->waitForStarted());
            relays.push_back(std::move(relay));
        }
        QVERIFY(sink.waitForCount(12, 60000));
        QVERIFY(QTest::qWaitFor([&] { return store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL")).isEmpty(); }, 20000));
        // Two more polls after the queue emptied (the relay that waits for the other polls none):
        // nothing further may go.
        std::vector<QByteArray> seen(relays.size());
        const auto polls = [&](size_t i) {
            seen[i] += relays[i]->readAllStandardError();
            return int(seen[i].count("Checked Postoffice - found"));
        };
        std::vector<int> atEmpty;
        for (size_t i = 0; i < relays.size(); ++i)
            atEmpty.push_back(polls(i));
        QVERIFY(QuietUntil([&] { return sink.count() == 12; },
                           [&] {
                               int more = 0;
                               for (size_t i = 0; i < relays.size(); ++i)
                                   more += polls(i) - atEmpty[i];
                               return more >= 2;
                           },
                           20000));
        QByteArray logs;
        for (size_t i = 0; i < relays.size(); ++i) {
            ::kill(pid_t(relays[i]->processId()), SIGTERM);
            QVERIFY(relays[i]->waitForFinished(15000));
            QCOMPARE(relays[i]->exitCode(), 0);
            logs += seen[i] + relays[i]->readAllStandardError();
        }
        QCOMPARE(sink.count(), 12);
        QStringList subjects = PySubjects(sink.messages());
        subjects.sort();
        QCOMPARE(subjects.removeDuplicates(), 0);
        QVERIFY2(logs.contains("Another relay is polling database SAMPL ("), logs.constData());
    }

    void queueVerbsWithAndWithoutARelay()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        const QString spool = dir.filePath(QStringLiteral("verbs-spool"));
        auto verb = [&](const QStringList& args, QByteArray* out = nullptr) {
            QProcess p;
            p.setProcessEnvironment(noDisplay());
            p.start(QStringLiteral(SWN_RELAY_EXECUTABLE), QStringList{QStringLiteral("--spool"), spool} + args);
            (void)QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 30000);
            // Every verb names its spool first, on stderr.
            const QByteArray named = "SWNRelay: using the spool " + spool.toUtf8() + '\n';
            QByteArray err = p.readAllStandardError();
            if (!err.startsWith(named))
                return -2;
            if (out)
                *out = p.readAllStandardOutput() + err.mid(named.size());
            return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        };
        // Three documents kept while the server is away.
        sink.setFaults({QStringLiteral("greeting 421")});
        const quint16 port = UnusedTcpPort();
        const QString path = file("[SwiftnoteRelay]\nRelayMode=NETWORK\nSTMPRelayListenerPort=" + QByteArray::number(port) +
                                  "\nSMTPServer=" + sink.hostText().toUtf8() + "\n");
        auto startRelay = [&](QProcess& relay) {
            relay.setProcessEnvironment(noDisplay());
            relay.start(QStringLiteral(SWN_RELAY_EXECUTABLE),
                        {QStringLiteral("--headless"), QStringLiteral("--settings"), path, QStringLiteral("--spool"), spool});
            return relay.waitForStarted() &&
                QTest::qWaitFor([&] { return relay.peek(1 << 20).contains("Listening on Port"); }, 20000);
        };
        QProcess relay;
        relay.setReadChannel(QProcess::StandardError);
        QVERIFY(startRelay(relay));
        for (int i = 0; i < 3; ++i) {
            MailDocBuilder doc;
            doc.subject = QStringLiteral("verb %1").arg(i);
            QVERIFY(curlPost(doc.build(), port).startsWith(QStringLiteral("HTTP/1.1 200 ")));
        }
        QByteArray out;
        QCOMPARE(verb({QStringLiteral("--queue")}, &out), 0);
        QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        for (const QString& line : lines) {
            const QStringList fields = line.split(QLatin1Char('\t'));
            QCOMPARE(fields.size(), 7);
            QCOMPARE(fields[1], QStringLiteral("kept"));
            QCOMPARE(fields[5], QStringLiteral("all"));
            QVERIFY2(fields[6].contains(QStringLiteral("421")), qPrintable(line));
        }
        const QString dropped = lines[1].section(QLatin1Char('\t'), 0, 0);
        // Through the running relay: one deleted and never sent, the others sent now.
        QCOMPARE(verb({QStringLiteral("--delete"), dropped}, &out), 0);
        QCOMPARE(verb({QStringLiteral("--delete"), dropped}, &out), 1);
        QVERIFY2(out.contains(dropped.toUtf8()), out.constData());
        QCOMPARE(verb({QStringLiteral("--delete"), QStringLiteral("../../etc/passwd")}, &out), 1);
        sink.setFaults({});
        QCOMPARE(verb({QStringLiteral("--flush")}, &out), 0);
        QVERIFY(sink.waitForCount(2, 15000));
        QStringList subjects = PySubjects(sink.messages());
        subjects.sort();
        QCOMPARE(subjects, (QStringList{"verb 0", "verb 2"}));

        // A document every recipient refused lands in failed/; once they are known, it goes again.
        MailDocBuilder refused;
        refused.subject = QStringLiteral("refused first");
        refused.to = {QStringLiteral("refused-later@example.org")};
        QVERIFY(curlPost(refused.build(), port).startsWith(QStringLiteral("HTTP/1.1 200 ")));
        QVERIFY(QTest::qWaitFor([&] {
            verb({QStringLiteral("--queue")}, &out);
            return out.contains("\tfailed\t");
        }, 10000));
        const QString failedId = QString::fromUtf8(out).section(QLatin1Char('\t'), 0, 0).trimmed();
        ::kill(pid_t(relay.processId()), SIGTERM);
        QVERIFY(relay.waitForFinished(15000));
        // Without a relay: flush has no one to ask; requeue works on the files.
        QCOMPARE(verb({QStringLiteral("--flush")}, &out), 1);
        QVERIFY2(out.contains("no relay runs on the spool"), out.constData());
        QCOMPARE(verb({QStringLiteral("--requeue"), failedId}, &out), 0);
        QCOMPARE(verb({QStringLiteral("--requeue"), failedId}, &out), 1);
        // The server takes that address now (the sink refuses only addresses starting with "refused").
        QFile doc(spool + QLatin1Char('/') + failedId + QStringLiteral(".xml"));
        QVERIFY(doc.open(QIODevice::ReadWrite));
        QByteArray text = doc.readAll();
        text.replace("refused-later@", "accepted-now@");
        doc.resize(0);
        doc.write(text);
        doc.close();
        QProcess again;
        again.setReadChannel(QProcess::StandardError);
        QVERIFY(startRelay(again));
        QVERIFY(sink.waitForCount(3, 15000));
        QCOMPARE(PySubjects(sink.messages()).last(), QStringLiteral("refused first"));
        // Sent once only: once the relay says the document is delivered it is out of the spool,
        // and nothing else may have gone by then.
        const QByteArray delivered = "Kept document " + failedId.toUtf8() + " delivered";
        QVERIFY2(QuietUntil([&] { return sink.count() == 3; }, [&] { return again.peek(1 << 20).contains(delivered); }, 15000),
                 again.peek(1 << 20).constData());
        QCOMPARE(sink.count(), 3);
        ::kill(pid_t(again.processId()), SIGTERM);
        QVERIFY(again.waitForFinished(15000));
    }

    void reloadAndJournalPriorities()
    {
        SmtpSink first, second;
        QVERIFY(first.start() && second.start());
        const quint16 port = UnusedTcpPort();
        // Sessions would stay open ten minutes unused: the reload and the end close them.
        const QString path = file("[SwiftnoteRelay]\nRelayMode=NETWORK\nSTMPRelayListenerPort=" + QByteArray::number(port) +
                                  "\nSMTPServer=" + first.hostText().toUtf8() + "\nSMTPIdleSeconds=600\n");
        QProcess relay;
        QProcessEnvironment env = noDisplay();
        relay.setProcessEnvironment(env);
        relay.setReadChannel(QProcess::StandardError);
        relay.start(QStringLiteral(SWN_RELAY_EXECUTABLE), {QStringLiteral("--headless"), QStringLiteral("--settings"), path,
                                                          QStringLiteral("--spool"), dir.filePath(QStringLiteral("hup-spool"))});
        QVERIFY(relay.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return relay.peek(1 << 20).contains("Listening on Port"); }, 20000));
        // The service says what it does, and relays without AutoStart.
        const QByteArray startLines = relay.peek(1 << 20);
        QVERIFY2(startLines.contains("Running as a service, without a window: started with --headless"), startLines.constData());
        QVERIFY2(startLines.contains("Relaying in network relay mode: listening on port " + QByteArray::number(port)),
                 startLines.constData());
        MailDocBuilder doc;
        doc.subject = QStringLiteral("before reload");
        QVERIFY(curlPost(doc.build(), port).startsWith(QStringLiteral("HTTP/1.1 200 ")));
        QVERIFY(first.waitForCount(1));
        // Another server in the file, and SIGHUP: the next mail goes there, the relay runs on.
        QByteArray ini = ReadAll(path);
        ini.replace(first.hostText().toUtf8(), second.hostText().toUtf8());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(ini + "SMTPPassword=never-shown\n");
        f.close();
        ::kill(pid_t(relay.processId()), SIGHUP);
        QVERIFY(QTest::qWaitFor([&] { return relay.peek(1 << 20).contains("Settings reloaded from"); }, 10000));
        doc.subject = QStringLiteral("after reload");
        QVERIFY(curlPost(doc.build(), port).startsWith(QStringLiteral("HTTP/1.1 200 ")));
        QVERIFY(second.waitForCount(1));
        QCOMPARE(first.count(), 1);
        // The session to the old server ended with QUIT at the reload.
        QVERIFY(QTest::qWaitFor([&] { return first.lines(QStringLiteral("sessions_log")).size() == 1; }, 10000));
        QCOMPARE(first.lines(QStringLiteral("sessions_log")), QStringList{QStringLiteral("quit")});
        // A port the listener cannot take: it stays where it was, and the relay runs on.
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::Any));
        ini = ReadAll(path);
        ini.replace("STMPRelayListenerPort=" + QByteArray::number(port),
                    "STMPRelayListenerPort=" + QByteArray::number(taken.serverPort()));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(ini);
        f.close();
        ::kill(pid_t(relay.processId()), SIGHUP);
        QVERIFY(QTest::qWaitFor([&] { return relay.peek(1 << 20).contains("Cannot listen on port"); }, 10000));
        QVERIFY(curlPost(doc.build(), port).startsWith(QStringLiteral("HTTP/1.1 200 ")));
        QVERIFY(second.waitForCount(2));
        ::kill(pid_t(relay.processId()), SIGTERM);
        QVERIFY(relay.waitForFinished(15000));
        QCOMPARE(relay.exitCode(), 0);
        // And every session at the end.
        QVERIFY(QTest::qWaitFor([&] { return !second.lines(QStringLiteral("sessions_log")).isEmpty(); }, 5000));
        QVERIFY(!second.lines(QStringLiteral("sessions_log")).contains(QStringLiteral("noquit")));
        const QByteArray log = relay.readAllStandardError();
        QVERIFY2(log.contains("SMTPServer=" + second.hostText().toUtf8()), log.constData());
        QVERIFY(log.contains("SMTPPassword") && !log.contains("never-shown"));

        // Under the journal every line carries its priority; a failed delivery is a warning or worse.
        const quint16 port2 = UnusedTcpPort();
        const QString path2 = file("[SwiftnoteRelay]\nRelayMode=NETWORK\nSTMPRelayListenerPort=" + QByteArray::number(port2) +
                                   "\nSMTPServer=" + first.hostText().toUtf8() + "\n");
        const QString journal = dir.filePath(QStringLiteral("journal.txt"));
        QProcess shell;
        shell.setProcessEnvironment(env);
        // JOURNAL_STREAM names the very file the relay's stderr is.
        shell.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QStringLiteral("exec 2>\"$1\"; JOURNAL_STREAM=$(stat -c '%d:%i' \"$1\") exec \"$2\" --headless --settings \"$3\" --spool \"$4\""),
                     QStringLiteral("sh"), journal, QStringLiteral(SWN_RELAY_EXECUTABLE), path2, dir.filePath(QStringLiteral("journal-spool"))});
        QVERIFY(shell.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return ReadAll(journal).contains("Listening on Port"); }, 20000));
        MailDocBuilder bad;
        bad.subject = QStringLiteral("every recipient refused");
        bad.to = {QStringLiteral("refused@example.org")};
        QVERIFY(curlPost(bad.build(), port2).startsWith(QStringLiteral("HTTP/1.1 200 ")));
        QVERIFY(QTest::qWaitFor([&] { return ReadAll(journal).contains("Send Failed"); }, 10000));
        ::kill(pid_t(shell.processId()), SIGTERM);
        QVERIFY(shell.waitForFinished(15000));
        for (const QByteArray& line : ReadAll(journal).split('\n')) {
            if (line.isEmpty())
                continue;
            QVERIFY2(line.startsWith("<3>") || line.startsWith("<4>") || line.startsWith("<6>"), line.constData());
            if (line.contains("Send Failed"))
                QVERIFY2(!line.startsWith("<6>"), line.constData());
        }
    }

    void metricsOfARunningRelay()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        const quint16 port = UnusedTcpPort(), metricsPort = UnusedTcpPort();
        const QString path = file("[SwiftnoteRelay]\nRelayMode=NETWORK\nSTMPRelayListenerPort=" + QByteArray::number(port) +
                                  "\nSMTPServer=" + sink.hostText().toUtf8() + "\nMetricsListen=127.0.0.1:" +
                                  QByteArray::number(metricsPort) + "\n");
        QProcess relay;
        relay.setProcessEnvironment(noDisplay());
        relay.setReadChannel(QProcess::StandardError);
        relay.start(QStringLiteral(SWN_RELAY_EXECUTABLE), {QStringLiteral("--headless"), QStringLiteral("--settings"), path,
                                                          QStringLiteral("--spool"), dir.filePath(QStringLiteral("metrics-spool"))});
        QVERIFY(relay.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return relay.peek(1 << 20).contains("Metrics are served on http://127.0.0.1:"); }, 20000));
        for (int i = 0; i < 3; ++i) {
            MailDocBuilder doc;
            doc.subject = QStringLiteral("measured %1").arg(i);
            QVERIFY(curlPost(doc.build(), port).startsWith(QStringLiteral("HTTP/1.1 200 ")));
        }
        QVERIFY(sink.waitForCount(3));
        // Read by Prometheus' own parser, not by the code that wrote it.
        QProcess scrape;
        scrape.start(SystemPython(), {TestSourceDir() + QStringLiteral("/relay/scrape_metrics.py"), QStringLiteral("scrape"),
                                      QStringLiteral("127.0.0.1"), QString::number(metricsPort)});
        QVERIFY(scrape.waitForFinished(30000));
        const QJsonObject result = QJsonDocument::fromJson(scrape.readAllStandardOutput()).object();
        QCOMPARE(result.value(QStringLiteral("status")).toInt(), 200);
        QVERIFY2(!result.contains(QStringLiteral("parse_error")), qPrintable(result.value(QStringLiteral("parse_error")).toString()));
        QHash<QString, double> values;
        for (const QJsonValue& family : result.value(QStringLiteral("families")).toArray()) {
            const QString name = family.toObject().value(QStringLiteral("name")).toString();
            QVERIFY2(name.startsWith(QStringLiteral("swnrelay_")), qPrintable(name));
            for (const QJsonValue& sample : family.toObject().value(QStringLiteral("samples")).toArray())
                if (sample.toObject().value(QStringLiteral("labels")).toObject().isEmpty())
                    values.insert(sample.toObject().value(QStringLiteral("name")).toString(),
                                  sample.toObject().value(QStringLiteral("value")).toString().toDouble());
        }
        QCOMPARE(values.value(QStringLiteral("swnrelay_documents_delivered_total")), 3.0);
        QCOMPARE(values.value(QStringLiteral("swnrelay_documents_accepted_total")), 3.0);
        QVERIFY(values.contains(QStringLiteral("swnrelay_spool_entries")));
        QCOMPARE(values.value(QStringLiteral("swnrelay_delivery_duration_seconds_count")), 3.0);
        ::kill(pid_t(relay.processId()), SIGTERM);
        QVERIFY(relay.waitForFinished(15000));
    }

    void helpAndVersionWithoutADisplay()
    {
        for (const QString& option : {QStringLiteral("--help"), QStringLiteral("--version")}) {
            QProcess relay;
            relay.setProcessEnvironment(noDisplay());
            relay.start(QStringLiteral(SWN_RELAY_EXECUTABLE), {option});
            QVERIFY(relay.waitForFinished(15000));
            QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
            QCOMPARE(relay.exitCode(), 0);
            const QByteArray out = relay.readAllStandardOutput();
            if (option == QLatin1String("--help"))
                QVERIFY2(out.contains("--headless") && out.contains("--settings") && out.contains("--queue"), out.constData());
            else
                QVERIFY2(out.contains("SWNRelay 2.0.6"), out.constData());
        }
    }
};

QTEST_GUILESS_MAIN(CoreTest)
#include "test_core.moc"
