// How a helper command talks to the test that started it: one line on
// standard output per event, and standard input to wait for the test's word
// (a line, or the end of input) where the command must not go on by itself.
#pragma once

#include <string>

#include "support/wide.h"

namespace helper {

// Exit codes of the commands.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;  // the command ran and found a fault
constexpr int exit_usage = 2;

// Writes one line to the test and flushes it.
void report(const std::string& line);
// Waits for the test: returns at its next line or at the end of input.
void await_test();
// A UTF-8 argument as a platform path.
odb::test::wide_string path_argument(const std::string& text);

}  // namespace helper
