#include "platform/standard_streams.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace qs::platform {

void occupyStandardDescriptors() {
    for (int wanted = 0; wanted <= 2; ++wanted) {
        if (::fcntl(wanted, F_GETFD) != -1 || errno != EBADF) continue;
        // open(2) returns the lowest free descriptor, which is `wanted` since
        // every lower one is open by now; anything else is not ours to keep.
        int fd = -1;
        do {
            fd = ::open("/dev/null", O_RDWR);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 && fd != wanted) ::close(fd);
    }
}

bool isTerminal(int fd) { return ::isatty(fd) == 1; }

}  // namespace qs::platform
