#include "support/child_process.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace odb::test {

#ifdef _WIN32

struct child_process::impl {
    HANDLE process = nullptr;
    HANDLE input = nullptr;   // our end of its stdin
    HANDLE output = nullptr;  // our end of its stdout
    bool waited = false;
    int status = -1;
};

namespace {

std::wstring helper_path() {
    WCHAR self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"odb_test_helper.exe";
}

std::wstring quoted(const std::string& argument) {
    std::wstring out = L"\"";
    for (char c : argument) {
        if (c == '"') out += L'\\';
        out += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return out + L"\"";
}

}  // namespace

std::unique_ptr<child_process> child_process::start_helper(
    const std::vector<std::string>& arguments) {
    std::unique_ptr<child_process> child(new child_process);
    child->impl_.reset(new impl);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE child_in = nullptr, child_out = nullptr;
    if (!CreatePipe(&child_in, &child->impl_->input, &inherit, 0) ||
        !CreatePipe(&child->impl_->output, &child_out, &inherit, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(child->impl_->input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(child->impl_->output, HANDLE_FLAG_INHERIT, 0);

    std::wstring exe = helper_path();
    std::wstring command = L"\"" + exe + L"\"";
    for (const auto& argument : arguments) command += L" " + quoted(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_in;
    startup.hStdOutput = child_out;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    BOOL ok = CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &info);
    CloseHandle(child_in);
    CloseHandle(child_out);
    if (!ok) throw std::runtime_error("cannot start odb_test_helper");
    CloseHandle(info.hThread);
    child->impl_->process = info.hProcess;
    return child;
}

std::string child_process::read_line() {
    std::string line;
    char c;
    DWORD got;
    while (ReadFile(impl_->output, &c, 1, &got, nullptr) && got == 1) {
        if (c == '\n') break;
        if (c != '\r') line += c;
    }
    return line;
}

void child_process::write_line(const std::string& line) {
    std::string text = line + "\n";
    DWORD written;
    WriteFile(impl_->input, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void child_process::close_input() {
    if (impl_->input != nullptr) CloseHandle(impl_->input);
    impl_->input = nullptr;
}

int child_process::wait() {
    if (!impl_->waited) {
        close_input();
        WaitForSingleObject(impl_->process, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(impl_->process, &code);
        impl_->status = static_cast<int>(code);
        impl_->waited = true;
    }
    return impl_->status;
}

child_process::~child_process() {
    wait();
    CloseHandle(impl_->output);
    CloseHandle(impl_->process);
}

bool running_under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

#else

struct child_process::impl {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
    bool waited = false;
    int status = -1;
};

std::string helper_executable_path() {
    char self[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length < 0) throw std::runtime_error("cannot find the test executable");
    std::string path(self, static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + "odb_test_helper";
}

spawned_helper spawn_helper(const std::vector<std::string>& arguments, bool with_input) {
    int in[2] = {-1, -1}, out[2];
    if ((with_input && ::pipe2(in, O_CLOEXEC) != 0) || ::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    const std::string exe = helper_executable_path();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (with_input) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (with_input) ::close(in[0]);
    ::close(out[1]);
    if (error != 0) {
        if (with_input) ::close(in[1]);
        ::close(out[0]);
        throw std::runtime_error("cannot start odb_test_helper");
    }
    return {pid, in[1], out[0]};
}

std::string read_pipe_line(int fd) {
    std::string line;
    char c;
    for (;;) {
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') break;
        line += c;
    }
    return line;
}

int wait_for_exit(int pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::unique_ptr<child_process> child_process::start_helper(
    const std::vector<std::string>& arguments) {
    std::unique_ptr<child_process> child(new child_process);
    child->impl_.reset(new impl);
    const spawned_helper spawned = spawn_helper(arguments, true);
    child->impl_->pid = spawned.pid;
    child->impl_->input = spawned.input;
    child->impl_->output = spawned.output;
    return child;
}

std::string child_process::read_line() { return read_pipe_line(impl_->output); }

void child_process::write_line(const std::string& line) {
    std::string text = line + "\n";
    // A helper that has already ended must not kill us with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    ssize_t ignored = ::write(impl_->input, text.data(), text.size());
    (void)ignored;
}

void child_process::close_input() {
    if (impl_->input >= 0) ::close(impl_->input);
    impl_->input = -1;
}

int child_process::wait() {
    if (!impl_->waited) {
        close_input();
        const int status = wait_for_exit(impl_->pid);
        impl_->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        impl_->waited = true;
    }
    return impl_->status;
}

child_process::~child_process() {
    wait();
    ::close(impl_->output);
}

bool running_under_wine() { return false; }

#endif

}  // namespace odb::test
