// File-time setting for the walk tests: the engine's Win32 subset has no
// SetFileTime, so this one routine goes to the operating system directly.
#pragma once

#include "support/wide.h"

namespace odb::test {

// Sets a file's last-write time; false when that fails.
bool set_last_write_time(const wide_string& path, const FILETIME& time);

}  // namespace odb::test
