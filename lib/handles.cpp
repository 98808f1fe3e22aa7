// Closing what the owners in handles.h hold.
#include <cerrno>

#include <unistd.h>

#include "handles.h"

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0) {
        int reason = errno;
        close(fd_);
        errno = reason;
    }
    fd_ = fd;
}
