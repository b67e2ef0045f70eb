// Floor of workload 2: directory listings, lock-file opens and attribute
// reads, and the name index files, with raw system calls. With
// floor_emulation each listed entry also costs the stat that a Win32 listing
// entry (attributes, times, size) needs on POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <stdexcept>

#include "core/disk_format.h"
#include "floor.h"
#include "walks.h"

namespace bench::floor {

namespace {

uint32_t get32(const unsigned char* in) {
    return in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

bool eight_hex_digits(const char* name) {
    for (int i = 0; i < 8; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
    return name[8] == 0;
}

// The live objects of the class, in listing order.
template <class Visit>
int walk(const std::string& root, Visit visit) {
    const std::string cls = class_dir(root, object_class);
    DIR* buckets = ::opendir(cls.c_str());
    if (buckets == nullptr) return 0;
    int found = 0;
    while (struct dirent* bucket = ::readdir(buckets)) {
        if (bucket->d_type != DT_DIR || !eight_hex_digits(bucket->d_name)) continue;
        if (floor_emulation) {
            struct stat st;
            ::fstatat(::dirfd(buckets), bucket->d_name, &st, 0);
        }
        const uint32_t bucket_number = static_cast<uint32_t>(std::strtoul(bucket->d_name, nullptr, 16));
        const std::string bucket_path = cls + "/" + bucket->d_name;
        DIR* slots = ::opendir(bucket_path.c_str());
        if (slots == nullptr) continue;
        while (struct dirent* slot = ::readdir(slots)) {
            if (slot->d_type != DT_DIR || !eight_hex_digits(slot->d_name)) continue;
            if (floor_emulation) {
                struct stat st;
                ::fstatat(::dirfd(slots), slot->d_name, &st, 0);
            }
            const uint32_t id = bucket_number * 512 + static_cast<uint32_t>(std::strtoul(slot->d_name, nullptr, 16));
            if (visit(bucket_path + "/" + slot->d_name, id)) ++found;
        }
        ::closedir(slots);
    }
    ::closedir(buckets);
    return found;
}

// The value of a 4-byte attribute, as the filter reads it: exists, size, value.
bool read_small_attribute(const std::string& dir, uint32_t attribute, uint32_t& value) {
    const std::string records = dir + "/" + odb::disk::record_file_name;
    if (exists(records)) {
        record found;
        int fd = record_open(records, false);
        bool present = record_find(fd, attribute, found);
        floor_close(fd);
        if (!present) return false;
        for (int pass = 0; pass < 2; ++pass) {  // the size, then the value
            if (!exists(records)) return false;
            fd = record_open(records, false);
            record_find(fd, attribute, found);
            if (pass == 1 && ::pread(fd, &value, 4, static_cast<off_t>(found.offset + odb::disk::record_header_size)) != 4) value = 0;
            floor_close(fd);
        }
        return found.length == 4;
    }
    const std::string file = dir + "/" + hex8(attribute) + odb::disk::attribute_file_suffix;
    if (!exists(file)) return false;
    uint32_t size = 0;
    for (int pass = 0; pass < 2; ++pass) {
        exists(records);
        int fd = floor_open(file.c_str(), O_RDONLY, floor_lock::shared);
        if (fd < 0) return false;
        struct stat st;
        ::fstat(fd, &st);
        size = static_cast<uint32_t>(st.st_size);
        if (pass == 1 && ::read(fd, &value, 4) != 4) value = 0;
        floor_close(fd);
    }
    return size == 4;
}

std::string index_file(const std::string& root, int bucket) {
    if (bucket < 0) return class_dir(root, object_class) + "/" + odb::disk::name_index_file;
    char name[16];
    std::snprintf(name, sizeof name, "/%s%03x", odb::disk::name_bucket_prefix, bucket);
    return class_dir(root, object_class) + name;
}

// The library opens an index file without probing it first: a missing one
// is learnt from the open's failure.
int open_index(const std::string& root, int bucket) {
    const std::string path = index_file(root, bucket);
    int fd = floor_open(path.c_str(), O_RDONLY, floor_lock::shared);
    if (fd < 0) throw std::runtime_error("floor: name index missing");
    return fd;
}

// names.dat opened and its header checked; it stays open while the
// buckets are read. Returns the bucket count.
uint32_t check_index(int names) {
    unsigned char header[odb::disk::name_index_header_size];
    if (::read(names, header, sizeof header) != sizeof header) throw std::runtime_error("floor: short name index header");
    return get32(header + 8);
}

// The name attribute's value, as the rebuild reads it: the form's probe,
// the attribute's probe, then the value (at most 514 bytes).
uint32_t read_name(const std::string& dir, unsigned char* value) {
    const std::string records = dir + "/" + odb::disk::record_file_name;
    if (exists(records)) {
        // The open's first record is not read again when it is the name's.
        record found;
        int fd = record_open(records, false, &found);
        uint32_t got = 0;
        if ((found.offset != 0 && found.id == ODB_NAME_ATTRIBUTE) || record_find(fd, ODB_NAME_ATTRIBUTE, found)) {
            got = found.length < 514 ? found.length : 514;
            if (::pread(fd, value, got, static_cast<off_t>(found.offset + odb::disk::record_header_size)) !=
                static_cast<ssize_t>(got))
                got = 0;
        }
        floor_close(fd);
        return got;
    }
    const std::string file = dir + "/" + hex8(ODB_NAME_ATTRIBUTE) + odb::disk::attribute_file_suffix;
    if (!exists(file)) return 0;
    int fd = floor_open(file.c_str(), O_RDONLY, floor_lock::shared);
    if (fd < 0) return 0;
    const ssize_t got = ::read(fd, value, 514);
    floor_close(fd);
    return got > 0 ? static_cast<uint32_t>(got) : 0;
}

void put32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

int walk_plain(const std::string& root) {
    return walk(root, [](const std::string&, uint32_t) { return true; });
}

int walk_changed_after(const std::string& root) {
    return walk(root, [](const std::string& dir, uint32_t) {
        int fd = floor_open((dir + "/" + odb::disk::object_lock_file).c_str(), O_RDONLY, floor_lock::shared);
        struct stat st;
        ::fstat(fd, &st);
        floor_close(fd);
        return st.st_mtim.tv_sec > 946684800;  // 2000-01-01
    });
}

int walk_matching(const std::string& root) {
    return walk(root, [](const std::string& dir, uint32_t) {
        if (!exists(dir)) return false;
        int lock = floor_open((dir + "/" + odb::disk::object_lock_file).c_str(), O_RDONLY | O_CREAT, floor_lock::shared);
        uint32_t value = 0;
        bool pass = read_small_attribute(dir, small_attribute_a, value) && value == filter_value;
        floor_close(lock);
        return pass;
    });
}

uint32_t count_by_index(const std::string& root) {
    int names = open_index(root, -1);
    const uint32_t buckets = check_index(names);
    uint32_t total = 0;
    for (uint32_t b = 0; b < buckets; ++b) {
        // A read of the header tells a bucket too short for one (it counts
        // nothing) without asking for the size.
        int fd = open_index(root, static_cast<int>(b));
        unsigned char bucket_header[odb::disk::name_bucket_header_size];
        if (::read(fd, bucket_header, sizeof bucket_header) == sizeof bucket_header) total += get32(bucket_header + 4);
        floor_close(fd);
    }
    floor_close(names);
    return total;
}

uint32_t lookup(const std::string& root, int i) {
    const std::string name = object_name(i);
    uint32_t sum = 0;
    for (char c : name) sum += static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    int names = open_index(root, -1);
    int fd = open_index(root, static_cast<int>(sum % check_index(names)));
    static unsigned char window[65536];
    uint32_t answer = 0;
    constexpr uint32_t overhead = odb::disk::name_entry_overhead;
    uint64_t offset = odb::disk::name_bucket_header_size;
    bool found = false;
    // A short read is the end of the bucket: no size is asked for.
    for (bool more = true; !found && more;) {
        ssize_t got = ::pread(fd, window, sizeof window, static_cast<off_t>(offset));
        if (got < static_cast<ssize_t>(overhead)) break;
        more = got == static_cast<ssize_t>(sizeof window);
        std::size_t at = 0;
        while (at + overhead <= static_cast<std::size_t>(got)) {
            uint32_t length = window[at] | (window[at + 1] << 8);
            if (length < overhead || at + length > static_cast<std::size_t>(got)) break;
            // As the library compares: the entry's room, its terminator, then
            // the units from the name's end.
            const unsigned char* stored = window + at + 6;
            const std::size_t units = name.size(), last = (length - overhead) / 2;
            bool match = last >= units && (units == last || (stored[2 * units] | stored[2 * units + 1]) == 0);
            if (match) {
                std::size_t k = units;
                while (k > 0 && stored[2 * k - 2] == static_cast<unsigned char>(name[k - 1]) && stored[2 * k - 1] == 0) --k;
                match = k == 0;
            }
            if (match) {
                answer = get32(window + at + 2);
                found = true;
                break;
            }
            at += length;
        }
        offset += at;
    }
    floor_close(fd);
    floor_close(names);
    return answer;
}

uint32_t rebuild_index(const std::string& root) {
    invalidate_name_index(root);
    // The count finds names.dat invalid, and the rebuild starts.
    int names = open_index(root, -1);
    unsigned char header[odb::disk::name_index_header_size] = {};
    if (::read(names, header, sizeof header) == sizeof header) throw std::runtime_error("floor: index still valid");
    floor_close(names);
    constexpr uint32_t buckets = 16;  // the benchmark database's HashCount
    names = floor_open(index_file(root, -1).c_str(), O_RDWR | O_CREAT, floor_lock::exclusive);
    if (::pwrite(names, header, sizeof header, 0) != sizeof header) throw std::runtime_error("floor: names.dat");
    int files[buckets];
    uint32_t counts[buckets] = {};
    unsigned char bucket_header[odb::disk::name_bucket_header_size] = {};
    put32(bucket_header, odb::disk::name_index_magic);
    for (uint32_t b = 0; b < buckets; ++b) {
        // Emptied in its open: names.dat, held, keeps every other user out.
        const std::string path = index_file(root, static_cast<int>(b));
        files[b] = floor_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, floor_lock::exclusive);
        if (::write(files[b], bucket_header, sizeof bucket_header) != sizeof bucket_header)
            throw std::runtime_error("floor: bucket header");
    }
    // The library opens each listed object's lock file without probing the
    // directory first.
    walk(root, [&](const std::string& dir, uint32_t id) {
        int lock = floor_open((dir + "/" + odb::disk::object_lock_file).c_str(), O_RDONLY | O_CREAT, floor_lock::shared);
        unsigned char value[514];
        const uint32_t got = read_name(dir, value);
        floor_close(lock);
        uint32_t units = 0, sum = 0;
        while (units < got && units < 126 && value[units] != 0) {
            const unsigned char c = value[units++];
            sum += c >= 'A' && c <= 'Z' ? c + 32 : c;
        }
        unsigned char entry[264] = {};
        const uint32_t length = 8 + 2 * (units + 1) > 40 ? 8 + 2 * (units + 1) : 40;
        entry[0] = static_cast<unsigned char>(length);
        put32(entry + 2, id);
        for (uint32_t k = 0; k < units; ++k) entry[6 + 2 * k] = value[k];
        const uint32_t b = sum % buckets;
        if (::write(files[b], entry, length) != static_cast<ssize_t>(length)) throw std::runtime_error("floor: entry");
        ++counts[b];
        return true;
    });
    for (uint32_t b = 0; b < buckets; ++b) {
        put32(bucket_header + 4, counts[b]);
        if (::pwrite(files[b], bucket_header, sizeof bucket_header, 0) != sizeof bucket_header)
            throw std::runtime_error("floor: bucket count");
        floor_close(files[b]);
    }
    put32(header, odb::disk::name_index_magic);
    put32(header + 4, static_cast<uint32_t>(::time(nullptr) - 694224000));  // seconds since 1992
    put32(header + 8, buckets);
    if (::pwrite(names, header, sizeof header, 0) != sizeof header) throw std::runtime_error("floor: names.dat");
    floor_close(names);
    // The count is the sum of what was written, not read back.
    uint32_t total = 0;
    for (uint32_t b = 0; b < buckets; ++b) total += counts[b];
    return total;
}

}  // namespace bench::floor

namespace bench {

void invalidate_name_index(const std::string& root) {
    const std::string path = class_dir(root, object_class) + "/" + odb::disk::name_index_file;
    if (::truncate(path.c_str(), 0) != 0) throw std::runtime_error("cannot empty names.dat");
}

}  // namespace bench
