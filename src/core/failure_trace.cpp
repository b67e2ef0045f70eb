#include "core/failure_trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/path_buffer.h"

namespace odb {

namespace {

constexpr uint32_t no_wait = 0xFFFFFFFFu;

struct failure_note {
    bool set;
    const char* operation;
    const char* damage;  // null for a system error
    DWORD error;
    uint32_t waited_ms;
    char path[3 * path_capacity + 1];  // UTF-8
};

thread_local failure_note note;

// Null when tracing is off, "" for standard error, else the file's name.
const char* trace_target() noexcept {
    static const char* const target = [] {
        const char* value = std::getenv("QMFILEDB_TRACE");
        if (value == nullptr || value[0] == 0) return static_cast<const char*>(nullptr);
        return std::strcmp(value, "1") == 0 ? "" : value;
    }();
    return target;
}

const char* system_error_text(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return "file not found";
    case ERROR_PATH_NOT_FOUND: return "path not found";
    case ERROR_TOO_MANY_OPEN_FILES: return "too many open files";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_INVALID_HANDLE: return "invalid handle";
    case ERROR_NOT_ENOUGH_MEMORY: return "not enough memory";
    case ERROR_WRITE_FAULT: return "write fault";
    case ERROR_READ_FAULT: return "read fault";
    case ERROR_SHARING_VIOLATION: return "sharing violation";
    case ERROR_LOCK_VIOLATION: return "lock violation";
    case ERROR_HANDLE_EOF: return "end of file";
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL: return "disk full";
    case ERROR_NOT_SUPPORTED: return "not supported";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return "already exists";
    case ERROR_INVALID_PARAMETER: return "invalid parameter";
    case ERROR_INVALID_NAME: return "invalid name";
    case ERROR_DIR_NOT_EMPTY: return "directory not empty";
    case ERROR_FILENAME_EXCED_RANGE: return "name too long";
    case ERROR_DIRECTORY: return "not a directory";
    default: return nullptr;
    }
}

void take_path(const WCHAR* path) noexcept {
    note.path[0] = 0;
    if (path != nullptr &&
        WideCharToMultiByte(CP_UTF8, 0, path, -1, note.path, sizeof note.path, nullptr, nullptr) == 0)
        note.path[0] = 0;
}

}  // namespace

bool tracing() noexcept { return trace_target() != nullptr; }

void note_failure(const char* operation, const WCHAR* path, DWORD error,
                  uint32_t waited_ms) noexcept {
    if (!tracing()) return;
    note.set = true;
    note.operation = operation;
    note.damage = nullptr;
    note.error = error;
    note.waited_ms = waited_ms;
    take_path(path);
}

void note_damage(const char* operation, const WCHAR* path, const char* what) noexcept {
    if (!tracing()) return;
    note.set = true;
    note.operation = operation;
    note.damage = what;
    note.error = 0;
    note.waited_ms = no_wait;
    take_path(path);
}

void clear_failure_note() noexcept { note.set = false; }

void write_failure_line(const char* export_name, odb_status status) noexcept {
    const char* target = trace_target();
    if (target == nullptr) return;
    char line[sizeof note.path + 256];
    int length = std::snprintf(line, sizeof line, "qmfiledb: %s: %s (0x%08x)", export_name,
                               odb_status_name(status), static_cast<unsigned>(status));
    if (note.set && length > 0 && static_cast<std::size_t>(length) < sizeof line) {
        char reason[48];
        const char* text = note.damage != nullptr ? note.damage : system_error_text(note.error);
        if (text == nullptr) {
            std::snprintf(reason, sizeof reason, "system error %u", static_cast<unsigned>(note.error));
            text = reason;
        }
        length += std::snprintf(line + length, sizeof line - length, ": %s %s: %s", note.operation,
                                note.path, text);
        if (note.waited_ms != no_wait && length > 0 && static_cast<std::size_t>(length) < sizeof line)
            length += std::snprintf(line + length, sizeof line - length, " (waited %.1f s)",
                                    note.waited_ms / 1000.0);
    }
    if (length < 0) return;
    if (static_cast<std::size_t>(length) >= sizeof line - 1) length = sizeof line - 2;
    line[length] = '\n';
    line[length + 1] = 0;
    if (target[0] == 0) {
        std::fputs(line, stderr);
        std::fflush(stderr);
        return;
    }
    if (std::FILE* file = std::fopen(target, "a")) {
        std::fputs(line, file);
        std::fclose(file);
    }
}

}  // namespace odb
