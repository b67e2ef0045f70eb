#include "core/durability.h"

#include "core/failure_trace.h"
#include "platform/extensions.h"

namespace odb {

void flush_file(const odb_database& db, HANDLE file, const WCHAR* path) {
    if (!durable(db) || FlushFileBuffers(file)) return;
    note_failure("flush", path != nullptr ? path : ODB_W(""), GetLastError());
    raise(ODB_E_FILE_WRITE);
}

void flush_directory(const odb_database& db, const WCHAR* directory) {
    if (!durable(db) || platform::FlushDirectoryW(directory)) return;
    note_failure("flush directory", directory, GetLastError());
    raise(ODB_E_FILE_WRITE);
}

void flush_parent(const odb_database& db, const WCHAR* path) {
    if (!durable(db)) return;
    path_buffer parent(path);
    std::size_t length = parent.length();
    auto separator = [](WCHAR unit) { return unit == '\\' || unit == '/'; };
    while (length > 0 && !separator(parent.c_str()[length - 1])) --length;
    // The separator goes too, unless it is the whole root ("/", "C:\").
    if (length > ODB_BARE_ROOT_LENGTH) --length;
    parent.truncate(length);
    flush_directory(db, parent);
}

BOOL write_profile_string(const odb_database& db, const WCHAR* section, const WCHAR* key,
                          const WCHAR* value, const WCHAR* file) {
    if (!durable(db)) return WritePrivateProfileStringW(section, key, value, file);
    return platform::WritePrivateProfileStringFlushedW(section, key, value, file);
}

BOOL write_profile_struct(const odb_database& db, const WCHAR* section, const WCHAR* key,
                          void* buffer, UINT size, const WCHAR* file) {
    if (!durable(db)) return WritePrivateProfileStructW(section, key, buffer, size, file);
    return platform::WritePrivateProfileStructFlushedW(section, key, buffer, size, file);
}

}  // namespace odb
