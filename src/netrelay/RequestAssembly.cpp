#include "netrelay/RequestAssembly.h"

namespace swn {

bool IsCompleteRequest(const QByteArray& received)
{
    return received.endsWith(QByteArrayView(RequestTerminator, RequestTerminatorLength));
}

QByteArray VersionField(const QByteArray& request)
{
    return SafeVersionField(request);
}

void TakeOffHeader(QByteArray& request)
{
    const qsizetype at = request.indexOf("\r\n\r\n");
    if (at >= 0)
        request.remove(0, at + 4);
    else
        request.remove(0, qMin<qsizetype>(3, request.size()));
}

} // namespace swn
