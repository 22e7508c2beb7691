#pragma once
// Writing to a descriptor without losing the end of the data to a short write or a signal.
#include <QtGlobal>

namespace swn {

// Writes all `length` bytes; false with errno set when the descriptor refused some of them.
bool WriteFully(int fd, const char* data, qsizetype length);

} // namespace swn
