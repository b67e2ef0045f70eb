// A child made by fork() without exec, as worker pools and Python's
// multiprocessing make them: it inherits the test's memory and descriptors,
// runs a body, reports the body's one-line answer, and then sleeps, holding
// whatever it inherited, until the test lets it go. POSIX only.
#pragma once

#ifndef _WIN32

#include <functional>
#include <string>

namespace odb::test {

class forked_child {
public:
    // Forks; the child runs `body` at once.
    explicit forked_child(const std::function<std::string()>& body);
    ~forked_child();  // lets the child go and waits for it
    forked_child(const forked_child&) = delete;
    forked_child& operator=(const forked_child&) = delete;

    // The body's answer, once the child has given it (and is asleep).
    std::string answer();
    // Lets the child go, waits for it, and returns its exit code.
    int finish();

private:
    int pid_ = -1;
    int answer_fd_ = -1;   // the child's answer comes in here
    int release_fd_ = -1;  // closing this lets the child go
};

}  // namespace odb::test

#endif
