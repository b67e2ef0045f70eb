// The private-profile (INI) functions. Each call sees the file as it is
// now, so a change made by another process is seen at once (the last files
// read are kept parsed while they stay unchanged; see "The cache" below),
// and every write replaces the file whole (see save_profile).
//
// The files are opened like every other file, through the share locks
// (open_locked): a read holds the file shared and is refused by a handle
// that does not share reading; a write holds it exclusively from its read
// to its rename, so it is refused by any other handle, and no other write
// can come between its read and its rename. A refused call fails with
// ERROR_SHARING_VIOLATION and leaves the file as it was. Within the process
// a write excludes every other call, as KERNEL32 serializes them, so that
// the calls of one process never refuse each other; reads go together.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "platform/extensions.h"
#include "platform/posix/profile_file.h"

namespace {

using namespace odb::posix;

// Set by WritePrivateProfileStringFlushedW for the write it makes.
thread_local bool flush_profile_writes = false;

std::shared_mutex& profile_mutex() {
    static std::shared_mutex mutex;
    return mutex;
}

bool not_found(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::u16string wide(LPCWSTR text) {
    return text == nullptr ? std::u16string() : std::u16string(text, text + wide_length(text));
}

// Copies as much of `text` as fits with its terminator and returns the
// number of units copied: a string that does not fit is cut to size - 1.
DWORD copy_cut(const std::u16string& text, LPWSTR buffer, DWORD size) {
    std::size_t count = text.size() < size ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), count * sizeof(WCHAR));
    buffer[count] = 0;
    return static_cast<DWORD>(count);
}

// A list of names as "a\0b\0\0". A list that does not fit is cut inside
// the name that does not fit, still ends in two NULs, and returns size - 2.
DWORD copy_list(const std::vector<std::u16string>& names, LPWSTR buffer, DWORD size) {
    if (size == 1) {
        buffer[0] = 0;
        return 0;
    }
    DWORD room = size - 1;  // units left before the final terminator
    LPWSTR out = buffer;
    for (const auto& name : names) {
        DWORD needed = static_cast<DWORD>(name.size()) + 1;
        if (needed >= room) {
            std::memcpy(out, name.data(), (room - 1) * sizeof(WCHAR));
            out += room - 1;
            *out++ = 0;
            *out = 0;
            return size - 2;
        }
        std::memcpy(out, name.data(), name.size() * sizeof(WCHAR));
        out += name.size();
        *out++ = 0;
        room -= needed;
    }
    *out = 0;
    return static_cast<DWORD>(out - buffer);
}

// ---- The cache -------------------------------------------------------------
//
// The engine reads the same few files again and again (a database's options
// on every object it creates), and a read from the path costs an open, the
// share protocol's fstat, lock and stat, two reads and a close. So the files
// last read are kept parsed, each with a descriptor of the file held open,
// and a read of one of them costs two calls: a test of its share lock on
// the held descriptor (F_OFD_GETLK) and a stat of the path. The parsed file
// is used when no handle holds the file without sharing reading and the
// path still names the same file unchanged: the same device and inode, size,
// modification and status-change times to the nanosecond. Anything else, or
// a failed call, reads the path as before, and that read replaces the entry.
//
// What the comparison sees:
//   * The file replaced by another: the layer's own writes build a new file
//     and rename it over the old one, and so do most editors. The held
//     descriptor keeps the old inode allocated, so its number cannot pass to
//     the new file, and the inode alone tells them apart.
//   * The file deleted or renamed: the stat fails or finds another inode.
//   * The file changed in place: each write sets the modification and
//     status-change times, and most change the size.
// What it cannot see: a change in place by a program that does not use this
// layer, which keeps the size and falls within the same tick of the clock
// that stamps file times (a few milliseconds) as the read that filled the
// entry. Such a program is not held back by the share locks either, and a
// read from the path could as well have met it half-way through its write;
// the cache adds no case that was safe before. (Kernels with multigrain
// time stamps, Linux 6.13 on, give the first change after a stat a
// fine-grained time on the file systems that support them, which closes
// even that gap there.)
//
// The share lock: the held descriptor has none (it would refuse every
// writer), so a hit asks whether any other handle holds a lock on the file
// that a shared open would meet, and a file held so is read from the path,
// which refuses it as before. The test covers the whole file, not only the
// share-lock byte: a lock anyone takes on the contents only sends the read
// the long way, which decides exactly. A reader never sees a torn file: the
// layer's writers never write in place, and a handle writing in place holds
// the file exclusively, which the test sees, and changes its times.
//
// On a distributed file system the lock test goes to the server, and so
// does the stat of the path when the client's attribute caches are off,
// which the share locks need anyway (share_lock.cpp): a change made on
// another machine is seen as a local one is. Held descriptors would turn a delete of this
// process into a rename (NFS keeps an open file under a hidden name, which
// then keeps its directory from being removed): a write, a delete or a wipe
// through this layer drops the entries at or below its path first.
//
// The cache holds a few entries, the least recently used making room; it
// serves every thread under one mutex, and a forked child closes the held
// descriptors with every other descriptor of the layer (handles.cpp).

constexpr std::size_t cached_profile_count = 4;

struct cached_profile {
    std::string path;  // as the caller named it
    int fd = -1;       // -1: a free slot
    struct stat seen;  // of fd, taken before the contents were read
    std::shared_ptr<const profile_file> profile;
    uint64_t last_use = 0;
};

struct profile_cache {
    std::mutex mutex;
    cached_profile entries[cached_profile_count];
    uint64_t uses = 0;
};

std::atomic<profile_cache*> cache_made{nullptr};

profile_cache& cache() {
    // Never destroyed: a read may come from a static destructor.
    static profile_cache* const instance = new profile_cache();
    cache_made.store(instance, std::memory_order_release);
    return *instance;
}

bool same_times(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool unchanged(const struct stat& seen, const struct stat& now) {
    return seen.st_dev == now.st_dev && seen.st_ino == now.st_ino &&
           seen.st_size == now.st_size && same_times(seen.st_mtim, now.st_mtim) &&
           same_times(seen.st_ctim, now.st_ctim);
}

// The whole file, from byte 0 to the end of any possible file.
struct flock whole_file(short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    return range;
}

void clear_entry(cached_profile& entry) {
    if (entry.fd >= 0) ::close(entry.fd);
    entry.fd = -1;
    entry.path.clear();
    entry.profile.reset();
}

// The parsed file cached for `path`, when it may be used (see above); null
// otherwise. An entry whose file has changed or gone is dropped.
std::shared_ptr<const profile_file> find_cached(const std::string& path) {
    descriptor_scope scope;
    profile_cache& c = cache();
    std::lock_guard<std::mutex> guard(c.mutex);
    for (cached_profile& entry : c.entries) {
        if (entry.fd < 0 || entry.path != path) continue;
        struct flock held = whole_file(F_RDLCK);
        if (::fcntl(entry.fd, F_OFD_GETLK, &held) != 0 || held.l_type != F_UNLCK) return nullptr;
        struct stat now;
        if (::stat(path.c_str(), &now) != 0 || !unchanged(entry.seen, now)) {
            clear_entry(entry);
            return nullptr;
        }
        entry.last_use = ++c.uses;
        return entry.profile;
    }
    return nullptr;
}

// Caches what was read from `fd`, which the cache then owns.
void remember(const std::string& path, int fd, const struct stat& seen,
              const std::shared_ptr<const profile_file>& profile) {
    descriptor_scope scope;
    profile_cache& c = cache();
    std::lock_guard<std::mutex> guard(c.mutex);
    cached_profile* slot = &c.entries[0];
    for (cached_profile& entry : c.entries) {
        if (entry.fd >= 0 && entry.path == path) {
            slot = &entry;
            break;
        }
        if (entry.fd < 0 ? slot->fd >= 0 : slot->fd >= 0 && entry.last_use < slot->last_use)
            slot = &entry;
    }
    clear_entry(*slot);
    slot->path = path;
    slot->fd = fd;
    slot->seen = seen;
    slot->profile = profile;
    slot->last_use = ++c.uses;
}

const std::shared_ptr<const profile_file>& no_profile() {
    static const auto empty = std::make_shared<const profile_file>(empty_profile());
    return empty;
}

// Reads the profile held shared, or finds it cached. A missing file reads
// as empty; null, with the last error set, when the file cannot be read.
std::shared_ptr<const profile_file> load_for_reading(LPCWSTR file) {
    std::string path;
    if (file == nullptr || !to_posix_path(file, path)) return nullptr;
    descriptor_scope scope;
    std::shared_lock<std::shared_mutex> reading(profile_mutex());
    if (auto cached = find_cached(path)) return cached;
    bool created = false;
    DWORD error = ERROR_SUCCESS;
    int fd = open_locked(path, O_RDONLY, share_lock_kind::shared, OPEN_EXISTING, created, error);
    if (fd < 0) {
        if (not_found(error)) return no_profile();
        fail(error);
        return nullptr;
    }
    auto profile = std::make_shared<profile_file>();
    struct stat seen;
    const int read_error = ::fstat(fd, &seen) != 0 ? errno : read_profile(fd, *profile);
    if (read_error != 0) {
        ::close(fd);
        fail(error_from_errno(read_error));
        return nullptr;
    }
    // Kept, the descriptor must refuse no one: its shared lock goes.
    struct flock unlock = whole_file(F_UNLCK);
    if (::fcntl(fd, F_OFD_SETLK, &unlock) == 0) remember(path, fd, seen, profile);
    else ::close(fd);
    return profile;
}

// Reads the profile at `path` held exclusively, lets `edit` change it, and
// saves it if `edit` answers that it changed. Sets the last error and
// returns FALSE on failure.
BOOL update_profile(const std::string& path, const std::function<bool(profile_file&)>& edit) {
    descriptor_scope scope;
    std::lock_guard<std::shared_mutex> writing(profile_mutex());
    forget_cached_profiles(path);
    for (int attempt = 0; attempt < share_open_attempts; ++attempt) {
        bool created = false;
        DWORD error = ERROR_SUCCESS;
        int fd = open_locked(path, O_RDWR, share_lock_kind::exclusive, OPEN_EXISTING, created,
                             error);
        if (fd < 0 && !not_found(error)) return fail(error);
        profile_file profile = empty_profile();
        int failure = fd < 0 ? 0 : read_profile(fd, profile);
        if (failure == 0 && edit(profile)) failure = save_profile(path, profile, fd >= 0, flush_profile_writes);
        if (fd >= 0) ::close(fd);
        // A file that appeared since we found none: start over and edit it.
        if (failure == EEXIST) continue;
        if (failure == ENOENT) return fail(ERROR_PATH_NOT_FOUND);
        return failure == 0 ? TRUE : fail(error_from_errno(failure));
    }
    return fail(ERROR_SHARING_VIOLATION);
}

// The value of section/key as Windows returns it: one pair of matching
// quotes removed. False when there is no such key or it has no '='.
bool read_value(const profile_file& profile, LPCWSTR section, LPCWSTR key,
                std::u16string& value) {
    const profile_section* found = profile.find_section(profile_trim(wide(section)));
    if (found == nullptr) return false;
    const profile_entry* entry = profile_file::find_key(*found, profile_trim(wide(key)));
    if (entry == nullptr || entry->kind != profile_entry::pair) return false;
    value = entry->value;
    if (value.size() >= 2 && (value[0] == u'"' || value[0] == u'\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
    return true;
}

std::vector<std::u16string> section_names(const profile_file& profile) {
    std::vector<std::u16string> names;
    for (const auto& section : profile.sections)
        if (section.named && !section.name.empty()) names.push_back(section.name);
    return names;
}

}  // namespace

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR default_value, LPWSTR buffer,
                               DWORD size, LPCWSTR file) {
    if (!admit_call()) return 0;
    if (buffer == nullptr || size == 0) return 0;
    std::shared_ptr<const profile_file> profile = load_for_reading(file);
    if (profile == nullptr) profile = no_profile();
    if (section == nullptr) return copy_list(section_names(*profile), buffer, size);
    if (key == nullptr) {
        std::vector<std::u16string> keys;
        if (const profile_section* found = profile->find_section(profile_trim(wide(section))))
            for (const auto& entry : found->entries)
                if (entry.kind == profile_entry::pair && !entry.key.empty())
                    keys.push_back(entry.key);
        return copy_list(keys, buffer, size);
    }
    std::u16string value;
    if (!read_value(*profile, section, key, value)) {
        value = wide(default_value);
        while (!value.empty() && value.back() == u' ') value.pop_back();
    }
    return copy_cut(value, buffer, size);
}

UINT GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, int default_value, LPCWSTR file) {
    if (!admit_call()) return static_cast<UINT>(default_value);
    const std::shared_ptr<const profile_file> profile = load_for_reading(file);
    std::u16string value;
    if (profile == nullptr || !read_value(*profile, section, key, value) || value.empty())
        return static_cast<UINT>(default_value);
    // Decimal digits after an optional sign, up to the first other
    // character, in unsigned arithmetic that wraps: "-1" is 4294967295,
    // "42A9" is 42, "B42" is 0.
    std::size_t at = 0;
    bool negative = false;
    if (value[0] == u'-' || value[0] == u'+') {
        negative = value[0] == u'-';
        ++at;
    }
    UINT result = 0;
    for (; at < value.size() && value[at] >= u'0' && value[at] <= u'9'; ++at)
        result = result * 10u + static_cast<UINT>(value[at] - u'0');
    return negative ? 0u - result : result;
}

DWORD GetPrivateProfileSectionNamesW(LPWSTR buffer, DWORD size, LPCWSTR file) {
    if (!admit_call()) return 0;
    if (buffer == nullptr || size == 0) return 0;
    const std::shared_ptr<const profile_file> profile = load_for_reading(file);
    if (profile == nullptr) {
        buffer[0] = 0;
        return 0;
    }
    return copy_list(section_names(*profile), buffer, size);
}

BOOL GetPrivateProfileStructW(LPCWSTR section, LPCWSTR key, LPVOID buffer, UINT size,
                              LPCWSTR file) {
    if (!admit_call()) return FALSE;
    const std::shared_ptr<const profile_file> profile = load_for_reading(file);
    std::u16string value;
    if (profile == nullptr || !read_value(*profile, section, key, value))
        return fail(ERROR_FILE_NOT_FOUND);
    // Two hexadecimal digits per byte and two for the checksum, the sum of
    // the bytes modulo 256; anything else is refused whole.
    if (value.size() != 2ull * size + 2) return fail(ERROR_INVALID_DATA);
    std::vector<BYTE> bytes(size + 1u);
    for (std::size_t i = 0; i < value.size(); ++i) {
        char16_t c = value[i];
        unsigned digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else if (c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else
            return fail(ERROR_INVALID_DATA);
        bytes[i / 2] = static_cast<BYTE>(bytes[i / 2] << 4 | digit);
    }
    BYTE sum = 0;
    for (UINT i = 0; i < size; ++i) sum = static_cast<BYTE>(sum + bytes[i]);
    if (sum != bytes[size]) return fail(ERROR_INVALID_DATA);
    if (size != 0) std::memcpy(buffer, bytes.data(), size);
    return TRUE;
}

BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR file) {
    if (!admit_call()) return FALSE;
    // The answers KERNEL32 gives for no section and for an empty name.
    if (section == nullptr) return fail(ERROR_FILE_NOT_FOUND);
    if (file == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (file[0] == 0) return fail(ERROR_ACCESS_DENIED);
    std::string path;
    if (!to_posix_path(file, path)) return FALSE;

    const std::u16string section_name = profile_trim(wide(section));
    return update_profile(path, [&](profile_file& profile) {
        profile_section* found = profile.find_section(section_name);
        if (key == nullptr) {
            // No key: the whole (first) section goes.
            if (found == nullptr) return false;
            profile.sections.erase(profile.sections.begin() + (found - profile.sections.data()));
            return true;
        }
        if (value == nullptr) {
            // No value: the (first) key goes.
            profile_entry* entry =
                found == nullptr ? nullptr : profile_file::find_key(*found, profile_trim(wide(key)));
            if (entry == nullptr) return false;
            found->entries.erase(found->entries.begin() + (entry - found->entries.data()));
            return true;
        }
        if (found == nullptr) {
            profile.sections.push_back(profile_section{true, section_name, {}});
            found = &profile.sections.back();
        }
        std::u16string text = wide(value);
        std::size_t start = 0;
        while (start < text.size() && profile_space(text[start])) ++start;
        text.erase(0, start);
        const std::u16string key_name = profile_trim(wide(key));
        profile_entry* entry = profile_file::find_key(*found, key_name);
        if (entry == nullptr) {
            found->entries.push_back(profile_entry{profile_entry::pair, key_name, text});
            return true;
        }
        if (entry->kind == profile_entry::pair && entry->value == text) return false;
        entry->kind = profile_entry::pair;
        entry->value = text;
        return true;
    });
}

BOOL WritePrivateProfileStructW(LPCWSTR section, LPCWSTR key, LPVOID buffer, UINT size,
                                LPCWSTR file) {
    if (buffer == nullptr) return WritePrivateProfileStringW(section, key, nullptr, file);
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string text;
    text.reserve(2ull * size + 3);
    const auto* bytes = static_cast<const BYTE*>(buffer);
    BYTE sum = 0;
    for (UINT i = 0; i <= size; ++i) {
        BYTE b = i < size ? bytes[i] : sum;
        sum = static_cast<BYTE>(sum + b);
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return WritePrivateProfileStringW(section, key, text.c_str(), file);
}

namespace odb::posix {

void forget_cached_profiles(const std::string& path) {
    descriptor_scope scope;
    profile_cache& c = cache();
    std::lock_guard<std::mutex> guard(c.mutex);
    if (path.empty()) return;
    for (cached_profile& entry : c.entries) {
        const bool below = entry.path.size() > path.size() &&
                           entry.path.compare(0, path.size(), path) == 0 &&
                           (path.back() == '/' || entry.path[path.size()] == '/');
        if (entry.fd >= 0 && (entry.path == path || below)) clear_entry(entry);
    }
}

void close_cached_profiles_in_child() {
    // Only calls holding a descriptor_scope touch the cache, and a fork
    // waits for them all: no thread holds its mutex now.
    profile_cache* c = cache_made.load(std::memory_order_acquire);
    if (c == nullptr) return;
    for (cached_profile& entry : c->entries) {
        if (entry.fd >= 0) ::close(entry.fd);
        entry.fd = -1;  // nothing freed: the entry is reused or dropped later
    }
}

}  // namespace odb::posix

namespace odb::platform {

BOOL WritePrivateProfileStringFlushedW(LPCWSTR section, LPCWSTR key, LPCWSTR value,
                                       LPCWSTR file) {
    flush_profile_writes = true;
    const BOOL result = WritePrivateProfileStringW(section, key, value, file);
    flush_profile_writes = false;
    return result;
}

BOOL WritePrivateProfileStructFlushedW(LPCWSTR section, LPCWSTR key, LPVOID buffer, UINT size,
                                       LPCWSTR file) {
    flush_profile_writes = true;
    const BOOL result = WritePrivateProfileStructW(section, key, buffer, size, file);
    flush_profile_writes = false;
    return result;
}

}  // namespace odb::platform
