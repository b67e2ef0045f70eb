#include "support/run_program.h"

#ifndef _WIN32

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace odb::test {

namespace {

// Output goes to files rather than pipes: nothing can block however much
// the program writes, and no reading has to be interleaved with waiting.
struct temp_file {
    temp_file() {
        char pattern[] = "/tmp/odb-run-XXXXXX";
        fd = mkstemp(pattern);
        path = pattern;
    }
    ~temp_file() {
        if (fd >= 0) close(fd);
        unlink(path.c_str());
    }
    std::string content() const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    int fd;
    std::string path;
};

}  // namespace

program_result run_program(const std::vector<std::string>& arguments, const std::string& input) {
    program_result result;
    temp_file in, out, err;
    if (in.fd < 0 || out.fd < 0 || err.fd < 0 || arguments.empty()) return result;
    if (!input.empty() && write(in.fd, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        return result;
    lseek(in.fd, 0, SEEK_SET);

    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child < 0) return result;
    if (child == 0) {
        dup2(in.fd, 0);
        dup2(out.fd, 1);
        dup2(err.fd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    pid_t waited;
    while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited < 0) return result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = out.content();
    result.err = err.content();
    return result;
}

}  // namespace odb::test

#endif
