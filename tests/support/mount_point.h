// A file system of its own mounted on a test's directory, to meet what a
// dedicated volume does: a root that cannot be removed, a file system that
// refuses writes. Mounting needs the right to (root natively); where it is
// missing (under Wine, in a container without the capability) mounted() is
// false and why() says so, for the test to skip with the reason.
#pragma once

#include <string>

#include "support/wide.h"

namespace odb::test {

class scoped_mount {
public:
    // Mounts an empty tmpfs on an existing directory; unmounted at the end.
    explicit scoped_mount(const wide_string& directory);
    ~scoped_mount();
    scoped_mount(const scoped_mount&) = delete;
    scoped_mount& operator=(const scoped_mount&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    // Remounts it read-only; false (and why() set) when it cannot.
    bool make_read_only();

private:
    std::string directory_;
    bool mounted_ = false;
    std::string why_;
};

}  // namespace odb::test
