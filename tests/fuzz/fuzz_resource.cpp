// Message formatting with arbitrary identifiers and parameter values.
#include "common/Catalogue.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int id = 100 + data[0] % 80;
    swn::SetCatalogueLanguage(swn::Language(data[1] % 3));
    QVariantList params;
    for (const QByteArray& part : QByteArray(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2)).split('\0'))
        params << QString::fromUtf8(part);
    try {
        const QString text = swn::BuildResourceMessage(id, params);
        Q_UNUSED(text);
    } catch (const swn::CatalogueError& e) {
        if (swn::HasResourceString(e.id()))
            std::abort();
    }
    // A template of the input's own: must end, whatever its placeholders.
    const QString own = swn::FormatResourceText(QString::fromUtf8(reinterpret_cast<const char*>(data), int(size)), params);
    if (own.contains(QLatin1String("%s")) && params.size() < 1000)
        std::abort();
    return 0;
}
