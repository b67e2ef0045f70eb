// What the POSIX implementation of the Win32 subset shares between its files.
// Only src/platform/posix/ includes this; it may include system headers.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace odb::posix {

// ---- Every entry point ----------------------------------------------------

// Called first by each entry point that can fail. It admits every call
// unless a test has armed the fault injection (fault_injection.h), which
// then makes its chosen call fail here, setting the last error itself. The
// entry point is named by the compiler at the call site, so the gate needs
// no argument; off, it costs one relaxed load.
extern std::atomic<bool> fault_armed;
bool admit_armed_call(const char* entry);
inline bool admit_call(const char* entry = __builtin_FUNCTION()) {
    return !fault_armed.load(std::memory_order_relaxed) || admit_armed_call(entry);
}

// For ReadFile and WriteFile, after admit_call: lowers `count` when the
// armed plan asks for a short transfer. True when the call must fail (with
// `error`) after moving the lowered count.
bool cut_armed_transfer(DWORD& count, DWORD& error);
inline bool cut_transfer(DWORD& count, DWORD& error) {
    return fault_armed.load(std::memory_order_relaxed) && cut_armed_transfer(count, error);
}

// Between an open and its share lock (open_locked): lets an armed test run
// its hook there (fault_injection.h), so it can move the file in between.
void run_armed_open_hook();
inline void pause_between_open_and_lock() {
    if (fault_armed.load(std::memory_order_relaxed)) run_armed_open_hook();
}

// After each change the layer makes to the file system, and after each
// flush: lets the power-loss simulator record it when a test runs one
// (power_loss.h). Paths are as the layer passed them to the system. Off,
// each costs the same relaxed load as admit_call.
void record_written(int fd, uint64_t offset, const void* bytes, std::size_t count);
void record_resized(int fd, uint64_t size);
void record_created(const std::string& path);  // a file or a directory
void record_removed(const std::string& path);  // a file or a directory
void record_renamed(const std::string& from, const std::string& to);
void record_file_flushed(int fd);
void record_directory_flushed(const std::string& path);
inline bool recording() { return fault_armed.load(std::memory_order_relaxed); }
inline void note_file_written(int fd, uint64_t offset, const void* bytes, std::size_t count) {
    if (recording()) record_written(fd, offset, bytes, count);
}
inline void note_file_resized(int fd, uint64_t size) {
    if (recording()) record_resized(fd, size);
}
inline void note_created(const std::string& path) {
    if (recording()) record_created(path);
}
inline void note_removed(const std::string& path) {
    if (recording()) record_removed(path);
}
inline void note_renamed(const std::string& from, const std::string& to) {
    if (recording()) record_renamed(from, to);
}
inline void note_file_flushed(int fd) {
    if (recording()) record_file_flushed(fd);
}
inline void note_directory_flushed(const std::string& path) {
    if (recording()) record_directory_flushed(path);
}

// ---- Handles --------------------------------------------------------------

enum class handle_kind : uint32_t { file = 0x454C4946u, find = 0x444E4946u };

// The object a HANDLE points at. Every live object is registered, so a
// stale or foreign handle is refused with ERROR_INVALID_HANDLE instead of
// being dereferenced.
struct handle_object {
    explicit handle_object(handle_kind k) : kind(k) {}
    virtual ~handle_object() = default;
    // Closes what the object holds of the system, leaving it inert; run in
    // a forked child for every handle it inherited (see handles.cpp).
    virtual void close_descriptors() = 0;
    handle_kind kind;
};

// Where a share lock is kept, for ConfirmLockHeldW (share_lock.cpp, ON A
// DISTRIBUTED FILE SYSTEM): in this kernel, which never forgets a lock
// while its descriptor is open, or possibly by a file server, which can.
enum class lock_keeper : unsigned char { unknown, kernel, server };

struct file_object final : handle_object {
    file_object(int descriptor, bool read, bool write)
        : handle_object(handle_kind::file), fd(descriptor), can_read(read), can_write(write) {}
    ~file_object() override;
    void close_descriptors() override;
    int fd;
    // What the handle was opened for; the descriptor may allow more (see
    // share_lock.cpp), the handle never does.
    bool can_read;
    bool can_write;
    // The file pointer (see file_io.cpp); the descriptor's own offset is
    // not used.
    uint64_t position = 0;
    // The file's size, known from the open and kept by this handle's own
    // writes: while the handle holds its share lock no other handle of the
    // layer can change the file (a shared holder admits no writer, an
    // exclusive one admits nobody), so asking the system again would only
    // repeat this answer. A handle that does not know it yet learns it at
    // its first need (size_known false).
    uint64_t size = 0;
    bool size_known = true;
    // Known from the open for a file on a block device; otherwise learnt
    // by the first ConfirmLockHeldW, once for the handle's life (the file
    // cannot leave its file system, and a device number without a block
    // device behind it is reused by other mounts, so nothing else is keyed
    // on it).
    lock_keeper keeper = lock_keeper::unknown;
};

// Where a lock on the file open at `fd` is kept, asked of its file system
// (share_lock.cpp).
lock_keeper lock_keeper_of(int fd);

// The size of the handle's file (see file_object::size); 0 or an errno.
int known_size(file_object& object, uint64_t& size);

HANDLE register_handle(handle_object* object);
// The registered object of that kind, or null (the last error then set).
handle_object* lookup_handle(HANDLE handle, handle_kind kind);
// Unregisters and returns the object, or null (the last error then set).
handle_object* unregister_handle(HANDLE handle, handle_kind kind);

inline file_object* lookup_file(HANDLE handle) {
    return static_cast<file_object*>(lookup_handle(handle, handle_kind::file));
}

// Held by a call for as long as it owns a descriptor that is not in the
// registry: from open() to register_handle(), or for the whole of a delete,
// a rename or a profile access. A fork waits for every such call to end, so
// a forked child never has a descriptor it cannot close (see handles.cpp).
// Nests within a thread.
class descriptor_scope {
public:
    descriptor_scope();
    ~descriptor_scope();
    descriptor_scope(const descriptor_scope&) = delete;
    descriptor_scope& operator=(const descriptor_scope&) = delete;
};

// ---- Errors ---------------------------------------------------------------

// The Win32 error for an errno of a call on an existing handle.
DWORD error_from_errno(int error);
// The Win32 error for an errno of a call that named `path`: ENOENT becomes
// ERROR_FILE_NOT_FOUND when the parent directory exists and
// ERROR_PATH_NOT_FOUND when it does not, as Windows tells them apart.
DWORD path_error_from_errno(int error, const std::string& path);
// Sets the last error from errno (by path_error_from_errno) and returns FALSE.
BOOL fail_path(int error, const std::string& path);
BOOL fail(DWORD error);

// ---- Text -----------------------------------------------------------------

// Strict UTF-16 -> UTF-8; false on an unpaired surrogate.
bool utf16_to_utf8(const WCHAR* text, std::size_t length, std::string& out);
// Strict UTF-8 -> UTF-16; false on any malformed sequence.
bool utf8_to_utf16(const char* text, std::size_t length, std::u16string& out);
std::size_t wide_length(const WCHAR* text);

// The Win32 form of a directory entry's name, into `out` (MAX_PATH units,
// terminated) with its length in `length`; false when it has none: a name
// that is not UTF-8, or too long, or that holds a backslash, which callers
// would join to a path where it separates ("..\\..\\x" would lead out of the
// directory). Listings pass over such names; see WipeUnlistedEntriesW for
// how a wipe still reaches them.
bool win32_name(const char* name, WCHAR* out, std::size_t& length);

// A path given to the layer as a POSIX path: both '\\' and '/' separate.
// Sets the last error and returns false for a null, empty or unconvertible
// path.
bool to_posix_path(LPCWSTR path, std::string& out);

// ---- Files ----------------------------------------------------------------

// The share lock of an open file description; see share_lock.cpp.
enum class share_lock_kind { shared, exclusive };
// 0 on success, EAGAIN when another open holds a conflicting lock, or an errno.
int take_share_lock(int fd, share_lock_kind kind);
// The file at `path` is still the inode `opened` (neither deleted nor
// replaced since it was opened).
bool same_file(const std::string& path, const struct stat& opened);

// How many times an open starts over because the path moved under it; see
// share_lock.cpp. Each start-over needs a delete or rename completed by
// someone else in between, so running out means another party is churning
// this very name.
constexpr int share_open_attempts = 100;

// CreateFileW without the handle: opens `path` with the open(2) access
// `mode` as the disposition says and holds it in `kind`, by the protocol of
// share_lock.cpp. Returns the descriptor, setting `created` when this open
// made the file, `size` to the file's size once held (0 after a
// truncation) and `on_block_device` to whether the file's file system is on
// one, or -1 with the Win32 error in `error`. The caller holds a
// descriptor_scope. With `path_held` the caller promises what
// FILE_FLAG_PATH_HELD (platform/extensions.h) promises, and the path is not
// looked up again.
int open_locked(const std::string& path, int mode, share_lock_kind kind, DWORD disposition,
                bool& created, DWORD& error, uint64_t* size = nullptr, bool path_held = false,
                bool* on_block_device = nullptr);

// Opens `path` for the layer's own use (delete, rename) and holds it
// exclusively. Returns the descriptor or -1 with the last error set.
int open_exclusively(const std::string& path);

// Holds every regular file below `directory` exclusively, adding each held
// descriptor to `held` (the caller closes them), except the file named
// `skip` directly inside `directory`, which the caller holds already.
// Returns 0, or the Win32 error: ERROR_ACCESS_DENIED when some file in the
// tree is open.
DWORD hold_tree(const std::string& directory, std::vector<int>& held,
                const char* skip = nullptr);

// ---- Private-profile files ------------------------------------------------

// Drops the cached parses (profile.cpp) of the file at `path` and of every
// file below it, closing the descriptors they hold; called before this
// layer deletes or replaces anything there.
void forget_cached_profiles(const std::string& path);
// In a forked child: closes the descriptors the cache holds.
void close_cached_profiles_in_child();

// ---- Directory listings -------------------------------------------------

// A Win32 file name pattern compiled once per search: '*', and '?', '.'
// and '*' in the DOS forms FindFirstFileW gives them (see wildcard.cpp).
class wildcard {
public:
    explicit wildcard(const std::u16string& pattern);
    // Whether the `length` units of `name` match, ignoring the case of A to Z.
    bool matches(const WCHAR* name, std::size_t length) const;
    static bool has_wildcards(const std::u16string& pattern);

private:
    bool matches_long(const WCHAR* name, std::size_t length) const;

    std::vector<uint32_t> tokens_;
    // Shapes whose answer needs no matching: "*" and "*.*" take every name;
    // k '?' then ".*" (stem_limit_ k) take a name whose part before its
    // first '.' has at most k units.
    bool every_name_ = false;
    std::size_t stem_limit_ = 0;
    // For a pattern of fewer than 64 tokens, each token kind as a set of
    // positions (bit p for token p), so a name character moves every live
    // position at once; see wildcard.cpp.
    uint64_t stars_ = 0, dos_stars_ = 0, dos_qms_ = 0, dos_dots_ = 0;
    std::vector<std::pair<uint32_t, uint64_t>> letters_;  // a folded unit, where it stands
};

// ---- Time -----------------------------------------------------------------

FILETIME filetime_from_timespec(const struct timespec& time);
// What Win32 reports about a file: creation time from the birth time when the
// file system keeps one, else from the last status change.
struct file_info {
    bool directory;
    bool symbolic_link;  // set only by a query that does not follow links
    bool read_only;
    uint64_t size;
    FILETIME creation, access, write;
};
// statx of `name` relative to `dir_fd` (AT_EMPTY_PATH with "" for the
// descriptor itself). Returns 0 or an errno.
int query_file(int dir_fd, const char* name, int flags, file_info& info);

}  // namespace odb::posix
