// Floor of workload 4: the same wait with raw calls, polling with the same
// sleep, and, for comparison, waiting in the kernel.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include "handoff.h"

namespace bench::floor {

int take_lock(const std::string& path, unsigned poll_sleep_ms) {
    for (;;) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return -1;
        struct flock request {};
        request.l_type = F_WRLCK;
        request.l_whence = SEEK_SET;
        request.l_start = static_cast<off_t>(0x7FFFFFFF00000000LL);
        request.l_len = 1;
        if (::fcntl(fd, poll_sleep_ms == 0 ? F_OFD_SETLKW : F_OFD_SETLK, &request) == 0) return fd;
        ::close(fd);
        struct timespec pause = {static_cast<time_t>(poll_sleep_ms / 1000),
                                 static_cast<long>(poll_sleep_ms % 1000) * 1000000L};
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace bench::floor
