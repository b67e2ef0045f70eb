#include "support/forked_child.h"

#ifndef _WIN32

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace odb::test {

forked_child::forked_child(const std::function<std::string()>& body) {
    int answer[2], release[2];
    if (::pipe(answer) != 0 || ::pipe(release) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::close(answer[0]);
        ::close(release[1]);
        std::string line = body() + "\n";
        ssize_t ignored = ::write(answer[1], line.data(), line.size());
        (void)ignored;
        char byte;
        for (;;) {
            ssize_t n = ::read(release[0], &byte, 1);
            if (n == 0 || (n < 0 && errno != EINTR)) break;
        }
        ::_exit(0);  // no exit handlers or destructors of the parent's state
    }
    ::close(answer[1]);
    ::close(release[0]);
    answer_fd_ = answer[0];
    release_fd_ = release[1];
}

forked_child::~forked_child() { finish(); }

std::string forked_child::answer() {
    std::string line;
    char c;
    while (answer_fd_ >= 0) {
        ssize_t n = ::read(answer_fd_, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') break;
        line += c;
    }
    return line;
}

int forked_child::finish() {
    if (pid_ <= 0) return -1;
    ::close(release_fd_);
    ::close(answer_fd_);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace odb::test

#endif
