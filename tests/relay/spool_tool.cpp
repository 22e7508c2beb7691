// A spool worked by another process: `open DIR`, `store DIR` (the document on standard input;
// prints the id), `ids DIR`, `lock DIR` (takes the relay's lock and lets it go at once).
// Failures go to standard error with exit code 1.
#include "relay/Spool.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fputs("usage: spool_tool open|store|ids|lock DIR\n", stderr);
        return 2;
    }
    swn::Spool spool(args[2]);
    QString error;
    if (!spool.open(&error)) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(error));
        return 1;
    }
    if (args[1] == QLatin1String("store")) {
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly))
            return 2;
        const QString id = spool.store(in.readAll(), &error);
        if (id.isEmpty()) {
            std::fprintf(stderr, "%s\n", qUtf8Printable(error));
            return 1;
        }
        std::printf("%s\n", qUtf8Printable(id));
    } else if (args[1] == QLatin1String("ids")) {
        for (const QString& id : spool.ids())
            std::printf("%s\n", qUtf8Printable(id));
    } else if (args[1] == QLatin1String("lock")) {
        QString holder;
        if (!spool.lock(&holder, &error)) {
            std::fprintf(stderr, "%s: %s\n", qUtf8Printable(error), qUtf8Printable(holder));
            return 1;
        }
    } else if (args[1] != QLatin1String("open")) {
        return 2;
    }
    return 0;
}
