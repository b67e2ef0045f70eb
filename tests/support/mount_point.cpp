#include "support/mount_point.h"

#ifndef _WIN32
#include <errno.h>
#include <sys/mount.h>

#include <cstring>
#endif

namespace odb::test {

#ifdef _WIN32

scoped_mount::scoped_mount(const wide_string&) : why_("Windows has no mount for a test to make") {}
scoped_mount::~scoped_mount() = default;
bool scoped_mount::make_read_only() { return false; }

#else

scoped_mount::scoped_mount(const wide_string& directory) : directory_(narrow(directory)) {
    if (::mount("qmfiledb-test", directory_.c_str(), "tmpfs", 0, "size=4m") == 0)
        mounted_ = true;
    else
        why_ = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
}

scoped_mount::~scoped_mount() {
    if (mounted_) ::umount2(directory_.c_str(), MNT_DETACH);
}

bool scoped_mount::make_read_only() {
    if (mounted_ && ::mount(nullptr, directory_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY,
                            nullptr) == 0)
        return true;
    why_ = std::string("cannot remount read-only: ") + std::strerror(errno);
    return false;
}

#endif

}  // namespace odb::test
