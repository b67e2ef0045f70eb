// Directory searches. A search streams readdir: the file system's order,
// no sorting, and memory that does not grow with the directory, so listing a
// directory of a million objects costs what listing ten does per entry.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "platform/extensions.h"
#include "platform/posix/internal.h"

namespace {

using namespace odb::posix;

struct find_object final : handle_object {
    find_object(const std::u16string& pattern, bool kinds_only)
        : handle_object(handle_kind::find), match(pattern), names_and_kinds(kinds_only) {}
    ~find_object() override { find_object::close_descriptors(); }
    void close_descriptors() override {
        if (dir != nullptr) ::closedir(dir);
        dir = nullptr;
    }
    DIR* dir = nullptr;  // null for a search of one plain name
    wildcard match;
    // FIND_FIRST_EX_NAMES_AND_KINDS: the kind from d_type where it is known.
    bool names_and_kinds;
    // The Win32 form of the entry being looked at: kept with the search so
    // that listing converts each name once and allocates nothing per entry.
    WCHAR name[MAX_PATH];
};

// Sets every field of the record that a caller reads. The name buffers past
// their terminators are left as they are: the record is 592 bytes, filled
// once per listed entry, and clearing it whole would be a good part of what
// an entry costs.
void fill(const file_info& info, bool link, const WCHAR* name, std::size_t length,
          WIN32_FIND_DATAW& data) {
    if (info.directory)
        data.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    else
        data.dwFileAttributes =
            FILE_ATTRIBUTE_ARCHIVE | (info.read_only ? FILE_ATTRIBUTE_READONLY : 0);
    // As Windows marks symbolic links and junctions, so a caller that walks
    // a tree can tell a link from what it leads to.
    if (link) data.dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    data.ftCreationTime = info.creation;
    data.ftLastAccessTime = info.access;
    data.ftLastWriteTime = info.write;
    data.nFileSizeHigh = info.directory ? 0 : static_cast<DWORD>(info.size >> 32);
    data.nFileSizeLow = info.directory ? 0 : static_cast<DWORD>(info.size);
    data.dwReserved0 = 0;
    data.dwReserved1 = 0;
    std::memcpy(data.cFileName, name, length * sizeof(WCHAR));
    data.cFileName[length] = 0;
    data.cAlternateFileName[0] = 0;
}

// Like stat, but a dangling symbolic link is reported as itself; `link`
// tells whether the name itself is a symbolic link.
// The entry itself is asked first: for anything but a link that one call
// is the whole answer (a listing makes it once per entry, so it is the
// cost of a walk); only a link is followed, and a dangling one keeps the
// answer about itself.
int query_entry(int dir_fd, const char* name, file_info& info, bool& link) {
    link = false;
    int error = query_file(dir_fd, name, AT_SYMLINK_NOFOLLOW, info);
    if (error != 0 || !info.symbolic_link) return error;
    link = true;
    file_info target;
    error = query_file(dir_fd, name, 0, target);
    if (error == 0) info = target;
    return error == ENOENT ? 0 : error;
}

// The next entry that matches, or false at the end (errno then 0) or on a
// read error.
bool next_match(find_object& find, WIN32_FIND_DATAW& data) {
    for (;;) {
        errno = 0;
        struct dirent* entry = ::readdir(find.dir);
        if (entry == nullptr) return false;
        // A search passes over a name with no Win32 form rather than show a
        // different name.
        std::size_t length = 0;
        if (!win32_name(entry->d_name, find.name, length) ||
            !find.match.matches(find.name, length))
            continue;
        if (find.names_and_kinds && entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) {
            file_info info = {};
            info.directory = entry->d_type == DT_DIR;
            fill(info, false, find.name, length, data);
            return true;
        }
        file_info info;
        bool link = false;
        if (query_entry(::dirfd(find.dir), entry->d_name, info, link) != 0)
            continue;  // gone meanwhile
        fill(info, link, find.name, length, data);
        return true;
    }
}

HANDLE fail_find(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

namespace odb::posix {

bool win32_name(const char* name, WCHAR* out, std::size_t& length) {
    // Nearly every name is ASCII: it is widened and checked in one pass.
    std::size_t i = 0;
    for (; i + 1 < MAX_PATH; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c == 0 || c >= 0x80) break;
        if (c == '\\') return false;
        out[i] = c;
    }
    if (name[i] == 0) {
        out[i] = 0;
        length = i;
        return true;
    }
    // Past MAX_PATH - 1 ASCII bytes no name fits, whatever follows.
    if (i + 1 == MAX_PATH) return false;
    std::u16string wide;
    if (!utf8_to_utf16(name, std::strlen(name), wide) || wide.size() >= MAX_PATH ||
        wide.find(u'\\') != std::u16string::npos)
        return false;
    std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    length = wide.size();
    return true;
}

}  // namespace odb::posix

namespace {

// The search of both FindFirstFileW and FindFirstFileExW.
HANDLE begin_find(LPCWSTR pattern, LPWIN32_FIND_DATAW data, bool names_and_kinds) {
    std::string path;
    if (!to_posix_path(pattern, path)) return INVALID_HANDLE_VALUE;
    std::u16string wide(pattern, pattern + wide_length(pattern));
    std::size_t wide_slash = wide.find_last_of(u"/\\");
    std::u16string name = wide_slash == std::u16string::npos ? wide : wide.substr(wide_slash + 1);
    std::size_t slash = path.find_last_of('/');
    std::string directory = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    if (name.empty()) return fail_find(ERROR_FILE_NOT_FOUND);

    descriptor_scope scope;
    auto* find = new (std::nothrow) find_object(name, names_and_kinds);
    if (find == nullptr) return fail_find(ERROR_NOT_ENOUGH_MEMORY);

    if (!wildcard::has_wildcards(name)) {
        // A plain name asks whether that one file or directory exists.
        file_info info;
        bool link = false;
        int error = query_entry(AT_FDCWD, path.c_str(), info, link);
        if (error != 0) {
            delete find;
            return fail_find(error == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                              : path_error_from_errno(error, path));
        }
        fill(info, link, name.c_str(), name.size(), *data);
        return register_handle(find);
    }

    // opendir opens with O_DIRECTORY | O_CLOEXEC itself, and saves the two
    // fcntl calls fdopendir makes on a descriptor it did not open.
    find->dir = ::opendir(directory.c_str());
    if (find->dir == nullptr) {
        int error = errno;
        delete find;
        return fail_find(error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                             : error_from_errno(error));
    }
    if (!next_match(*find, *data)) {
        int error = errno;
        delete find;
        return fail_find(error == 0 ? ERROR_FILE_NOT_FOUND : error_from_errno(error));
    }
    return register_handle(find);
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (!admit_call()) return INVALID_HANDLE_VALUE;
    return begin_find(pattern, data, false);
}

HANDLE FindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS info_level, LPVOID data,
                        FINDEX_SEARCH_OPS search_op, LPVOID search_filter, DWORD flags) {
    if (!admit_call()) return INVALID_HANDLE_VALUE;
    const DWORD known = FIND_FIRST_EX_LARGE_FETCH | odb::platform::FIND_FIRST_EX_NAMES_AND_KINDS;
    if ((info_level != FindExInfoStandard && info_level != FindExInfoBasic) ||
        (search_op != FindExSearchNameMatch && search_op != FindExSearchLimitToDirectories) ||
        search_filter != nullptr || (flags & ~known) != 0 || data == nullptr)
        return fail_find(ERROR_INVALID_PARAMETER);
    return begin_find(pattern, static_cast<LPWIN32_FIND_DATAW>(data),
                      (flags & odb::platform::FIND_FIRST_EX_NAMES_AND_KINDS) != 0);
}

BOOL FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data) {
    if (!admit_call()) return FALSE;
    auto* find = static_cast<find_object*>(lookup_handle(handle, handle_kind::find));
    if (find == nullptr) return FALSE;
    if (find->dir == nullptr) return fail(ERROR_NO_MORE_FILES);
    if (next_match(*find, *data)) return TRUE;
    return fail(errno == 0 ? ERROR_NO_MORE_FILES : error_from_errno(errno));
}

BOOL FindClose(HANDLE handle) {
    if (!admit_call()) return FALSE;
    handle_object* find = unregister_handle(handle, handle_kind::find);
    if (find == nullptr) return FALSE;
    delete find;
    return TRUE;
}
