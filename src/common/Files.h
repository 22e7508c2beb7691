#pragma once
// Writing to a descriptor without losing the end of the data to a short write or a signal.
#include <QString>
#include <QtGlobal>

namespace swn {

// Writes all `length` bytes; false with errno set when the descriptor refused some of them.
bool WriteFully(int fd, const char* data, qsizetype length);

// An advisory lock on the file at `path` (made 0600 when missing), held while the returned
// descriptor is open: the system drops it with the process, and a second open of the file in
// the same process is refused like another process. On success the file says who holds it.
// Returns the descriptor; -1 when another holds it (`holder`: what that one wrote into the
// file); -2 when the file cannot be used (`error`: the errno).
int TryLockFile(const QString& path, QString* holder, int* error);

} // namespace swn
