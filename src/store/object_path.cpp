#include "store/object_path.h"

#include <cstring>

#include "core/disk_format.h"
#include "core/failure_trace.h"
#include "core/status.h"
#include "core/wide_text.h"
#include "platform/extensions.h"
#include "platform/handle.h"

namespace odb {

namespace {

bool has_suffix(const WCHAR* name, const char* suffix) {
    for (int i = 0; i < 4; ++i) {
        WCHAR unit = name[8 + i];
        if (unit >= 'A' && unit <= 'Z') unit = static_cast<WCHAR>(unit + ('a' - 'A'));
        if (unit != static_cast<WCHAR>(suffix[i])) return false;
    }
    return true;
}

// The value of a hexadecimal digit, or 16 for any other unit.
uint32_t hex_value(WCHAR unit) {
    const uint32_t lower = unit | 0x20u;  // only 'A'-'F' and 'a'-'f' land in 'a'-'f'
    if (unit >= '0' && unit <= '9') return unit - '0';
    if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
    return 16;
}

// The length of the entry's name when it is a directory of the kinds asked
// for, else 0.
std::size_t qualifies(const WIN32_FIND_DATAW& entry, uint32_t kinds) {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    // Only eight hexadecimal digits name a class, bucket or object: any
    // other name (planted, or left by a tool) read as a number would yield
    // identifier 0, or a bucket walked twice.
    for (int i = 0; i < 8; ++i)
        if (hex_value(entry.cFileName[i]) > 15) return 0;
    if (entry.cFileName[8] == 0) return (kinds & ODB_ENUM_LIVE) ? 8 : 0;
    std::size_t length = 8;
    while (length < 13 && entry.cFileName[length] != 0) ++length;
    if (length != 12) return 0;
    const bool wanted = ((kinds & ODB_ENUM_REMOVED) && has_suffix(entry.cFileName, ".rmv")) ||
                        ((kinds & ODB_ENUM_WIPED) && has_suffix(entry.cFileName, ".wpe"));
    return wanted ? 12 : 0;
}

// The end of a listing, or a listing that failed: a walk that took a
// failure for its end would pass for complete, and a name index rebuilt
// from it would be valid and wrong.
bool listing_ended(DWORD error, const WCHAR* dir) {
    if (error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND ||
        error == ERROR_PATH_NOT_FOUND)
        return false;
    note_failure("list", dir, error);
    raise(ODB_E_FILE_ACCESS);
}

}  // namespace

path_buffer class_path(const WCHAR* root, uint32_t cls) {
    path_buffer path(root);
    path.hex_component(cls);
    return path;
}

path_buffer object_path(const WCHAR* root, uint32_t cls, uint32_t id, uint32_t mode,
                        bool bucket_only) {
    path_buffer path = class_path(root, cls);
    path.hex_component(id >> 9);
    if (bucket_only) return path;
    path.hex_component(id & 0x1FF);
    if (mode & ODB_MODE_REMOVED) path.append(disk::removed_suffix);
    else if (mode & ODB_MODE_WIPED) path.append(disk::wiped_suffix);
    return path;
}

path_buffer attributes_file_path(const WCHAR* root, uint32_t cls, uint32_t id, uint32_t mode) {
    path_buffer path = object_path(root, cls, id, mode);
    path.component(disk::record_file_name);
    return path;
}

DWORD probe_path(const WCHAR* path) {
    if (platform::PathExistsW(path)) return 0;
    DWORD error = GetLastError();
    return error == 0 ? ERROR_FILE_NOT_FOUND : error;
}

bool path_exists(const WCHAR* path, odb_status failure) {
    const DWORD error = probe_path(path);
    if (error == 0) return true;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
    raise(failure);
}

bool object_exists(const WCHAR* root, uint32_t cls, uint32_t id) {
    return path_exists(object_path(root, cls, id, 0), ODB_E_OBJECT_PROBE) ||
           path_exists(object_path(root, cls, id, ODB_MODE_REMOVED), ODB_E_OBJECT_PROBE) ||
           path_exists(object_path(root, cls, id, ODB_MODE_WIPED), ODB_E_OBJECT_PROBE);
}

uint32_t parse_hex_name(const WCHAR* name) {
    // Names a listing admitted are eight digits (see qualifies): read
    // straight, as every step of a walk reads one.
    uint32_t value = 0;
    int i = 0;
    for (uint32_t digit; i < 8 && (digit = hex_value(name[i])) < 16; ++i)
        value = (value << 4) | digit;
    if (i == 8) return value;
    WCHAR head[9] = {};
    for (int k = 0; k < 8 && name[k] != 0; ++k) head[k] = name[k];
    return scan_hex8(head, value) ? value : 0;
}

bool next_numbered_dir(HANDLE& search, const WCHAR* dir, uint32_t kinds, WCHAR* name) {
    if (kinds == 0) kinds = ODB_ENUM_LIVE;
    WIN32_FIND_DATAW entry;
    for (;;) {
        if (search == INVALID_HANDLE_VALUE) {
            path_buffer pattern(dir);
            pattern.component(ODB_W("????????.*"));
            // Only the name and the directory bit are read.
            search = FindFirstFileExW(pattern, FindExInfoBasic, &entry, FindExSearchNameMatch,
                                      nullptr,
                                      FIND_FIRST_EX_LARGE_FETCH |
                                          platform::FIND_FIRST_EX_NAMES_AND_KINDS);
            if (search == INVALID_HANDLE_VALUE) return listing_ended(GetLastError(), dir);
        } else if (!FindNextFileW(search, &entry)) {
            const DWORD error = GetLastError();
            close_search(search);
            return listing_ended(error, dir);
        }
        if (const std::size_t length = qualifies(entry, kinds)) {
            std::memcpy(name, entry.cFileName, (length + 1) * sizeof(WCHAR));
            return true;
        }
    }
}

void close_search(HANDLE& search) noexcept {
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    search = INVALID_HANDLE_VALUE;
}

}  // namespace odb
