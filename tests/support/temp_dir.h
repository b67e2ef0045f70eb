// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
#pragma once

#include "support/wide.h"

namespace odb::test {

class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const wide_string& path() const { return path_; }
    wide_string operator/(const char* name) const { return join(path_, name); }

private:
    wide_string path_;
};

// Removes a directory tree; used for temp_dir and by tests that clean up.
void remove_tree(const wide_string& path);

}  // namespace odb::test
