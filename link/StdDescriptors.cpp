#include "link/StdDescriptors.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace vendrill {

StdDescriptorsFound GuardStandardDescriptors()
{
    StdDescriptorsFound found;
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        found.closed[fd] = true;
        // The lower ones are open by now, so open() returns fd itself.
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null == fd)
            continue;
        if (null < 0 || ::dup2(null, fd) != fd)
            found.ok = false;
        if (null >= 0)
            ::close(null);
    }
    return found;
}

}  // namespace vendrill
