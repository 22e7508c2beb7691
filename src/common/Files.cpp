#include "common/Files.h"

#include <cerrno>
#include <unistd.h>

namespace swn {

bool WriteFully(int fd, const char* data, qsizetype length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        data += n;
        length -= n;
    }
    return true;
}

} // namespace swn
