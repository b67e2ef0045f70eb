// odb doctor DIR: whether the file system under DIR gives the database what
// it relies on when several processes (or machines) share it. It works in a
// scratch directory of its own below DIR through the same platform layer the
// library uses, so it sees exactly what the library would see:
//   * two opens of one file in one process conflict (the object lock),
//   * a lock is seen from a second open: readers share, a writer is refused,
//   * a lock ends when its handle is closed,
//   * a rename never replaces an existing file or directory,
//   * a deleted file's name is free at once,
//   * data written is read back through another handle.
// One client's view cannot show what another client caches: given OTHER,
// the same directory as another client (another mount) sees it, every
// second open, rename and read goes through OTHER instead.
// Each probe passes, passes only after a wait longer than a retrying open
// makes at once (a caveat: the lock time-outs must allow for it), or fails.
// Any failure makes the file system unfit.
#include <chrono>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "errors.h"
#include "platform/handle.h"
#include "platform/win32.h"
#include "text.h"

namespace odbtool {
namespace {

using platform_string = std::basic_string<WCHAR>;
using clock_type = std::chrono::steady_clock;

platform_string platform_path(const std::string& utf8) {
    const std::u16string units = utf8_to_utf16(utf8);
    return platform_string(units.begin(), units.end());
}

enum class outcome { ok, late, failed };

struct probe_result {
    outcome result = outcome::ok;
    std::string detail;
};

probe_result pass(std::string detail = std::string()) { return {outcome::ok, std::move(detail)}; }
probe_result fail(std::string detail) { return {outcome::failed, std::move(detail)}; }

// How long a probe waits for something another side is still finishing (a
// lock release sent to a server) before calling it a failure.
constexpr auto patience = std::chrono::seconds(2);

class scratch {
public:
    // DIR is where the scratch directory is made; OTHER the same directory
    // as another client sees it (DIR itself when there is no other).
    scratch(const std::string& dir, const std::string& other) {
        std::random_device random;
        const std::string name = "/odb-doctor-" + std::to_string(random() % 1000000000u);
        path_ = dir + name;
        other_path_ = other + name;
        made_ = CreateDirectoryW(platform_path(path_).c_str(), nullptr) != 0;
        if (!made_)
            throw tool_error("cannot create a scratch directory in " + dir + " (error " +
                             std::to_string(GetLastError()) + ")");
    }
    ~scratch() {
        for (auto it = made_names_.rbegin(); it != made_names_.rend(); ++it) {
            const platform_string path = platform_path(path_ + "/" + *it);
            if (!DeleteFileW(path.c_str())) RemoveDirectoryW(path.c_str());
        }
        RemoveDirectoryW(platform_path(path_).c_str());
    }
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;

    // The path of NAME in the scratch directory, removed at the end.
    platform_string operator/(const std::string& name) {
        made_names_.push_back(name);
        return platform_path(path_ + "/" + name);
    }
    // The same name as the other client sees it.
    platform_string other(const std::string& name) const { return platform_path(other_path_ + "/" + name); }

private:
    std::string path_, other_path_;
    bool made_ = false;
    std::vector<std::string> made_names_;
};

odb::file_handle open_file(const platform_string& path, bool write, DWORD disposition) {
    return odb::file_handle(CreateFileW(path.c_str(), write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                        FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                                        nullptr));
}

bool write_all(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string read_all(const platform_string& path) {
    odb::file_handle file = open_file(path, false, OPEN_EXISTING);
    if (!file) return "(cannot open: error " + std::to_string(GetLastError()) + ")";
    std::string out;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
    return out;
}

bool make_file(const platform_string& path, const std::string& bytes) {
    odb::file_handle file = open_file(path, true, CREATE_ALWAYS);
    return file && write_all(file.get(), bytes);
}

std::string error_text(const char* what) {
    return std::string(what) + " (error " + std::to_string(GetLastError()) + ")";
}

// "Second" opens go through the other client's view when there is one.
probe_result two_opens_conflict(scratch& dir) {
    const platform_string path = dir / "conflict";
    odb::file_handle first = open_file(path, true, CREATE_ALWAYS);
    if (!first) return fail(error_text("cannot create a file"));
    odb::file_handle second = open_file(dir.other("conflict"), true, OPEN_EXISTING);
    if (second) return fail("a second writer was admitted while the first held the file");
    if (GetLastError() != ERROR_SHARING_VIOLATION) return fail(error_text("refused, but not as a lock"));
    return pass();
}

probe_result lock_seen_from_second_open(scratch& dir) {
    const platform_string path = dir / "readers";
    if (!make_file(path, "x")) return fail(error_text("cannot create a file"));
    odb::file_handle reader = open_file(path, false, OPEN_EXISTING);
    if (!reader) return fail(error_text("cannot open a reader"));
    odb::file_handle another = open_file(dir.other("readers"), false, OPEN_EXISTING);
    if (!another) return fail(error_text("a second reader was refused"));
    odb::file_handle writer = open_file(dir.other("readers"), true, OPEN_EXISTING);
    if (writer) return fail("a writer was admitted while readers held the file");
    return pass();
}

// Retries an exclusive open of PATH with DISPOSITION until it succeeds; the
// milliseconds it took, or -1 after `patience` or on an error other than
// the name or the lock being still taken.
long open_when_free(const platform_string& path, DWORD disposition, odb::file_handle& file) {
    const auto start = clock_type::now();
    for (;;) {
        file = open_file(path, true, disposition);
        if (file) break;
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_FILE_EXISTS && error != ERROR_ACCESS_DENIED)
            return -1;
        if (clock_type::now() - start > patience) return -1;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count());
}

// Waiting up to `soon` is what a retrying open does anyway: no caveat.
constexpr long soon_ms = 100;

probe_result judge_wait(long waited, const std::string& what) {
    if (waited < 0) return fail(error_text(("never: " + what).c_str()));
    if (waited > soon_ms) return {outcome::late, what + " after " + std::to_string(waited) + " ms"};
    if (waited > 0) return pass(what + " after " + std::to_string(waited) + " ms");
    return pass();
}

probe_result released_on_close(scratch& dir) {
    const platform_string path = dir / "release";
    odb::file_handle first = open_file(path, true, CREATE_ALWAYS);
    if (!first) return fail(error_text("cannot create a file"));
    first.reset();
    odb::file_handle again;
    return judge_wait(open_when_free(dir.other("release"), OPEN_EXISTING, again), "released");
}

// Files made on one side are renamed on the other.
probe_result rename_never_replaces(scratch& dir) {
    const platform_string a = dir / "rename-a", b = dir / "rename-b", c = dir / "rename-c";
    if (!make_file(a, "first") || !make_file(b, "second")) return fail(error_text("cannot create files"));
    const platform_string other_a = dir.other("rename-a"), other_b = dir.other("rename-b");
    if (MoveFileW(other_a.c_str(), other_b.c_str())) return fail("a file rename replaced an existing file");
    if (read_all(b) != "second") return fail("the existing file changed");
    if (!MoveFileW(other_a.c_str(), dir.other("rename-c").c_str()))
        return fail(error_text("a file rename to a free name failed"));
    if (read_all(c) != "first") return fail("the renamed file lost its contents");
    // An empty target directory is the case a plain rename() would replace.
    const platform_string d = dir / "dir-d", e = dir / "dir-e", f = dir / "dir-f";
    if (!CreateDirectoryW(d.c_str(), nullptr) || !CreateDirectoryW(e.c_str(), nullptr))
        return fail(error_text("cannot create directories"));
    if (MoveFileW(dir.other("dir-d").c_str(), dir.other("dir-e").c_str()))
        return fail("a directory rename replaced an empty directory");
    if (!MoveFileW(dir.other("dir-d").c_str(), dir.other("dir-f").c_str()))
        return fail(error_text("a directory rename to a free name failed"));
    return pass();
}

// The other side looks at the file first, so that a client that caches
// names or data has something stale to show.
probe_result deleted_name_free(scratch& dir) {
    const platform_string path = dir / "deleted", other = dir.other("deleted");
    if (!make_file(path, "old contents")) return fail(error_text("cannot create a file"));
    if (read_all(other) != "old contents") return fail("the other side read different data");
    if (!DeleteFileW(path.c_str())) return fail(error_text("cannot delete it"));
    odb::file_handle fresh;
    const long waited = open_when_free(other, CREATE_NEW, fresh);
    if (waited < 0) return fail(error_text("the name stayed taken after the delete"));
    if (!write_all(fresh.get(), "new")) return fail(error_text("cannot write the new file"));
    fresh.reset();
    if (read_all(path) != "new") return fail("the new file read back the deleted one's contents");
    return judge_wait(waited, "free");
}

probe_result written_data_read_back(scratch& dir) {
    const platform_string path = dir / "data", other = dir.other("data");
    std::string data(70000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);
    if (!make_file(path, data)) return fail(error_text("cannot write a file"));
    if (read_all(other) != data) return fail("the other side read different data");
    // A rewrite in the middle, read again on the other side.
    {
        odb::file_handle file = open_file(path, true, OPEN_EXISTING);
        if (!file) return fail(error_text("cannot reopen it"));
        if (SetFilePointer(file.get(), 40000, nullptr, FILE_BEGIN) != 40000)
            return fail(error_text("cannot position in it"));
        const std::string patch(5000, 'Z');
        if (!write_all(file.get(), patch)) return fail(error_text("cannot rewrite it"));
        data.replace(40000, patch.size(), patch);
        odb::file_handle reader = open_file(other, false, OPEN_EXISTING);
        if (reader) return fail("a reader was admitted during the write");
    }
    if (read_all(other) != data) return fail("the other side read the old data after a rewrite");
    return pass();
}

struct probe {
    const char* name;
    probe_result (*run)(scratch&);
};

const probe probes[] = {
    {"two opens of one file in one process conflict", two_opens_conflict},
    {"a lock is seen from a second open", lock_seen_from_second_open},
    {"a lock is released when its handle closes", released_on_close},
    {"a rename never replaces an existing name", rename_never_replaces},
    {"a deleted file's name is free at once", deleted_name_free},
    {"data written is read back through another handle", written_data_read_back},
};

void run_doctor(const std::string& dir, const std::string& other) {
    bool caveats = false, unfit = false;
    std::cout << "probing " << dir;
    if (other != dir) std::cout << " (second opens through " << other << ")";
    std::cout << "\n";
    for (const probe& p : probes) {
        probe_result result;
        {
            scratch space(dir, other);
            result = p.run(space);
        }
        const char* word = result.result == outcome::ok     ? "ok"
                           : result.result == outcome::late ? "caveat"
                                                            : "FAILED";
        std::cout << "  " << word << ": " << p.name;
        if (!result.detail.empty()) std::cout << ": " << result.detail;
        std::cout << "\n";
        caveats |= result.result == outcome::late;
        unfit |= result.result == outcome::failed;
    }
    std::cout << "verdict: " << (unfit ? "unfit" : caveats ? "fit with caveats" : "fit") << "\n";
    if (unfit) set_exit_code(exit_failure);
}

}  // namespace

void add_doctor_command(CLI::App& app) {
    auto dir = std::make_shared<std::string>();
    auto other = std::make_shared<std::string>();
    CLI::App* command = app.add_subcommand(
        "doctor", "Probe the file system under DIR for what a shared database relies on; "
                  "exit 1 when it is unfit");
    command->add_option("DIR", *dir, "a directory on the file system to probe (a scratch "
                                     "directory is made and removed inside it)")
        ->required();
    command->add_option("OTHER", *other,
                        "the same directory as another client sees it (another mount of the "
                        "share): second opens, renames and reads go through it");
    command->footer("Verdict: fit; fit with caveats (a lock or a deleted name outlives its "
                    "handle for more than 100 ms: the lock time-outs must allow for it); unfit "
                    "(a probe failed).");
    command->callback([dir, other] { run_doctor(*dir, other->empty() ? *dir : *other); });
}

}  // namespace odbtool
