// btadmin: the tracker's side of the stand-in, from the command line. Creates database sets,
// databases and users, queues post office records for the relay, and lets the administrator
// look at, requeue or delete the records the relay parked.
#include "delivery/TextEncoding.h"
#include "tracker/TrackerStore.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

using namespace swn;
using namespace swn::tracker;

namespace {

const char* const kUsage =
    "Usage: btadmin [--root DIR] COMMAND ARGS...\n"
    "\n"
    "Commands:\n"
    "  create-dbset SET                          create a database set\n"
    "  create-db SET DB [--replicated --site NAME]\n"
    "                                            create a database in SET\n"
    "  add-user SET LOGIN PASSWORD [--db DB]...  add a user (or set its password) and\n"
    "                                            subscribe it to each DB\n"
    "  enable-postoffice SET DB                  let DB queue mail for the relay\n"
    "  enqueue SET DB PAYLOAD_FILE [--attach FILE=DESCRIPTION]... [--site NAME]\n"
    "          [--count N]                       queue one mail record (or N alike, in one\n"
    "                                            go); prints the dbid of each. The payload\n"
    "                                            file is read in the encoding its XML\n"
    "                                            declaration names (UTF-8 without one;\n"
    "                                            a byte order mark wins) and kept as text;\n"
    "                                            a file not valid in it is refused.\n"
    "                                            Attachments are kept byte for byte\n"
    "  list SET DB                               the records: dbid, site, payload bytes,\n"
    "                                            attachments, state (queued or parked),\n"
    "                                            tab-separated\n"
    "  show SET DB DBID                          one record: its state, site, when and why\n"
    "                                            it was parked, its attachments, then its\n"
    "                                            payload\n"
    "  requeue SET DB DBID                       queue a parked record again, at its old\n"
    "                                            place in the queue\n"
    "  delete SET DB DBID                        delete a record and its attachments\n"
    "\n"
    "The relay parks a record it can never send (a malformed document, every\n"
    "recipient refused for good): it stays in the database but is no longer polled.\n"
    "\n"
    "Options:\n"
    "  --root DIR   the tracker's folder (default " SWN_TRACKER_DIR ")\n"
    "  --help       this text\n";

struct UsageError {
    QString text;
};

// The command was right but what it was given cannot be used.
struct InputError {
    QString text;
};

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw UsageError{QStringLiteral("cannot read %1: %2").arg(path, f.errorString())};
    return f.readAll();
}

// Splits the positional arguments from the options a command allows.
struct Arguments {
    QStringList positional;
    QMultiMap<QString, QString> values;
    QStringList flags;
};

Arguments Parse(const QStringList& args, const QStringList& valueOptions, const QStringList& flagOptions)
{
    Arguments out;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (valueOptions.contains(a)) {
            if (i + 1 >= args.size())
                throw UsageError{QStringLiteral("%1 needs a value").arg(a)};
            out.values.insert(a, args[++i]);
        } else if (flagOptions.contains(a)) {
            out.flags << a;
        } else if (a.startsWith(QLatin1String("--"))) {
            throw UsageError{QStringLiteral("unknown option %1").arg(a)};
        } else {
            out.positional << a;
        }
    }
    return out;
}

// Records one enqueue may queue in its one transaction.
constexpr qint64 kMaxCount = 1000000;

void Expect(const Arguments& a, int count, const char* command)
{
    if (a.positional.size() != count)
        throw UsageError{QStringLiteral("%1 takes %2 arguments (see btadmin --help)").arg(QLatin1String(command)).arg(count)};
}

qint64 RecordKey(const QString& text)
{
    bool ok = false;
    const qint64 dbid = text.toLongLong(&ok);
    if (!ok || dbid <= 0)
        throw UsageError{QStringLiteral("'%1' is not a record number (a dbid as list prints it)").arg(text)};
    return dbid;
}

// One line of text however the reason was written.
QString OneLine(const QString& text)
{
    QString line = text;
    for (QChar& c : line)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    return line;
}

void Show(const RecordDetails& r)
{
    std::printf("dbid: %lld\n", static_cast<long long>(r.dbid));
    std::printf("state: %s\n", r.parked ? "parked" : "queued");
    std::printf("site: %s\n", qUtf8Printable(r.site));
    if (r.parked) {
        std::printf("parked at: %s\n", qUtf8Printable(r.parkedAt.toString(Qt::ISODate)));
        std::printf("reason: %s\n", qUtf8Printable(OneLine(r.parkedReason)));
    }
    for (const AttachmentInfo& a : r.attachments)
        std::printf("attachment: %s (%lld bytes)\n", qUtf8Printable(OneLine(a.description)), static_cast<long long>(a.bytes));
    std::printf("payload:\n");
    const QByteArray payload = r.payload.toUtf8();
    std::fwrite(payload.constData(), 1, size_t(payload.size()), stdout);
    if (!payload.endsWith('\n'))
        std::fputc('\n', stdout);
}

// Holds the poll lock of a database (and with --write, its write lock too) until standard input
// closes, so that tests can play a second relay or a busy tracker in another process.
int HoldLock(TrackerStore& store, const Arguments& a)
{
    Database setDb = store.openSet(a.positional[0]);
    if (!store.findDatabase(setDb, a.positional[1]))
        throw TrackerError(tracker_errors::NoSuchDatabase, QStringLiteral("database '%1' does not exist").arg(a.positional[1]));
    QueueLock lock;
    QString holder;
    if (!lock.tryLock(QueueLock::PathFor(store.databasePath(a.positional[0], a.positional[1])), &holder)) {
        std::fprintf(stderr, "btadmin: the poll lock is held by %s\n", qUtf8Printable(holder));
        return 1;
    }
    Database db;
    std::optional<Transaction> write;
    if (a.flags.contains(QStringLiteral("--write"))) {
        db = store.openDatabase(a.positional[0], a.positional[1]);
        write.emplace(db);
    }
    std::printf("locked\n");
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) {
    }
    return 0;
}

int Run(TrackerStore& store, const QString& command, const QStringList& rest)
{
    if (command == QLatin1String("create-dbset")) {
        const Arguments a = Parse(rest, {}, {});
        Expect(a, 1, "create-dbset");
        store.createDatabaseSet(a.positional[0]);
    } else if (command == QLatin1String("create-db")) {
        const Arguments a = Parse(rest, {QStringLiteral("--site")}, {QStringLiteral("--replicated")});
        Expect(a, 2, "create-db");
        const bool replicated = a.flags.contains(QStringLiteral("--replicated"));
        if (!replicated && a.values.contains(QStringLiteral("--site")))
            throw UsageError{QStringLiteral("--site belongs to a --replicated database")};
        store.createDatabase(a.positional[0], a.positional[1], replicated, a.values.value(QStringLiteral("--site")));
    } else if (command == QLatin1String("add-user")) {
        const Arguments a = Parse(rest, {QStringLiteral("--db")}, {});
        Expect(a, 3, "add-user");
        QStringList dbs = a.values.values(QStringLiteral("--db"));
        std::reverse(dbs.begin(), dbs.end());
        store.addUser(a.positional[0], a.positional[1], a.positional[2], dbs);
    } else if (command == QLatin1String("enable-postoffice")) {
        const Arguments a = Parse(rest, {}, {});
        Expect(a, 2, "enable-postoffice");
        store.enablePostOffice(a.positional[0], a.positional[1]);
    } else if (command == QLatin1String("enqueue")) {
        const Arguments a = Parse(rest, {QStringLiteral("--attach"), QStringLiteral("--site"), QStringLiteral("--count")}, {});
        Expect(a, 3, "enqueue");
        QList<NewAttachment> attachments;
        QStringList attachArgs = a.values.values(QStringLiteral("--attach"));
        std::reverse(attachArgs.begin(), attachArgs.end()); // in the order given
        for (const QString& attachArg : attachArgs) {
            const qsizetype eq = attachArg.indexOf(QLatin1Char('='));
            if (eq <= 0 || eq == attachArg.size() - 1)
                throw UsageError{QStringLiteral("--attach wants FILE=DESCRIPTION, not '%1'").arg(attachArg)};
            attachments.append({attachArg.mid(eq + 1), ReadFile(attachArg.left(eq))});
        }
        qint64 count = 1;
        if (a.values.contains(QStringLiteral("--count"))) {
            bool ok = false;
            count = a.values.value(QStringLiteral("--count")).toLongLong(&ok);
            if (!ok || count < 1 || count > kMaxCount)
                throw UsageError{QStringLiteral("--count wants a number from 1 to %1, not '%2'")
                                     .arg(kMaxCount).arg(a.values.value(QStringLiteral("--count")))};
        }
        // The tracker holds the document as text: it is read in the encoding the file itself
        // names, so that the record says what the file says.
        const DecodedDocument decoded = DecodeDocument(ReadFile(a.positional[2]));
        if (!decoded.error.isEmpty())
            throw InputError{QStringLiteral("%1: %2; nothing was queued").arg(a.positional[2], decoded.error)};
        NewRecord record{QString::fromUtf8(decoded.utf8), attachments, std::nullopt};
        if (a.values.contains(QStringLiteral("--site")))
            record.site = a.values.value(QStringLiteral("--site"));
        const QList<qint64> dbids = store.enqueueMany(a.positional[0], a.positional[1], QList<NewRecord>(count, record));
        for (const qint64 dbid : dbids)
            std::printf("%lld\n", static_cast<long long>(dbid));
    } else if (command == QLatin1String("list")) {
        const Arguments a = Parse(rest, {}, {});
        Expect(a, 2, "list");
        for (const QueuedRecord& r : store.list(a.positional[0], a.positional[1]))
            std::printf("%lld\t%s\t%lld\t%d\t%s\n", static_cast<long long>(r.dbid), qUtf8Printable(r.site),
                        static_cast<long long>(r.payloadBytes), r.attachments, r.parked ? "parked" : "queued");
    } else if (command == QLatin1String("show")) {
        const Arguments a = Parse(rest, {}, {});
        Expect(a, 3, "show");
        Show(store.show(a.positional[0], a.positional[1], RecordKey(a.positional[2])));
    } else if (command == QLatin1String("requeue")) {
        const Arguments a = Parse(rest, {}, {});
        Expect(a, 3, "requeue");
        store.requeue(a.positional[0], a.positional[1], RecordKey(a.positional[2]));
    } else if (command == QLatin1String("delete")) {
        const Arguments a = Parse(rest, {}, {});
        Expect(a, 3, "delete");
        store.deleteRecord(a.positional[0], a.positional[1], RecordKey(a.positional[2]));
    } else if (command == QLatin1String("hold-lock")) {
        const Arguments a = Parse(rest, {}, {QStringLiteral("--write")});
        Expect(a, 2, "hold-lock");
        return HoldLock(store, a);
    } else {
        throw UsageError{QStringLiteral("unknown command '%1' (see btadmin --help)").arg(command)};
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(kUsage, args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? 2 : 0;
    }
    QString root = QStringLiteral(SWN_TRACKER_DIR);
    const qsizetype rootAt = args.indexOf(QStringLiteral("--root"));
    if (rootAt >= 0) {
        if (rootAt + 1 >= args.size()) {
            std::fputs("btadmin: --root needs a folder\n", stderr);
            return 2;
        }
        root = args[rootAt + 1];
        args.remove(rootAt, 2);
    }
    if (args.isEmpty()) {
        std::fputs("btadmin: no command (see btadmin --help)\n", stderr);
        return 2;
    }
    TrackerStore store(root);
    try {
        const int exitCode = Run(store, args[0], args.mid(1));
        // A listing cut short, or dbids nobody received, must not look like success.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            const int error = errno;
            std::fprintf(stderr, "btadmin: cannot write the output: %s\n", std::strerror(error));
            return 1;
        }
        return exitCode;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "btadmin: %s\n", qUtf8Printable(e.text));
        return 2;
    } catch (const InputError& e) {
        std::fprintf(stderr, "btadmin: %s\n", qUtf8Printable(e.text));
        return 1;
    } catch (const TrackerError& e) {
        std::fprintf(stderr, "btadmin: %s (error %d)\n", qUtf8Printable(e.description()), e.number());
        return 1;
    } catch (const std::exception& e) {
        // Out of memory for a huge file, for one: a line and an exit code, not an abort.
        std::fprintf(stderr, "btadmin: %s\n", e.what());
        return 1;
    }
}
