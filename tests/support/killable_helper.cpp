#ifndef _WIN32

#include "support/killable_helper.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child_process.h"

namespace odb::test {

killable_helper::killable_helper(const std::vector<std::string>& arguments) {
    const spawned_helper spawned = spawn_helper(arguments, false);
    pid_ = spawned.pid;
    output_ = spawned.output;
}

killable_helper::~killable_helper() {
    if (!waited_) kill();
    if (output_ >= 0) ::close(output_);
}

std::string killable_helper::read_line() { return read_pipe_line(output_); }

void killable_helper::kill() {
    if (!waited_) ::kill(pid_, SIGKILL);
    wait();
}

int killable_helper::wait() {
    if (!waited_) {
        const int status = wait_for_exit(pid_);
        waited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return status_;
}

}  // namespace odb::test

#endif  // _WIN32
