// The test helper as a child that a test may kill outright (SIGKILL), for
// the crash tests: they stop a worker at an unplanned moment and then check
// what it had reported done. POSIX only; on Windows nothing is declared.
#pragma once

#ifndef _WIN32

#include <string>
#include <vector>

namespace odb::test {

class killable_helper {
public:
    // Starts odb_test_helper (beside the test executable) with these
    // arguments; its standard output is read with read_line().
    explicit killable_helper(const std::vector<std::string>& arguments);
    ~killable_helper();  // kills it if it still runs, and waits
    killable_helper(const killable_helper&) = delete;
    killable_helper& operator=(const killable_helper&) = delete;

    // The next line the helper wrote; empty at the end of its output.
    std::string read_line();
    // SIGKILL, then waits for it.
    void kill();
    // Waits for it to end; its exit code, or -1 when a signal ended it.
    int wait();

private:
    int pid_ = -1;
    int output_ = -1;
    bool waited_ = false;
    int status_ = -1;
};

}  // namespace odb::test

#endif  // _WIN32
