// The settings file rules, the message catalogue and the activity log, without a window.
#include "common/ActivityLog.h"
#include "common/Catalogue.h"
#include "common/DurableFile.h"
#include "common/HostPort.h"
#include "common/HttpHead.h"
#include "common/IniServices.h"

#include <QFile>
#include <QTemporaryDir>
#include <QRandomGenerator>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

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

    void iniWritesThroughALink()
    {
        // The settings file is a link into another folder: the link stays, its target changes.
        const QString real = file("real");
        QVERIFY(QDir().mkpath(real));
        const QString target = real + QStringLiteral("/settings.ini");
        WriteAll(target, "[SwiftnoteRelay]\nA=1\n");
        QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        const QString link = file("linked.ini");
        QCOMPARE(::symlink("real/settings.ini", QFile::encodeName(link).constData()), 0);
        const IniServices ini(link);
        QVERIFY(ini.WriteIniValue(S, "B", "2"));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(ReadAll(target), QByteArray("[SwiftnoteRelay]\nA=1\nB=2\n"));
        QCOMPARE(ini.ReadIniValue(S, "B", "d"), QStringLiteral("2"));
        // The target keeps its mode, and no temporary is left in either folder.
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(target).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0640);
        QCOMPARE(QDir(real).entryList(QDir::Files | QDir::Hidden).size(), 1);
        QCOMPARE(QDir(dir.path()).entryList({"linked.ini*"}, QDir::Files | QDir::Hidden | QDir::System).size(), 1);

        // A link to a link, and one to a file not there yet.
        const QString chain = file("chain.ini");
        QCOMPARE(::symlink(QFile::encodeName(link).constData(), QFile::encodeName(chain).constData()), 0);
        QVERIFY(IniServices(chain).WriteIniValue(S, "C", "3"));
        QVERIFY(QFileInfo(chain).isSymLink() && QFileInfo(link).isSymLink());
        QCOMPARE(IniServices(target).ReadIniValue(S, "C", "d"), QStringLiteral("3"));
        const QString dangling = file("dangling.ini");
        QCOMPARE(::symlink("real/later.ini", QFile::encodeName(dangling).constData()), 0);
        QVERIFY(IniServices(dangling).WriteIniValue(S, "D", "4"));
        QVERIFY(QFileInfo(dangling).isSymLink());
        QCOMPARE(ReadAll(real + QStringLiteral("/later.ini")), QByteArray("[SwiftnoteRelay]\nD=4\n"));
        // A loop is no target: the write fails and the link stays a link.
        const QString loop = file("loop.ini");
        QCOMPARE(::symlink("loop.ini", QFile::encodeName(loop).constData()), 0);
        QVERIFY(ResolveLinks(loop).isEmpty());
        QVERIFY(!IniServices(loop).WriteIniValue(S, "E", "5"));
        QVERIFY(QFileInfo(loop).isSymLink());
        // A relative target behind a linked folder is taken from the folder on disk.
        const QString deep = file("deep/inner");
        QVERIFY(QDir().mkpath(deep));
        const QString viaLink = file("via");
        QCOMPARE(::symlink(QFile::encodeName(deep).constData(), QFile::encodeName(viaLink).constData()), 0);
        QCOMPARE(::symlink("../beside.ini", QFile::encodeName(deep + QStringLiteral("/s.ini")).constData()), 0);
        QVERIFY(IniServices(viaLink + QStringLiteral("/s.ini")).WriteIniValue(S, "F", "6"));
        QCOMPARE(ReadAll(file("deep/beside.ini")), QByteArray("[SwiftnoteRelay]\nF=6\n"));
    }

    void replaceFileIsWholeOrNothing()
    {
        const QString folder = file("durable");
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/a.txt");
        ReplaceFailure failure;
        QVERIFY(ReplaceFile(path, "one\n", {}, &failure));
        QCOMPARE(failure.stage, ReplaceFailure::None);
        QCOMPARE(ReadAll(path), QByteArray("one\n"));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        // A named temporary that exists already is not used unless reuse is asked for.
        ReplaceOptions named;
        named.temporary = folder + QStringLiteral("/.a.txt.tmp");
        WriteAll(named.temporary, "leftover");
        QVERIFY(!ReplaceFile(path, "two\n", named, &failure));
        QCOMPARE(failure.stage, ReplaceFailure::Create);
        QVERIFY2(failure.describe().startsWith(QStringLiteral("cannot create ") + named.temporary + QStringLiteral(": ")),
                 qPrintable(failure.describe()));
        QCOMPARE(ReadAll(path), QByteArray("one\n"));
        named.reuseTemporary = true;
        QVERIFY(ReplaceFile(path, "two\n", named, &failure));
        QCOMPARE(ReadAll(path), QByteArray("two\n"));
        QVERIFY(!QFile::exists(named.temporary));
        // Never through a link at the temporary's name.
        QCOMPARE(::symlink("elsewhere", QFile::encodeName(named.temporary).constData()), 0);
        QVERIFY(!ReplaceFile(path, "three\n", named, &failure));
        QVERIFY(!QFile::exists(folder + QStringLiteral("/elsewhere")));
        QCOMPARE(ReadAll(path), QByteArray("two\n"));
        QFile::remove(named.temporary);
        // Mode -1 keeps the mode of the file replaced.
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        ReplaceOptions keep;
        keep.mode = -1;
        QVERIFY(ReplaceFile(path, "four\n", keep));
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0604);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 1);
        // A folder that is not there: nothing written, the failure says where.
        QVERIFY(!ReplaceFile(file("missing/b.txt"), "x", {}, &failure));
        QCOMPARE(failure.stage, ReplaceFailure::Create);
        QVERIFY(!FlushFolder(file("missing")));
        QVERIFY(FlushFolder(folder));
    }

    void hostPortReading()
    {
        HostPort hp;
        QString why;
        QVERIFY(ParseHostPort(QStringLiteral("192.0.2.1:25"), &hp, &why));
        QCOMPARE(hp.host, QStringLiteral("192.0.2.1"));
        QCOMPARE(hp.port, 25);
        QCOMPARE(hp.ipVersion, 4);
        QVERIFY(ParseHostPort(QStringLiteral(" mail.example.org "), &hp, &why));
        QCOMPARE(hp.host, QStringLiteral("mail.example.org"));
        QCOMPARE(hp.port, 0);
        QCOMPARE(hp.ipVersion, 0);
        QVERIFY(ParseHostPort(QStringLiteral("mail.example.org:587"), &hp, &why, PortRule::Required));
        QCOMPARE(hp.port, 587);
        QVERIFY(ParseHostPort(QStringLiteral("[2001:db8::1]"), &hp, &why));
        QCOMPARE(hp.host, QStringLiteral("2001:db8::1"));
        QCOMPARE(hp.ipVersion, 6);
        QCOMPARE(hp.port, 0);
        QVERIFY(ParseHostPort(QStringLiteral("[::1]:9469"), &hp, &why, PortRule::Required));
        QCOMPARE(hp.host, QStringLiteral("::1"));
        QCOMPARE(hp.port, 9469);
        QVERIFY(ParseHostPort(QStringLiteral("[fe80::1%lo]:25"), &hp, &why));
        QCOMPARE(hp.host, QStringLiteral("fe80::1%lo"));
        QCOMPARE(hp.ipVersion, 6);
        QCOMPARE(hp.port, 25);
        QVERIFY(ParseHostPort(QStringLiteral("localhost:65535"), &hp, &why));
        QCOMPARE(hp.port, 65535);

        // Port rules.
        for (const char* bad : {"host:0", "host:65536", "host:", "host:-1", "host:+25", "host:25x", "host:123456",
                                "[::1]:", "[::1]:0", "host: "}) {
            QVERIFY2(!ParseHostPort(QString::fromLatin1(bad), &hp, &why), bad);
            QCOMPARE(why, QStringLiteral("no valid port"));
        }
        QVERIFY(!ParseHostPort(QStringLiteral("host"), &hp, &why, PortRule::Required));
        QCOMPARE(why, QStringLiteral("the port is missing"));
        QVERIFY(!ParseHostPort(QStringLiteral("[::1]"), &hp, &why, PortRule::Required));
        // Colons: an IPv6 address needs brackets, and is told so.
        QVERIFY(!ParseHostPort(QStringLiteral("2001:db8::1"), &hp, &why));
        QVERIFY2(why.contains(QStringLiteral("[2001:db8::1]:25")), qPrintable(why));
        QVERIFY(!ParseHostPort(QStringLiteral("fe80::1%lo"), &hp, &why));
        QVERIFY(!ParseHostPort(QStringLiteral("host:25:26"), &hp, &why));
        QCOMPARE(why, QStringLiteral("more than one ':'"));
        // Strict dotted quads: no short forms, no octal, no fifth part, no octet above 255.
        for (const char* bad : {"127.1", "10", "010.1.2.3", "1.2.3.04", "1.2.3.4.5", "256.1.1.1", "1.2.3."}) {
            QVERIFY2(!ParseHostPort(QString::fromLatin1(bad), &hp, &why), bad);
        }
        QVERIFY(!ParseHostPort(QStringLiteral("127.1:25"), &hp, &why));
        QCOMPARE(why, QStringLiteral("'127.1' is not an IPv4 address"));
        // Brackets hold an address, and nothing but a port follows them.
        for (const char* bad : {"[::1", "[nonsense]:25", "[]:25", "[::1]25", "[::1]x:25", "[fe80::1%]:25", "[fe80::1%a b]:25"})
            QVERIFY2(!ParseHostPort(QString::fromLatin1(bad), &hp, &why), bad);
        // Names: nothing that cannot stand in one.
        for (const char* bad : {"", "  ", ":25", "my host", "a/b", "user@host", "a,b:25", "ho%st"})
            QVERIFY2(!ParseHostPort(QString::fromLatin1(bad), &hp, &why), bad);
        QVERIFY(!why.isEmpty());

        QCOMPARE(IpLiteralVersion(QStringLiteral("127.0.0.1")), 4);
        QCOMPARE(IpLiteralVersion(QStringLiteral("::ffff:127.0.0.1")), 6);
        QCOMPARE(IpLiteralVersion(QStringLiteral("fe80::1%eth0")), 6);
        QCOMPARE(IpLiteralVersion(QStringLiteral("fe80::1%eth0"), false), 0);
        QCOMPARE(IpLiteralVersion(QStringLiteral("127.0.0.1%lo")), 0);
        QCOMPARE(IpLiteralVersion(QStringLiteral("::ffff:010.0.0.1")), 0);
        QCOMPARE(IpLiteralVersion(QStringLiteral("example.org")), 0);
    }

    void httpHeadReading()
    {
        using namespace swn::http;
        RequestLine line;
        QVERIFY(ParseRequestLine("GET /metrics?x=1 HTTP/1.1\r\n", &line));
        QCOMPARE(line.method, QByteArrayView("GET"));
        QCOMPARE(line.target, QByteArrayView("/metrics?x=1"));
        QCOMPARE(line.version, QByteArrayView("HTTP/1.1"));
        for (const char* bad : {"GET /metrics", "GET  /metrics HTTP/1.1", "GET /metrics HTTP/1.1 x", "G(T / HTTP/1.1",
                                " / HTTP/1.1", "GET / HTTP/1", "GET / HTTP/1.1234", "GET / http/1.1"})
            QVERIFY2(!ParseRequestLine(bad, &line), bad);
        QCOMPARE(SafeVersionField("POST / HTTP/1.1\r\nX: y HTTP/9.9"), QByteArray("HTTP/1.1"));
        QCOMPARE(SafeVersionField("POST / HTTP/1.1\nX"), QByteArray("HTTP/1.1"));
        QCOMPARE(SafeVersionField("POST /\nHTTP/1.1"), QByteArray("HTTP/1.0"));
        QCOMPARE(SafeVersionField("POST / HTTP/1.1\x01"), QByteArray("HTTP/1.0"));

        const QByteArray crlf = "GET / HTTP/1.1\r\nA: b\r\n\r\nbody";
        QCOMPARE(FindHeadEnd(crlf, 0, false), crlf.indexOf("body"));
        QCOMPARE(FindHeadEnd(crlf, 0, true), crlf.indexOf("body"));
        QCOMPARE(FindHeadEnd("GET / HTTP/1.1\nA: b\n\nbody", 0, false), -1);
        QCOMPARE(FindHeadEnd("GET / HTTP/1.1\nA: b\n\nbody", 0, true), 21);
        QCOMPARE(FindHeadEnd("GET / HTTP/1.1\nA: b\n\r\nbody", 0, true), 22);
        QCOMPARE(FindHeadEnd("GET / HTTP/1.1\r\nA: b\r\n", 0, true), -1);
        // From where the last search stopped: an end split across pieces is still found.
        QCOMPARE(FindHeadEnd(crlf, crlf.indexOf("\r\n\r\n"), false), crlf.indexOf("body"));

        QList<QPair<QByteArray, QByteArray>> fields;
        ForEachField("Host: a\r\nX-Long: one\r\n two \r\nnot a field\r\n:empty\r\nLast:\tz \r\n\r\nAfter: no\r\n",
                     [&](QByteArrayView name, QByteArrayView value) { fields.append({name.toByteArray(), value.toByteArray()}); });
        const QList<QPair<QByteArray, QByteArray>> expected{
            {"Host", "a"}, {"X-Long", "one"}, {"X-Long", "two"}, {"Last", "z"}};
        QCOMPARE(fields, expected);
        QVERIFY(SameName("content-LENGTH", "Content-Length"));
        QVERIFY(!SameName("Content-Length2", "Content-Length"));
        QCOMPARE(QByteArray(ReasonPhrase(431)), QByteArray(HeadTooLarge.reason));
        QCOMPARE(QByteArray(ReasonPhrase(400)), QByteArray(BadRequest.reason));
        QCOMPARE(QByteArray(ReasonPhrase(404)), QByteArray("Not Found"));
        QCOMPARE(QByteArray(ReasonPhrase(499)), QByteArray("Client Error"));
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
