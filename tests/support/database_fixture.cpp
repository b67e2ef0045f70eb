#include "support/database_fixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/handle.h"
#include "support/file_util.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace odb::test {

std::string hex_name(uint32_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4) text[i] = digits[value & 0xF];
    return text;
}

database_ptr open_database(const wide_string& root, odb_status* status) {
    uint32_t version = 0;
    odb_database* db = nullptr;
    odb_status result = ODB_init_w(0, odb_text(root), &version, &db, 0);
    if (status != nullptr) *status = result;
    return database_ptr(result == ODB_OK ? db : nullptr);
}

uint32_t create_database_with_object(const wide_string& root, uint32_t cls) {
    uint32_t version = 0, id = 0;
    odb_database* db = nullptr;
    if (ODB_init_w(ODB_INIT_CREATE, odb_text(root), &version, &db, 0) != ODB_OK) return 0;
    odb_obj_ctx* ctx = nullptr;
    if (ODB_obj_new(db, cls, &id, &ctx) == ODB_OK) {
        ODB_obj_close_ctx(ctx);
    } else {
        id = 0;
    }
    ODB_close(db);
    return id;
}

void write_settings(const wide_string& root, const std::string& text) {
    std::string crlf;
    for (char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    if (!write_file(join(root, "DBCFG.INI"), crlf)) throw std::runtime_error("cannot write DBCFG.INI");
}

scratch_database::scratch_database(const std::string& settings) : root_(dir_ / "db") {
    uint32_t version = 0;
    odb_database* db = nullptr;
    if (ODB_init_w(ODB_INIT_CREATE, odb_text(root_), &version, &db, 0) != ODB_OK)
        throw std::runtime_error("cannot create a database");
    db_.reset(db);
    if (!settings.empty()) reopen(settings);
}

void scratch_database::reopen(const std::string& settings) {
    db_.reset();
    write_settings(root_, settings);
    odb_status status = ODB_OK;
    db_ = open_database(root_, &status);
    if (!db_) throw std::runtime_error("cannot open the database: " + std::to_string(status));
}

wide_string scratch_database::class_dir(uint32_t cls) const { return join(root_, hex_name(cls).c_str()); }

wide_string scratch_database::bucket_dir(uint32_t cls, uint32_t id) const {
    return join(class_dir(cls), hex_name(id >> 9).c_str());
}

wide_string scratch_database::object_dir(uint32_t cls, uint32_t id, const char* suffix) const {
    return join(bucket_dir(cls, id), (hex_name(id & 0x1FF) + suffix).c_str());
}

void scratch_database::make_object_dir(uint32_t cls, uint32_t id, const char* suffix) const {
    make_dir(class_dir(cls));
    make_dir(bucket_dir(cls, id));
    if (!make_dir(object_dir(cls, id, suffix))) throw std::runtime_error("cannot make an object directory");
}

bool make_dir(const wide_string& path) { return CreateDirectoryW(path.c_str(), nullptr) != 0; }

std::vector<std::string> list_directory(const wide_string& path) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    find_handle search(FindFirstFileW(join(path, "*").c_str(), &entry));
    if (search) {
        do {
            std::string name = narrow(entry.cFileName);
            if (name != "." && name != "..") names.push_back(name);
        } while (FindNextFileW(search.get(), &entry));
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::atomic<unsigned> output_counter{0};

std::string lock_options(unsigned timeout, unsigned sleep) {
    return "[LockOptions]\r\nTimeout=" + std::to_string(timeout) + "\r\nSleep=" + std::to_string(sleep) +
           "\r\n";
}

}  // namespace

bool await_file(const wide_string& path) {
    for (int waited = 0; waited < 60000; waited += 2) {
        if (path_exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

#ifdef _WIN32

bool make_hard_link(const wide_string&, const wide_string&) { return false; }
bool make_symbolic_link(const wide_string&, const wide_string&) { return false; }

relocated_helper::relocated_helper(unsigned timeout, unsigned sleep) {
    WCHAR self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    wide_string path(self, length);
    wide_string original = path.substr(0, path.find_last_of(L"\\/") + 1) + L"odb_test_helper.exe";
    executable_ = dir_ / "odb_test_helper.exe";
    if (!CopyFileW(original.c_str(), executable_.c_str(), FALSE))
        throw std::runtime_error("cannot copy the helper");
    if (!write_file(dir_ / "QMFILEDB.INI", lock_options(timeout, sleep)))
        throw std::runtime_error("cannot write QMFILEDB.INI");
}

int relocated_helper::run(const std::vector<std::string>& arguments, std::string* output) const {
    wide_string out_path = dir_ / ("out-" + std::to_string(++output_counter) + ".txt").c_str();
    std::wstring command = L"\"" + executable_ + L"\"";
    for (const std::string& argument : arguments) command += L" \"" + widen(argument) + L"\"";
    PROCESS_INFORMATION info{};
    {
        // The child inherits every inheritable handle of this process: two
        // runs started at once must not hand each other their files.
        static std::mutex starting;
        std::lock_guard<std::mutex> one_at_a_time(starting);
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        BOOL started = CreateProcessW(executable_.c_str(), &command[0], nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &info);
        CloseHandle(in);
        CloseHandle(out);
        if (!started) throw std::runtime_error("cannot start the relocated helper");
    }
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    if (output != nullptr) *output = read_file(out_path);
    return static_cast<int>(code);
}

#else

bool make_hard_link(const wide_string& existing, const wide_string& link) {
    return ::link(narrow(existing).c_str(), narrow(link).c_str()) == 0;
}

bool make_symbolic_link(const wide_string& target, const wide_string& link) {
    return ::symlink(narrow(target).c_str(), narrow(link).c_str()) == 0;
}

relocated_helper::relocated_helper(unsigned timeout, unsigned sleep) {
    char self[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length < 0) throw std::runtime_error("cannot find the test executable");
    std::string path(self, static_cast<std::size_t>(length));
    std::string original = path.substr(0, path.rfind('/') + 1) + "odb_test_helper";
    executable_ = dir_ / "odb_test_helper";
    {
        std::ifstream in(original, std::ios::binary);
        std::ofstream out(narrow(executable_), std::ios::binary);
        out << in.rdbuf();
        if (!in || !out) throw std::runtime_error("cannot copy the helper");
    }
    ::chmod(narrow(executable_).c_str(), 0755);
    if (!write_file(dir_ / "QMFILEDB.INI", lock_options(timeout, sleep)))
        throw std::runtime_error("cannot write QMFILEDB.INI");
}

int relocated_helper::run(const std::vector<std::string>& arguments, std::string* output) const {
    std::string out_path = narrow(dir_ / ("out-" + std::to_string(++output_counter) + ".txt").c_str());
    std::string exe = narrow(executable_);
    std::vector<std::string> copies(arguments);
    std::vector<char*> argv;
    argv.push_back(&exe[0]);
    for (std::string& argument : copies) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int error = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start the relocated helper");
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output != nullptr) *output = read_file(widen(out_path));
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif

}  // namespace odb::test
