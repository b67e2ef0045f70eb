// How the tool fails: usage errors (exit 2), and failures of an operation
// (exit 1) that name the library's status, what it means and the path.
#pragma once

#include <stdexcept>
#include <string>

#include "qmfiledb.h"

namespace odbtool {

// 3: a lookup found no object of that name (no failure: a script tells it
// from one by the status alone).
enum exit_code { exit_ok = 0, exit_failure = 1, exit_usage = 2, exit_not_found = 3 };

// A command line that cannot be carried out as written.
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An operation that failed; the message is complete. The path it concerns
// is kept apart too, for errors reported as JSON.
struct tool_error : std::runtime_error {
    explicit tool_error(const std::string& message, std::string path = "")
        : std::runtime_error(message), path(std::move(path)) {}
    std::string path;
};

// An operation that failed with a library status. Built right after the
// failing call, it takes the library's trace line of that failure (odb
// --verbose; empty otherwise).
struct status_error : tool_error {
    status_error(odb_status status, const std::string& message, std::string path = "");
    odb_status status;
    std::string trace;
};

// The trace line a caught failure carries: a status_error's, none for others.
std::string trace_of(const std::exception& error);

// "PATH: <the system's reason>" for a file the tool itself failed to open,
// read or write (from errno).
[[noreturn]] void throw_file_error(const std::string& action, const std::string& path);

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
