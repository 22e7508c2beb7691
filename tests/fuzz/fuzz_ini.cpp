// The settings file reader on arbitrary files, and a write that must read back as written.
#include "common/IniServices.h"

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace {
QString ScratchFile()
{
    static QString path = [] {
        QByteArray dir = QFile::encodeName(QDir::tempPath()) + "/swn-fuzz-ini-XXXXXX";
        if (!::mkdtemp(dir.data()))
            std::abort();
        return QFile::decodeName(dir) + QStringLiteral("/relay.ini");
    }();
    return path;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = ScratchFile();
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        f.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    const swn::IniServices ini(path);
    const QString section = QStringLiteral("SwiftnoteRelay");
    for (const char* key : {"RelayMode", "SMTPServer", "BTPassword", ""})
        if (ini.ReadIniValue(section, QString::fromLatin1(key), QStringLiteral("d")).size() >= swn::IniServices::BufferSize)
            std::abort();
    // Whatever the file held, a plain value written now reads back unchanged.
    const QString value = QStringLiteral("mail.example.org:2525");
    if (!ini.WriteIniValue(section, QStringLiteral("SMTPServer"), value))
        std::abort();
    if (ini.ReadIniValue(section, QStringLiteral("SMTPServer"), QString()) != value)
        std::abort();
    return 0;
}
