// Whole-file reads and writes through the Win32 subset, for setting up and
// checking test files in a few words.
#pragma once

#include <string>

#include "support/wide.h"

namespace odb::test {

// Creates or replaces the file with exactly these bytes.
bool write_file(const wide_string& path, const std::string& bytes);
// The file's bytes; `ok` false if it cannot be opened or read.
std::string read_file(const wide_string& path, bool* ok = nullptr);
// Whether a file or directory of that name exists.
bool path_exists(const wide_string& path);

#ifndef _WIN32
// How many descriptors of this process are open on the file at `path`, or
// on the file that was there before it was deleted.
int descriptors_on(const wide_string& path);
#endif

}  // namespace odb::test
