// The settings file rules, the message catalogue and the activity log, without a window.
#include "common/ActivityLog.h"
#include "common/Catalogue.h"
#include "common/IniServices.h"

#include <QFile>
#include <QTemporaryDir>
#include <QRandomGenerator>
#include <QtTest>

#include <sys/stat.h>

using namespace swn;

namespace {
const QString S = QStringLiteral("SwiftnoteRelay");

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}
} // namespace

class HostTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString file(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

private Q_SLOTS:
    void initTestCase() { SetCatalogueLanguage(Language::English); }

    void iniReadingRules()
    {
        const QString path = file("read.ini");
        WriteAll(path, "; written by hand\r\n"
                       "[Other]\r\nSMTPServer=wrong\r\n"
                       "[ swiftnoterelay ]\r\n"
                       "smtpserver =  \"mail.example.org:2525\"  \r\n"
                       "Empty=\r\n"
                       "Quoted='single'\r\n"
                       "Unbalanced=\"left\r\n"
                       "Inner=a \"b\" c\r\n"
                       "SMTPServer=second wins never\r\n"
                       "Long=" + QByteArray(3000, 'x') + "\r\n"
                       "[SwiftnoteRelay]\r\nLater=from a second section\r\n");
        const IniServices ini(path);
        QCOMPARE(ini.ReadIniValue(S, "SMTPServer", "d"), QStringLiteral("mail.example.org:2525"));
        QCOMPARE(ini.ReadIniValue(S, "EMPTY", "default"), QString());
        QCOMPARE(ini.ReadIniValue(S, "Quoted", "d"), QStringLiteral("single"));
        QCOMPARE(ini.ReadIniValue(S, "Unbalanced", "d"), QStringLiteral("\"left"));
        QCOMPARE(ini.ReadIniValue(S, "Inner", "d"), QStringLiteral("a \"b\" c"));
        QCOMPARE(ini.ReadIniValue(S, "Long", "d").size(), 2047);
        // A list must know when it was cut: a shortened last entry could admit what the whole
        // text does not (100.0.0.0/24 read as 100.0.0.0/2).
        bool cut = false;
        ini.ReadIniValue(S, "Long", "d", &cut);
        QVERIFY(cut);
        ini.ReadIniValue(S, "Inner", "d", &cut);
        QVERIFY(!cut);
        ini.ReadIniValue(S, "Missing", QString(2047, QLatin1Char('d')), &cut);
        QVERIFY(!cut);
        QCOMPARE(ini.ReadIniValue(S, "Missing", "dflt"), QStringLiteral("dflt"));
        QCOMPARE(ini.ReadIniValue(QStringLiteral("Nowhere"), "SMTPServer", "dflt"), QStringLiteral("dflt"));
        QCOMPARE(IniServices(file("absent.ini")).ReadIniValue(S, "X", "dflt"), QStringLiteral("dflt"));
    }

    void iniWritingKeepsTheRestOfTheFile()
    {
        const QString path = file("write.ini");
        const QByteArray original = "; comment kept\r\n[swiftnoterelay]\r\nRelayMode=network\r\n"
                                    "  SMTPServer = old  \r\nUnrelated=1\r\n\r\n[Else]\r\nK=v\r\n";
        WriteAll(path, original);
        const IniServices ini(path);
        QVERIFY(ini.WriteIniValue(S, "smtpserver", "new:25"));
        QVERIFY(ini.WriteIniValue(S, "AutoStart", "1"));
        QVERIFY(ini.WriteIniValue(QStringLiteral("Third"), "Key", "v3"));
        const QByteArray after = ReadAll(path);
        QVERIFY2(after.startsWith("; comment kept\r\n[swiftnoterelay]\r\nRelayMode=network\r\n"), after.constData());
        QVERIFY(after.contains("Unrelated=1\r\n"));
        QVERIFY(after.contains("[Else]\r\nK=v\r\n"));
        QVERIFY(!after.contains("old"));
        QVERIFY(!after.contains("\n\n")); // the file's own line breaks stay CR LF
        QCOMPARE(ini.ReadIniValue(S, "SMTPServer", "d"), QStringLiteral("new:25"));
        QCOMPARE(ini.ReadIniValue(S, "AutoStart", "d"), QStringLiteral("1"));
        QCOMPARE(ini.ReadIniValue(QStringLiteral("third"), "key", "d"), QStringLiteral("v3"));
        QCOMPARE(ini.ReadIniValue(QStringLiteral("Else"), "K", "d"), QStringLiteral("v"));

        // A value cannot write lines of its own into the file.
        QVERIFY(ini.WriteIniValue(S, "BTPassword", "p@ss word\r\n[Evil]\r\nX=1"));
        QCOMPARE(ini.ReadIniValue(QStringLiteral("Evil"), "X", "none"), QStringLiteral("none"));
        QVERIFY(ini.ReadIniValue(S, "BTPassword", "d").startsWith(QStringLiteral("p@ss word")));
    }

    void iniNewFileIsPrivateAndWrittenWhole()
    {
        const QString path = file("new.ini");
        const IniServices ini(path);
        QVERIFY(ini.WriteIniValue(S, "BTPassword", "s3cret"));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        QCOMPARE(ReadAll(path), QByteArray("[SwiftnoteRelay]\nBTPassword=s3cret\n"));
        // No temporary file is left beside it.
        QCOMPARE(QDir(dir.path()).entryList({"new.ini*", ".new.ini*"}, QDir::Files | QDir::Hidden).size(), 1);

        // A file that cannot be written is reported, and left as it was.
        const QString ro = file("ro");
        QVERIFY(QDir().mkpath(ro));
        const IniServices locked(ro + QStringLiteral("/settings.ini"));
        QVERIFY(locked.WriteIniValue(S, "A", "1"));
        QFile::setPermissions(ro, QFile::ReadOwner | QFile::ExeOwner);
        if (::geteuid() != 0) {
            QVERIFY(!locked.WriteIniValue(S, "A", "2"));
            QCOMPARE(locked.ReadIniValue(S, "A", "d"), QStringLiteral("1"));
        }
        QFile::setPermissions(ro, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void placeholderRules()
    {
        QCOMPARE(BuildResourceMessage(144, {36001}), QStringLiteral("Listening on Port 36001"));
        QCOMPARE(BuildResourceMessage(138, {3}), QStringLiteral("Socket Error on index 3 ,Description:<<UNDEFINED>>"));
        QCOMPARE(BuildResourceMessage(133, {"x", "y"}), QStringLiteral("An Unknown error has occurred: x"));
        QCOMPARE(BuildResourceMessage(130, {"a%sb", "c"}), QStringLiteral("Database 'acb' does not exist"));
        // Only a lower-case "%s" keeps the loop going, but each round fills the first "%s" or "%S".
        QCOMPARE(BuildResourceMessage(130, {"a%Sb", "c"}), QStringLiteral("Database 'a%Sb' does not exist"));
        QCOMPARE(FormatResourceText(QStringLiteral("<%S|%s>"), {1, 2}), QStringLiteral("<1|2>"));
        QCOMPARE(BuildResourceMessage(130, {"one%ntwo"}), QStringLiteral("Database 'one\r\ntwo' does not exist"));
        QCOMPARE(FormatResourceText(QStringLiteral("%s|%s|%s"), {1}), QStringLiteral("1|<<UNDEFINED>>|<<UNDEFINED>>"));
        const QString m142 = BuildResourceMessage(142, {"boom", "f@x", "t@x", "", ""});
        QVERIFY(m142.startsWith(QStringLiteral("Send Failed: SWN::CDOSYS Send Direct mail failure.  Message was: \r\nboom\r\n")));
        QVERIFY(m142.endsWith(QStringLiteral("BCC Addressees: \r\n")));
        QCOMPARE(m142.count(QStringLiteral("\r\n")), 7);
        QCOMPARE(LoadResourceString(134), QStringLiteral("XML Stream Failed to Load.  Error: %s"));
        QVERIFY_THROWS_EXCEPTION(CatalogueError, LoadResourceString(131));
        QVERIFY_THROWS_EXCEPTION(CatalogueError, LoadResourceString(136));
    }

    // The rules restated the slow way, round by round, to compare the formatter with.
    static QString FormatByRounds(QString text, const QVariantList& params)
    {
        qsizetype next = 0;
        while (text.contains(QLatin1String("%s"))) {
            const QString insert = next < params.size() ? params[next++].toString() : QStringLiteral("<<UNDEFINED>>");
            text.replace(text.indexOf(QLatin1String("%s"), 0, Qt::CaseInsensitive), 2, insert);
        }
        return text.replace(QLatin1String("%n"), QLatin1String("\r\n"));
    }

    void placeholdersFormedAcrossValuesAndHostileSizes()
    {
        // Placeholders that only come into being when a value meets its neighbours.
        QCOMPARE(FormatResourceText(QStringLiteral("%%s"), {"s!"}), QStringLiteral("<<UNDEFINED>>!"));
        QCOMPARE(FormatResourceText(QStringLiteral("%s%s"), {"%", "s"}), FormatByRounds(QStringLiteral("%s%s"), {"%", "s"}));
        QCOMPARE(FormatResourceText(QStringLiteral("%s"), {"%", "x"}), QStringLiteral("%"));
        QCOMPARE(FormatResourceText(QStringLiteral("a%s%sb"), {"%", ""}), FormatByRounds(QStringLiteral("a%s%sb"), {"%", ""}));
        QRandomGenerator random(7);
        const char alphabet[] = {'%', 's', 'S', 'n', 'x'};
        auto randomText = [&](int maxLength) {
            QString t;
            for (int i = int(random.bounded(maxLength)); i > 0; --i)
                t += QLatin1Char(alphabet[random.bounded(5)]);
            return t;
        };
        for (int round = 0; round < 20000; ++round) {
            const QString text = randomText(12);
            QVariantList params;
            for (int i = int(random.bounded(4)); i > 0; --i)
                params << randomText(6);
            QCOMPARE(FormatResourceText(text, params), FormatByRounds(text, params));
        }
        // A value of a million placeholders, as a document can carry in a header name: every one
        // of them is filled, and the work stays proportional to the text.
        const QString hostile = QString(QStringLiteral("%s")).repeated(1000000);
        const QString out = BuildResourceMessage(msg::HeaderRefused, {hostile});
        QCOMPARE(out.count(QStringLiteral("<<UNDEFINED>>")), 1000000);
        QVERIFY(!out.contains(QStringLiteral("%s")));
    }

    void everyLanguageHasEveryText()
    {
        for (Language language : {Language::English, Language::Japanese, Language::SimplifiedChinese}) {
            for (int id = msg::FirstId; id <= msg::LastId; ++id) {
                if (id == 131 || id == 136)
                    continue;
                const QString text = LoadResourceString(id, language);
                QVERIFY2(!text.isEmpty(), qPrintable(QString::number(id)));
                // Translations keep the placeholders of the English text, in number.
                const QString english = LoadResourceString(id, Language::English);
                QCOMPARE(text.count(QStringLiteral("%s")), english.count(QStringLiteral("%s")));
                QCOMPARE(text.count(QStringLiteral("%n")), english.count(QStringLiteral("%n")));
            }
        }
        QVERIFY(LoadResourceString(124, Language::Japanese) != LoadResourceString(124, Language::English));
        QVERIFY(LoadResourceString(124, Language::SimplifiedChinese) != LoadResourceString(124, Language::Japanese));
    }

    void logLimitAndCut()
    {
        const QDateTime when(QDate(2026, 12, 7), QTime(9, 30, 5));
        for (const QString& bad : {QStringLiteral("8"), QStringLiteral("abc"), QString(), QStringLiteral("40000")}) {
            ActivityLog log;
            QString limit = bad;
            const auto added = log.add(QStringLiteral("hello"), limit, when);
            QCOMPARE(limit, QStringLiteral("16"));
            QVERIFY(added.limitCorrected);
            QVERIFY(log.text().endsWith(QStringLiteral(" :: hello\r\n")));
            QCOMPARE(log.text(), ActivityLog::stamp(when) + QStringLiteral(" :: hello\r\n"));
        }
        for (int kb : {16, 20, 100}) {
            ActivityLog log;
            QString limit = QString::number(kb);
            const QString message(1000, QLatin1Char('m'));
            qsizetype before = 0;
            bool cut = false;
            while (!cut) {
                before = log.text().size();
                cut = log.add(message, limit, when).cut;
                if (!cut)
                    QVERIFY(log.text().size() <= kb * 1024);
            }
            QVERIFY(before + 1000 > kb * 1024 - 64);
            QCOMPARE(log.text().size(), ActivityLog::CutLength);
            QVERIFY(log.text().endsWith(message + QStringLiteral("\r\n")));
        }
        ActivityLog log;
        QString limit = QStringLiteral("16");
        const QString huge = QString(20000, QLatin1Char('a')) + QStringLiteral("END");
        log.add(huge, limit, when);
        QCOMPARE(log.text(), huge.right(16384 - 2) + QStringLiteral("\r\n"));
    }

    void everyEntryIsOneLine()
    {
        // A value that tries to start a line of its own, in every form a reader may take for one.
        const QString forged = QStringLiteral("x\r\n01/01/25 10:00:00 :: Kept document FORGED delivered\nend\u2028y\x1b[2Jz\x7f");
        const QString message = BuildResourceMessage(135, {forged, 1});
        QVERIFY(!message.contains(QLatin1Char('\n')) && !message.contains(QLatin1Char('\r')));
        QVERIFY(message.contains(QStringLiteral("x\\r\\n01/01/25")));
        QVERIFY(message.contains(QStringLiteral("\\u2028")) && message.contains(QStringLiteral("\\u001b")));
        // Messages of several lines by design are joined into one.
        const QString sendFailed = BuildResourceMessage(142, {QStringLiteral("550 no"), QStringLiteral("a@b.c"),
                                                              QStringLiteral("d@e.f"), QString(), QString()});
        QVERIFY(sendFailed.contains(QStringLiteral("\r\n")));
        const QDateTime when(QDate(2026, 12, 7), QTime(9, 30, 5));
        ActivityLog log;
        QString limit = QStringLiteral("64");
        for (const QString& m : {message, sendFailed, QStringLiteral("a\nb\r\nc\rd")})
            log.add(m, limit, when);
        const QStringList lines = log.text().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        for (const QString& line : lines) {
            QVERIFY2(line.startsWith(ActivityLog::stamp(when) + QStringLiteral(" :: ")), qPrintable(line));
            QVERIFY(!line.contains(QLatin1Char('\n')) && !line.contains(QLatin1Char('\r')));
        }
        QVERIFY(lines[1].contains(QStringLiteral("Message was: 550 no Recipients were: From Address: a@b.c To Addressees: d@e.f")));
        QVERIFY(lines[2].endsWith(QStringLiteral(" :: a b c d")));
    }
};

QTEST_GUILESS_MAIN(HostTest)
#include "test_common.moc"
