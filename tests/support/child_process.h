// Starting the test helper (odb_test_helper, beside the test executable) as
// a child process and talking to it over its standard input and output.
//
// The handshake is line based: the helper writes a line when it has done
// something (say "held" once it holds a file), and waits for a line (or the
// end of its input) before it goes on. Nothing waits on a clock.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace odb::test {

class child_process {
public:
    // Starts the helper with these arguments (ASCII; paths in UTF-8).
    static std::unique_ptr<child_process> start_helper(const std::vector<std::string>& arguments);
    ~child_process();  // ends its input and waits for it
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    // The next line the helper wrote, without its end; empty at the end of
    // its output.
    std::string read_line();
    void write_line(const std::string& line);
    // Ends the helper's input: a helper waiting for a line goes on.
    void close_input();
    // Waits for the helper to end and returns its exit code.
    int wait();

private:
    child_process() = default;
    struct impl;
    std::unique_ptr<impl> impl_;
};

// Whether this program runs under Wine rather than on Windows or natively.
bool running_under_wine();

#ifndef _WIN32
// odb_test_helper beside the running test executable.
std::string helper_executable_path();

// How every test starts the helper on POSIX: its standard output, and its
// standard input when asked, on pipes whose other ends come back here
// (-1 where none was made). Throws when it cannot start.
struct spawned_helper {
    int pid = -1;
    int input = -1;
    int output = -1;
};
spawned_helper spawn_helper(const std::vector<std::string>& arguments, bool with_input);
// The next line on a pipe, without its end; empty at the end of the pipe.
std::string read_pipe_line(int fd);
// The wait status of a child, waited for through interruptions.
int wait_for_exit(int pid);
#endif

}  // namespace odb::test
