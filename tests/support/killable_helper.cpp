#ifndef _WIN32

#include "support/killable_helper.h"
#include "support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace odb::test {


killable_helper::killable_helper(const std::vector<std::string>& arguments) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    const std::string exe = helper_executable_path();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    output_ = out[0];
    if (error != 0) throw std::runtime_error("cannot start odb_test_helper");
    pid_ = pid;
}

killable_helper::~killable_helper() {
    if (!waited_) kill();
    if (output_ >= 0) ::close(output_);
}

std::string killable_helper::read_line() {
    std::string line;
    char c;
    for (;;) {
        ssize_t n = ::read(output_, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') break;
        line += c;
    }
    return line;
}

void killable_helper::kill() {
    if (!waited_) ::kill(pid_, SIGKILL);
    wait();
}

int killable_helper::wait() {
    if (!waited_) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        waited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return status_;
}

}  // namespace odb::test

#endif  // _WIN32
