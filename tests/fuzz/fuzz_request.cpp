// Request assembly as the window's reception sees it: pieces of arbitrary bytes, then the header split.
#include "netrelay/RequestAssembly.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte sets the piece size, so the terminator lands split in every way.
    if (size == 0)
        return 0;
    const size_t piece = 1 + data[0] % 64;
    QByteArray buffer;
    for (size_t at = 1; at < size; at += piece) {
        buffer.append(reinterpret_cast<const char*>(data + at), qsizetype(qMin(piece, size - at)));
        if (!swn::IsCompleteRequest(buffer))
            continue;
        const QByteArray version = swn::VersionField(buffer);
        // Only a well-formed version may reach the reply's status line.
        if (!swn::IsVersionField(version))
            std::abort();
        const qsizetype before = buffer.size();
        swn::TakeOffHeader(buffer);
        if (buffer.size() > before)
            std::abort();
        const QByteArray reply = swn::BuildReply(version);
        if (reply != version + " 200 \r\nContent-Length: 0\r\n\r\n")
            std::abort();
        if (swn::CharacterCount(buffer) > buffer.size())
            std::abort();
        buffer.clear();
    }
    return 0;
}
