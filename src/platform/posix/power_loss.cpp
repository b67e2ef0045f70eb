// The power-loss simulator; see power_loss.h for its model and limits.
#include "platform/posix/power_loss.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "platform/posix/fault_injection.h"
#include "platform/posix/internal.h"

namespace odb::posix {

namespace {

struct node {
    bool directory = false;
    std::string bytes;                     // a file's content
    std::map<std::string, int> entries;    // a directory's names
};

struct change {
    enum kind_t { write, resize, link, unlink, rename, flush_file, flush_directory } kind;
    uint64_t call;
    int target;      // the file (write, resize, flush_file, link/unlink/rename: the entry's node)
    int directory;   // link, unlink, rename (source), flush_directory
    std::string name;
    int directory2 = -1;  // rename: the target directory
    std::string name2;
    uint64_t offset = 0;  // write: where; resize: the new size
    std::string bytes;
};

struct recorder {
    bool active = false;
    std::string root;
    std::vector<node> start_state;  // node 0 is the root
    std::vector<node> nodes;        // the tree as recorded so far (for names)
    std::map<std::pair<dev_t, ino_t>, int> by_inode;
    std::vector<change> changes;
};

recorder& the_recorder() {
    static recorder r;
    return r;
}

std::mutex& recorder_mutex() {
    static std::mutex m;
    return m;
}

int known(const struct stat& st) {
    auto& r = the_recorder();
    auto found = r.by_inode.find({st.st_dev, st.st_ino});
    return found == r.by_inode.end() ? -1 : found->second;
}

int node_of_fd(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? known(st) : -1;
}

int node_of_path(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? known(st) : -1;
}

// The recorded directory holding `path`, and the last component.
int parent_of(const std::string& path, std::string& name) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    const std::string directory =
        slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
    return node_of_path(directory);
}

int add_node(const struct stat& st) {
    auto& r = the_recorder();
    node n;
    n.directory = S_ISDIR(st.st_mode);
    r.nodes.push_back(n);
    const int id = static_cast<int>(r.nodes.size()) - 1;
    r.by_inode[{st.st_dev, st.st_ino}] = id;  // a reused inode number is a new node
    return id;
}

// Reads the tree below `path` into node `id` of the recorder.
void snapshot(const std::string& path, int id) {
    auto& r = the_recorder();
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string child = path + "/" + name;
        struct stat st;
        if (::lstat(child.c_str(), &st) != 0) continue;
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
        const int child_id = add_node(st);
        r.nodes[id].entries[name] = child_id;
        if (S_ISDIR(st.st_mode)) {
            snapshot(child, child_id);
        } else {
            const int fd = ::open(child.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            char buffer[65536];
            ssize_t n;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
                r.nodes[child_id].bytes.append(buffer, static_cast<std::size_t>(n));
            ::close(fd);
        }
    }
    ::closedir(dir);
}

void add(change c) {
    c.call = odb::fault::counted_calls();
    the_recorder().changes.push_back(std::move(c));
}

// ---- Rebuilding ---------------------------------------------------------

int remove_tree(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return errno;
    int error = 0;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string child = path + "/" + name;
        struct stat st;
        if (::lstat(child.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (int e = remove_tree(child)) error = e;
            if (::rmdir(child.c_str()) != 0) error = errno;
        } else if (::unlink(child.c_str()) != 0) {
            error = errno;
        }
    }
    ::closedir(dir);
    return error;
}

int write_tree(const std::vector<node>& nodes, int id, const std::string& path,
               std::set<int>& written) {
    if (!written.insert(id).second) return 0;  // a directory reached twice stays where first met
    for (const auto& [name, child] : nodes[id].entries) {
        const std::string target = path + "/" + name;
        if (nodes[child].directory) {
            if (::mkdir(target.c_str(), 0777) != 0) return errno;
            if (int e = write_tree(nodes, child, target, written)) return e;
            continue;
        }
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) return errno;
        const std::string& bytes = nodes[child].bytes;
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                const int e = errno;
                ::close(fd);
                return e;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    }
    return 0;
}

void apply(std::vector<node>& nodes, const change& c) {
    switch (c.kind) {
        case change::write: {
            std::string& bytes = nodes[c.target].bytes;
            if (bytes.size() < c.offset + c.bytes.size()) bytes.resize(c.offset + c.bytes.size());
            bytes.replace(c.offset, c.bytes.size(), c.bytes);
            break;
        }
        case change::resize: nodes[c.target].bytes.resize(c.offset); break;
        case change::link: nodes[c.directory].entries[c.name] = c.target; break;
        case change::unlink: {
            auto& entries = nodes[c.directory].entries;
            auto found = entries.find(c.name);
            if (found != entries.end() && found->second == c.target) entries.erase(found);
            break;
        }
        case change::rename: {
            auto& entries = nodes[c.directory].entries;
            auto found = entries.find(c.name);
            if (found != entries.end() && found->second == c.target) entries.erase(found);
            nodes[c.directory2].entries[c.name2] = c.target;
            break;
        }
        default: break;
    }
}

}  // namespace

// ---- The hooks (internal.h) ---------------------------------------------

void record_written(int fd, uint64_t offset, const void* bytes, std::size_t count) {
    std::lock_guard<std::mutex> hold(recorder_mutex());
    if (!the_recorder().active || count == 0) return;
    const int id = node_of_fd(fd);
    if (id < 0) return;
    change c{change::write, 0, id, -1, {}, -1, {}, offset,
             std::string(static_cast<const char*>(bytes), count)};
    add(std::move(c));
}

void record_resized(int fd, uint64_t size) {
    std::lock_guard<std::mutex> hold(recorder_mutex());
    if (!the_recorder().active) return;
    const int id = node_of_fd(fd);
    if (id >= 0) add(change{change::resize, 0, id, -1, {}, -1, {}, size, {}});
}

void record_created(const std::string& path) {
    std::lock_guard<std::mutex> hold(recorder_mutex());
    auto& r = the_recorder();
    if (!r.active) return;
    std::string name;
    const int parent = parent_of(path, name);
    struct stat st;
    if (parent < 0 || ::lstat(path.c_str(), &st) != 0) return;
    const int id = add_node(st);
    r.nodes[parent].entries[name] = id;
    add(change{change::link, 0, id, parent, name, -1, {}, 0, {}});
}

void record_removed(const std::string& path) {
    std::lock_guard<std::mutex> hold(recorder_mutex());
    auto& r = the_recorder();
    if (!r.active) return;
    std::string name;
    const int parent = parent_of(path, name);
    if (parent < 0) return;
    auto found = r.nodes[parent].entries.find(name);
    if (found == r.nodes[parent].entries.end()) return;
    const int id = found->second;
    r.nodes[parent].entries.erase(found);
    add(change{change::unlink, 0, id, parent, name, -1, {}, 0, {}});
}

void record_renamed(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> hold(recorder_mutex());
    auto& r = the_recorder();
    if (!r.active) return;
    std::string from_name, to_name;
    const int from_parent = parent_of(from, from_name);
    const int to_parent = parent_of(to, to_name);
    if (from_parent < 0 || to_parent < 0) return;
    auto found = r.nodes[from_parent].entries.find(from_name);
    if (found == r.nodes[from_parent].entries.end()) return;
    const int id = found->second;
    r.nodes[from_parent].entries.erase(found);
    r.nodes[to_parent].entries[to_name] = id;
    add(change{change::rename, 0, id, from_parent, from_name, to_parent, to_name, 0, {}});
}

void record_file_flushed(int fd) {
    std::lock_guard<std::mutex> hold(recorder_mutex());
    if (!the_recorder().active) return;
    const int id = node_of_fd(fd);
    if (id >= 0) add(change{change::flush_file, 0, id, -1, {}, -1, {}, 0, {}});
}

void record_directory_flushed(const std::string& path) {
    std::lock_guard<std::mutex> hold(recorder_mutex());
    if (!the_recorder().active) return;
    const int id = node_of_path(path);
    if (id >= 0) add(change{change::flush_directory, 0, -1, id, {}, -1, {}, 0, {}});
}

}  // namespace odb::posix

namespace odb::power {

using posix::change;

void start(const std::string& root) {
    std::lock_guard<std::mutex> hold(posix::recorder_mutex());
    auto& r = posix::the_recorder();
    r = posix::recorder();
    r.root = root;
    struct stat st;
    if (::stat(root.c_str(), &st) != 0) return;
    posix::add_node(st);
    posix::snapshot(root, 0);
    r.start_state = r.nodes;
    r.active = true;
}

void stop() {
    std::lock_guard<std::mutex> hold(posix::recorder_mutex());
    posix::the_recorder().active = false;
}

uint64_t recorded_changes() {
    std::lock_guard<std::mutex> hold(posix::recorder_mutex());
    uint64_t count = 0;
    for (const change& c : posix::the_recorder().changes)
        if (c.kind != change::flush_file && c.kind != change::flush_directory) ++count;
    return count;
}

std::vector<uint64_t> calls_with_changes() {
    std::lock_guard<std::mutex> hold(posix::recorder_mutex());
    std::vector<uint64_t> calls;
    for (const change& c : posix::the_recorder().changes)
        if (calls.empty() || calls.back() != c.call) calls.push_back(c.call);
    return calls;
}

namespace {

// Which changes a flush made by `after_call` made durable: walking
// backwards, the files and directories flushed later than the change at hand.
std::vector<bool> durable_changes(uint64_t after_call) {
    const auto& r = posix::the_recorder();
    const std::size_t total = r.changes.size();
    std::vector<bool> durable(total, false);
    std::set<int> flushed_files, flushed_directories;
    for (std::size_t i = total; i-- > 0;) {
        const change& c = r.changes[i];
        if (c.call > after_call) continue;
        switch (c.kind) {
            case change::flush_file: flushed_files.insert(c.target); break;
            case change::flush_directory: flushed_directories.insert(c.directory); break;
            case change::write:
            case change::resize: durable[i] = flushed_files.count(c.target) != 0; break;
            case change::link:
            case change::unlink: durable[i] = flushed_directories.count(c.directory) != 0; break;
            case change::rename:
                durable[i] = flushed_directories.count(c.directory) != 0 &&
                             flushed_directories.count(c.directory2) != 0;
                break;
        }
    }
    return durable;
}

bool is_flush(const change& c) {
    return c.kind == change::flush_file || c.kind == change::flush_directory;
}

}  // namespace

uint64_t unflushed_changes(uint64_t after_call) {
    std::lock_guard<std::mutex> hold(posix::recorder_mutex());
    const auto& changes = posix::the_recorder().changes;
    const std::vector<bool> durable = durable_changes(after_call);
    uint64_t count = 0;
    for (std::size_t i = 0; i < changes.size(); ++i)
        if (changes[i].call <= after_call && !durable[i] && !is_flush(changes[i])) ++count;
    return count;
}

bool cut(const cut_plan& plan, cut_result* result) {
    std::lock_guard<std::mutex> hold(posix::recorder_mutex());
    const auto& r = posix::the_recorder();
    cut_result counts;
    const std::size_t total = r.changes.size();
    const std::vector<bool> durable = durable_changes(plan.after_call);

    // The unflushed changes of each file or directory, in order, and which
    // of them stay.
    std::map<int, std::vector<std::size_t>> pending;  // files by node, directories by ~node
    for (std::size_t i = 0; i < total; ++i) {
        const change& c = r.changes[i];
        if (c.call > plan.after_call || durable[i]) continue;
        if (c.kind == change::write || c.kind == change::resize) pending[c.target].push_back(i);
        else if (c.kind == change::link || c.kind == change::unlink) pending[~c.directory].push_back(i);
        else if (c.kind == change::rename) pending[~c.directory2].push_back(i);
    }
    std::vector<bool> keep(durable);
    if (plan.kind == loss::chosen) {
        uint64_t n = 0;
        for (std::size_t i = 0; i < total; ++i) {
            const change& c = r.changes[i];
            if (c.call > plan.after_call || durable[i] || is_flush(c)) continue;
            keep[i] = n < 64 && ((plan.keep >> n) & 1) != 0;
            ++(keep[i] ? counts.kept : counts.lost);
            ++n;
        }
        pending.clear();
    }
    std::mt19937 random(plan.seed);
    for (const auto& [owner, list] : pending) {
        (void)owner;
        std::size_t stays = 0;
        if (plan.kind == loss::nothing) stays = list.size();
        if (plan.kind == loss::prefix) stays = random() % (list.size() + 1);
        for (std::size_t n = 0; n < list.size(); ++n) {
            const bool kept = plan.kind == loss::subset ? (random() & 1) != 0 : n < stays;
            keep[list[n]] = kept;
            ++(kept ? counts.kept : counts.lost);
        }
    }

    std::vector<posix::node> nodes = r.start_state;
    nodes.resize(r.nodes.size());
    for (std::size_t i = 0; i < r.nodes.size(); ++i)
        if (i >= r.start_state.size()) nodes[i].directory = r.nodes[i].directory;
    for (std::size_t i = 0; i < total; ++i) {
        const change& c = r.changes[i];
        if (c.call > plan.after_call) continue;
        if (durable[i]) ++counts.durable;
        if (keep[i]) posix::apply(nodes, c);
    }
    if (result != nullptr) *result = counts;

    if (int e = posix::remove_tree(r.root)) {
        errno = e;
        return false;
    }
    std::set<int> written;
    if (int e = posix::write_tree(nodes, 0, r.root, written)) {
        errno = e;
        return false;
    }
    return true;
}

}  // namespace odb::power
