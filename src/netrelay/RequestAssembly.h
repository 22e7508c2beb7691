#pragma once
// The whole-buffer request rules the window's reception used before the incremental framer:
// complete when the bytes end with the terminator, the version from the request line, the
// header cut off at the first empty line.
#include "netrelay/HttpFraming.h"

#include <QByteArray>

namespace swn {

bool IsCompleteRequest(const QByteArray& received);
// Third blank-separated field of the request line when it reads "HTTP/" digits "." digits,
// otherwise "HTTP/1.0". The line ends at its first LF.
QByteArray VersionField(const QByteArray& request);
// Removes everything up to and including the first CR LF CR LF (without one: the first three bytes).
void TakeOffHeader(QByteArray& request);

} // namespace swn
