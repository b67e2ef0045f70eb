#include "bench_support.h"

#include "core/disk_format.h"
#include "core/settings_table.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace bench {

namespace {

std::vector<int> parse_list(const char* text) {
    std::vector<int> values;
    while (*text != 0) {
        char* end = nullptr;
        long value = std::strtol(text, &end, 10);
        if (end == text) break;
        values.push_back(static_cast<int>(value));
        text = *end == ',' ? end + 1 : end;
    }
    return values;
}

}  // namespace

options parse_options(int& argc, char** argv, std::vector<int> default_sizes,
                      std::vector<int> quick_sizes) {
    options result;
    bool sizes_given = false, forms_given = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--sizes=", 0) == 0) {
            result.sizes = parse_list(argv[i] + 8);
            sizes_given = true;
        } else if (arg.rfind("--forms=", 0) == 0) {
            forms_given = true;
            std::string forms = arg.substr(8);
            if (forms.find("file") != std::string::npos) result.single_file_forms.push_back(false);
            if (forms.find("single") != std::string::npos) result.single_file_forms.push_back(true);
        } else if (arg.rfind("--rounds=", 0) == 0) {
            result.rounds = std::atoi(argv[i] + 9);
        } else if (arg == "--quick") {
            result.quick = true;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    if (!sizes_given) result.sizes = result.quick ? quick_sizes : default_sizes;
    if (!forms_given) result.single_file_forms = {false, true};
    return result;
}

// ---- scratch space ----------------------------------------------------------------

scratch_dir::scratch_dir(const std::string& tag) {
    // tmpfs by default: the disk of a build machine can cost a millisecond
    // per created inode, which would hide every cost the library adds.
    const char* base = std::getenv("QMFILEDB_BENCH_DIR");
    struct stat shm;
    const char* fallback = ::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base != nullptr && *base != 0 ? base : fallback) +
                          "/qmfiledb-bench-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
    path_ = buffer.data();
}

scratch_dir::~scratch_dir() { remove_tree(path_); }

std::string scratch_dir::other_view() const {
    const char* other = std::getenv("QMFILEDB_BENCH_OTHER_DIR");
    if (other == nullptr || *other == 0) return path_;
    return std::string(other) + path_.substr(path_.rfind('/'));
}

void remove_tree(const std::string& path) {
    ::nftw(
        path.c_str(),
        [](const char* file, const struct stat*, int, struct FTW*) { return ::remove(file) == 0 ? 0 : 0; },
        64, FTW_DEPTH | FTW_PHYS);
}

// ---- the library -------------------------------------------------------------------

void check(odb_status status, const char* what) {
    if (status != ODB_OK) {
        char message[160];
        std::snprintf(message, sizeof message, "%s failed with status 0x%08X", what, status);
        throw std::runtime_error(message);
    }
}

odb_database* open_database(const std::string& root) {
    uint32_t version = 0;
    odb_database* db = nullptr;
    check(ODB_init(0, root.c_str(), &version, &db, 0), "ODB_init");
    return db;
}

odb_database* create_database(const std::string& root, const db_settings& settings) {
    uint32_t version = 0;
    odb_database* db = nullptr;
    check(ODB_init(ODB_INIT_CREATE, root.c_str(), &version, &db, 0), "ODB_init(create)");
    check(ODB_close(db), "ODB_close");
    namespace table = odb::settings;
    std::ofstream ini(root + "/" + odb::disk::settings_file, std::ios::binary);
    ini << "[" << table::name_index_enabled.section << "]\r\n"
        << table::name_index_enabled.key << "=" << (settings.name_index ? "yes" : "no") << "\r\n"
        << table::hash_count.key << "=" << settings.hash_count << "\r\n"
        << "[" << table::single_file.section << "]\r\n"
        << table::single_file.key << "=" << (settings.single_file ? "yes" : "no") << "\r\n";
    if (settings.durable)
        ini << "[" << table::durability_flush.section << "]\r\n"
            << table::durability_flush.key << "=yes\r\n";
    ini.close();
    return open_database(root);
}

// ---- clocks and memory -------------------------------------------------------------

double now_seconds() {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double cpu_seconds() {
    struct timespec now;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

long peak_rss_kib() {
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long current_rss_kib() {
    long pages = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return -1;
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = -1;
    std::fclose(statm);
    return resident < 0 ? -1 : resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

long in_child(long (*body)(void*), void* argument) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return -1;
    pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        ::close(pipe_fds[0]);
        long peak = -1;
        try {
            peak = body(argument);
        } catch (...) {
        }
        ssize_t ignored = ::write(pipe_fds[1], &peak, sizeof peak);
        (void)ignored;
        ::_exit(peak < 0 ? 1 : 0);
    }
    ::close(pipe_fds[1]);
    long peak = -1;
    if (::read(pipe_fds[0], &peak, sizeof peak) != static_cast<ssize_t>(sizeof peak)) peak = -1;
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? peak : -1;
}

// ---- raw POSIX helpers -----------------------------------------------------------

bool floor_emulation = false;
bool floor_durable = false;

void floor_flush_file(int fd) {
    if (floor_durable && ::fdatasync(fd) != 0) throw std::runtime_error("floor: fdatasync");
}

void floor_flush_dir(const std::string& path) {
    if (!floor_durable) return;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) throw std::runtime_error("floor: fsync " + path);
    ::close(fd);
}

int floor_open(const char* path, int flags, floor_lock lock) {
    if (!floor_emulation) return ::open(path, flags | O_CLOEXEC, 0666);
    // A creating open first tries the file as it is, then creates it
    // exclusively: Win32 tells an open that created the file from one that
    // found it (ERROR_ALREADY_EXISTS), and that needs O_EXCL.
    int fd = ::open(path, (flags & ~(O_CREAT | O_TRUNC)) | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ENOENT && (flags & O_CREAT)) fd = ::open(path, flags | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return fd;
    if (flags & O_TRUNC) ::ftruncate(fd, 0);
    // What the platform layer adds to every open: the inode, the lock on a
    // reserved byte of the open file description, and the re-check that the
    // name still names the inode that was opened.
    struct stat opened, now;
    ::fstat(fd, &opened);
    struct flock request {};
    request.l_type = lock == floor_lock::shared ? F_RDLCK : F_WRLCK;
    request.l_whence = SEEK_SET;
    request.l_start = static_cast<off_t>(0x7FFFFFFF00000000LL);
    request.l_len = 1;
    if ((flags & O_ACCMODE) == O_RDONLY && lock == floor_lock::exclusive) request.l_type = F_RDLCK;
    ::fcntl(fd, F_OFD_SETLK, &request);
    ::stat(path, &now);
    return fd;
}

void floor_close(int fd) {
    if (fd >= 0) ::close(fd);
}

std::string hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::string class_dir(const std::string& root, uint32_t cls) { return root + "/" + hex8(cls); }

std::string bucket_dir(const std::string& root, uint32_t cls, uint32_t id) {
    return class_dir(root, cls) + "/" + hex8(id >> 9);
}

std::string object_dir(const std::string& root, uint32_t cls, uint32_t id) {
    return bucket_dir(root, cls, id) + "/" + hex8(id & 0x1FF);
}

}  // namespace bench
