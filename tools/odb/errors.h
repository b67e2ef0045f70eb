// How the tool fails: usage errors (exit 2), and failures of an operation
// (exit 1) that name the library's status, what it means and the path.
#pragma once

#include <stdexcept>
#include <string>

#include "qmfiledb.h"

namespace odbtool {

enum exit_code { exit_ok = 0, exit_failure = 1, exit_usage = 2 };

// A command line that cannot be carried out as written.
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An operation that failed; the message is complete.
struct tool_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An operation that failed with a library status.
struct status_error : tool_error {
    status_error(odb_status status, const std::string& message)
        : tool_error(message), status(status) {}
    odb_status status;
};

// One line on what a status means.
const char* status_meaning(odb_status status);
// "ODB_E_NO_DATABASE (0xdb000002): the directory holds no valid marker file".
std::string describe_status(odb_status status);

// Throws a status_error "<action> <path>: <status description>".
[[noreturn]] void throw_status(odb_status status, const std::string& action,
                               const std::string& path);
inline void check(odb_status status, const std::string& action, const std::string& path) {
    if (status != ODB_OK) throw_status(status, action, path);
}

}  // namespace odbtool
