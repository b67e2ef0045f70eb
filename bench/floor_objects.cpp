// Floor of workload 1: for each step the system calls that the library's
// algorithms prescribe, raw. A context is its lock file descriptor.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <dirent.h>
#include <stdexcept>
#include <vector>

#include "core/disk_format.h"
#include "floor.h"
#include "objects.h"

namespace bench::floor {

namespace {

void must(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("floor: ") + what + ": " + std::strerror(errno));
}

void put32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}
uint32_t get32(const unsigned char* in) {
    return in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

uint64_t file_size(int fd) {
    struct stat st;
    ::fstat(fd, &st);
    return static_cast<uint64_t>(st.st_size);
}

void write_record_header(int fd, uint64_t offset, uint32_t id, uint32_t capacity, uint32_t length) {
    unsigned char header[odb::disk::record_header_size] = {};
    put32(header, id);
    put32(header + 4, capacity);
    put32(header + 8, length);
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);  // the time stamps
    put32(header + 12, static_cast<uint32_t>(now.tv_nsec));
    must(::pwrite(fd, header, odb::disk::record_header_size, static_cast<off_t>(offset)) == odb::disk::record_header_size, "pwrite header");
}

std::string attribute_path(const std::string& dir, uint32_t attribute) {
    return dir + "/" + hex8(attribute) + odb::disk::attribute_file_suffix;
}

// ---- one object: the steps of the library's exports -------------------------

int open_lock(const std::string& dir, bool write) {
    int fd = floor_open((dir + "/" + odb::disk::object_lock_file).c_str(), (write ? O_RDWR : O_RDONLY) | O_CREAT,
                        write ? floor_lock::exclusive : floor_lock::shared);
    must(fd >= 0, "open lock");
    if (write) must(::write(fd, "\1", 1) == 1, "write lock");
    return fd;
}

// A context on an existing object: probe its directory, take its lock.
int open_context(const database& db, uint32_t id, bool write) {
    const std::string dir = object_dir(db.root, object_class, id);
    must(exists(dir), "no object");
    return open_lock(dir, write);
}

void set_attribute(const database& db, int lock, const std::string& dir, uint32_t attribute,
                   const void* data, uint32_t size) {
    const std::string records = dir + "/" + odb::disk::record_file_name;
    if (exists(records)) {
        int fd = record_open(records, true);
        record found;
        if (record_find(fd, attribute, found) && size <= found.capacity) {
            record_replace(fd, found, data, size);
            floor_flush_file(fd);
        } else {
            record_append(fd, attribute, data, size);
        }
        must(::write(lock, "\1", 1) == 1, "touch lock");
        floor_close(fd);
        return;
    }
    (void)db;
    const std::string path = attribute_path(dir, attribute);
    const bool created = floor_durable && !exists(path);
    int fd = floor_open(path.c_str(), O_RDWR | O_CREAT, floor_lock::exclusive);
    must(fd >= 0, "open attribute");
    must(::write(fd, data, size) == static_cast<ssize_t>(size), "write attribute");
    floor_flush_file(fd);
    if (created) floor_flush_dir(dir);
    must(::write(lock, "\1", 1) == 1, "touch lock");
    floor_close(fd);
}

uint32_t get_attribute(const std::string& dir, uint32_t attribute, void* buffer, uint32_t capacity) {
    const std::string records = dir + "/" + odb::disk::record_file_name;
    if (exists(records)) {
        int fd = record_open(records, false);
        record found;
        must(record_find(fd, attribute, found), "find record");
        uint32_t want = found.length < capacity ? found.length : capacity;
        must(::pread(fd, buffer, want, static_cast<off_t>(found.offset + odb::disk::record_header_size)) == static_cast<ssize_t>(want),
             "read record");
        floor_close(fd);
        return found.length;
    }
    int fd = floor_open(attribute_path(dir, attribute).c_str(), O_RDONLY, floor_lock::shared);
    must(fd >= 0, "open attribute");
    uint32_t size = static_cast<uint32_t>(file_size(fd));
    uint32_t want = size < capacity ? size : capacity;
    must(::read(fd, buffer, want) == static_cast<ssize_t>(want), "read attribute");
    floor_close(fd);
    return size;
}

}  // namespace

// ---- building blocks --------------------------------------------------------

bool make_dir(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    must(errno == EEXIST, "mkdir");
    return false;
}

bool exists(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return true;
    if (floor_emulation) {
        // Win32 tells a missing file (its directory exists) from a missing
        // path; on POSIX that takes a look at the parent.
        std::string parent = path.substr(0, path.rfind('/'));
        ::stat(parent.c_str(), &st);
    }
    return false;
}

void rename_dir(const std::string& from, const std::string& to) {
    std::vector<int> held;
    if (floor_emulation) {
        int dir_fd = ::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* dir = ::fdopendir(dir_fd);
        while (struct dirent* entry = ::readdir(dir)) {
            if (entry->d_type != DT_REG) continue;
            int fd = ::openat(::dirfd(dir), entry->d_name, O_RDWR | O_CLOEXEC);
            struct flock request {};
            request.l_type = F_WRLCK;
            request.l_start = static_cast<off_t>(0x7FFFFFFF00000000LL);
            request.l_len = 1;
            ::fcntl(fd, F_OFD_SETLK, &request);
            held.push_back(fd);
        }
        ::closedir(dir);
    }
    // A FUSE client refuses RENAME_NOREPLACE; the design then claims the new
    // name with mkdir and renames over that empty directory.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        must(errno == EINVAL && ::mkdir(to.c_str(), 0777) == 0, "rename");
        must(::rename(from.c_str(), to.c_str()) == 0, "rename");
    }
    for (int fd : held) ::close(fd);
}

void read_ini(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char text[4096];
    while (::read(fd, text, sizeof text) > 0) {
    }
    ::close(fd);
}

int record_open(const std::string& path, bool write, record* first) {
    int fd = floor_open(path.c_str(), write ? O_RDWR : O_RDONLY, write ? floor_lock::exclusive : floor_lock::shared);
    must(fd >= 0, "open record file");
    unsigned char header[odb::disk::record_file_header_size];
    must(::pread(fd, header, sizeof header, 0) == sizeof header, "read record file header");
    record found;
    if (!record_find(fd, every_record, found)) found = record{};
    if (first != nullptr) *first = found;
    return fd;
}

bool record_find(int fd, uint32_t key, record& found) {
    const uint64_t size = file_size(fd);
    unsigned char header[odb::disk::record_header_size];
    for (uint64_t offset = odb::disk::record_file_header_size; offset + odb::disk::record_header_size <= size;) {
        must(::pread(fd, header, odb::disk::record_header_size, static_cast<off_t>(offset)) == odb::disk::record_header_size, "read record header");
        uint32_t id = get32(header), capacity = get32(header + 4);
        if (key == every_record || id == key) {
            found.offset = offset;
            found.id = id;
            found.capacity = capacity;
            found.length = get32(header + 8);
            return true;
        }
        offset += odb::disk::record_header_size + capacity;
    }
    return false;
}

void record_append(int fd, uint32_t id, const void* data, uint32_t size) {
    // Compaction walks every record; the first-fit search walks the free ones.
    record any;
    if (record_find(fd, every_record, any)) {
        const uint64_t end = file_size(fd);
        unsigned char header[odb::disk::record_header_size];
        for (uint64_t offset = any.offset + odb::disk::record_header_size + any.capacity; offset + odb::disk::record_header_size <= end;) {
            must(::pread(fd, header, odb::disk::record_header_size, static_cast<off_t>(offset)) == odb::disk::record_header_size, "read record header");
            offset += odb::disk::record_header_size + get32(header + 4);
        }
    }
    const uint64_t end = file_size(fd);
    record free_space;
    record_find(fd, 0, free_space);
    // Durable, the record is written free (id 0) and flushed, and only then
    // given its id and flushed again: a cut never leaves a torn record named.
    write_record_header(fd, end, floor_durable ? 0 : id, size, size);
    must(::pwrite(fd, data, size, static_cast<off_t>(end + odb::disk::record_header_size)) == static_cast<ssize_t>(size), "write record");
    if (floor_durable) {
        floor_flush_file(fd);
        unsigned char named[4];
        put32(named, id);
        must(::pwrite(fd, named, 4, static_cast<off_t>(end)) == 4, "write record id");
        floor_flush_file(fd);
    }
}

void record_touch(int fd, const record& at) { write_record_header(fd, at.offset, at.id, at.capacity, at.length); }

void record_replace(int fd, const record& at, const void* data, uint32_t size) {
    record_touch(fd, at);
    must(::pwrite(fd, data, size, static_cast<off_t>(at.offset + odb::disk::record_header_size)) == static_cast<ssize_t>(size),
         "write record");
    // The rest of the data area is cleared, in 64 KiB writes.
    static unsigned char zeros[64 * 1024];
    for (uint64_t done = size; done < at.capacity;) {
        uint64_t block = at.capacity - done < sizeof zeros ? at.capacity - done : sizeof zeros;
        must(::pwrite(fd, zeros, block, static_cast<off_t>(at.offset + odb::disk::record_header_size + done)) == static_cast<ssize_t>(block),
             "zero record");
        done += block;
    }
}

void record_create(const std::string& path) {
    // Durable, the file is built under its temporary name, flushed, renamed
    // into place and its directory flushed.
    const std::string dir = path.substr(0, path.rfind('/'));
    const std::string built = floor_durable ? dir + "/" + odb::disk::record_file_temporary : path;
    int fd = floor_open(built.c_str(), O_RDWR | O_CREAT | O_TRUNC, floor_lock::exclusive);
    must(fd >= 0, "create record file");
    unsigned char header[odb::disk::record_file_header_size];
    std::memcpy(header, odb::disk::record_magic, 4);
    header[4] = static_cast<unsigned char>(odb::disk::record_file_header_size);
    header[5] = 0;
    header[6] = static_cast<unsigned char>(odb::disk::record_version);
    header[7] = static_cast<unsigned char>(odb::disk::record_version >> 8);
    must(::write(fd, header, sizeof header) == sizeof header, "write record file header");
    floor_flush_file(fd);
    floor_close(fd);
    if (floor_durable) {
        must(::rename(built.c_str(), path.c_str()) == 0, "rename record file");
        floor_flush_dir(dir);
    }
}

// ---- workload 1 ---------------------------------------------------------------

void create_database(const database& db) {
    make_dir(db.root);
    int fd = ::open((db.root + "/" + odb::disk::marker_file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    must(::write(fd, odb::disk::marker_text, odb::disk::marker_size) == odb::disk::marker_size, "marker");
    ::close(fd);
}

uint32_t create_object(const database& db, int i) {
    // ODB_obj_new: configuration lock, class directory, LastId, the class's
    // identifier file, the first free identifier, the object directory.
    int config = floor_open((db.root + "/" + odb::disk::config_lock_file).c_str(), O_RDONLY | O_CREAT, floor_lock::shared);
    const std::string cls = class_dir(db.root, object_class);
    if (make_dir(cls)) floor_flush_dir(db.root);
    read_ini(db.root + "/" + odb::disk::settings_file);
    int ids = floor_open((cls + "/" + odb::disk::id_file).c_str(), O_RDWR | O_CREAT, floor_lock::exclusive);
    must(ids >= 0, "open the identifier file");
    char text[257] = {};
    ssize_t got = ::read(ids, text, 256);
    constexpr ssize_t prefix = sizeof odb::disk::next_id_prefix - 1;
    uint32_t id = got > prefix ? static_cast<uint32_t>(std::strtoul(text + prefix, nullptr, 16)) : 1;
    std::string dir;
    bool new_bucket = false;
    for (;; ++id) {
        new_bucket = make_dir(bucket_dir(db.root, object_class, id)) || new_bucket;
        dir = object_dir(db.root, object_class, id);
        if (!exists(dir) && !exists(dir + odb::disk::removed_suffix) && !exists(dir + odb::disk::wiped_suffix) && ::mkdir(dir.c_str(), 0777) == 0)
            break;
    }
    char next[17];
    std::snprintf(next, sizeof next, "%s%08x", odb::disk::next_id_prefix, id + 1);
    must(::pwrite(ids, next, odb::disk::next_id_size, 0) == odb::disk::next_id_size, "write the identifier file");
    // The counter before the object it names; the bucket's new entry; a new
    // bucket (and the class's new identifier file) in the class directory.
    floor_flush_file(ids);
    floor_flush_dir(bucket_dir(db.root, object_class, id));
    if (new_bucket) floor_flush_dir(cls);
    if (db.single_file) record_create(dir + "/" + odb::disk::record_file_name);
    floor_close(ids);
    int lock = open_lock(dir, true);
    floor_close(config);

    // The name and the two small attributes.
    const std::string name = object_name(i);
    set_attribute(db, lock, dir, ODB_NAME_ATTRIBUTE, name.c_str(), static_cast<uint32_t>(name.size() + 1));
    const uint32_t a = attribute_a_value(i);
    set_attribute(db, lock, dir, small_attribute_a, &a, sizeof a);
    unsigned char b[16];
    attribute_b_value(i, b);
    set_attribute(db, lock, dir, small_attribute_b, b, sizeof b);
    floor_close(lock);
    return id;
}

void read_object(const database& db, uint32_t id) {
    int lock = open_context(db, id, false);
    const std::string dir = object_dir(db.root, object_class, id);
    unsigned char buffer[64];
    get_attribute(dir, ODB_NAME_ATTRIBUTE, buffer, sizeof buffer);
    get_attribute(dir, small_attribute_a, buffer, sizeof buffer);
    get_attribute(dir, small_attribute_b, buffer, sizeof buffer);
    floor_close(lock);
}

void rewrite_object(const database& db, uint32_t id, int i) {
    int lock = open_context(db, id, true);
    unsigned char b[16];
    attribute_b_value(i + 1, b);
    set_attribute(db, lock, object_dir(db.root, object_class, id), small_attribute_b, b, sizeof b);
    floor_close(lock);
}

void remove_object(const database& db, uint32_t id) {
    int lock = open_context(db, id, true);
    floor_close(lock);
    const std::string dir = object_dir(db.root, object_class, id);
    rename_dir(dir, dir + odb::disk::removed_suffix);
    floor_flush_dir(bucket_dir(db.root, object_class, id));
}

object_phases run_objects(const std::string& root, int count, bool single_file, bool durable) {
    database db{root, single_file};
    floor_durable = durable;
    struct reset {
        ~reset() { floor_durable = false; }
    } reset_durable;
    create_database(db);
    std::vector<uint32_t> ids(static_cast<std::size_t>(count));
    object_phases phases;

    {
        step_timer timer(phases.create, phases.create_cpu);
        for (int i = 0; i < count; ++i) ids[i] = create_object(db, i);
    }

    {
        step_timer timer(phases.read, phases.read_cpu);
        for (int i = 0; i < count; ++i) read_object(db, ids[i]);
    }

    {
        step_timer timer(phases.rewrite, phases.rewrite_cpu);
        for (int i = 0; i < count; ++i) rewrite_object(db, ids[i], i);
    }

    {
        step_timer timer(phases.remove, phases.remove_cpu);
        for (int i = 0; i < count; ++i) remove_object(db, ids[i]);
    }
    return phases;
}

}  // namespace bench::floor
