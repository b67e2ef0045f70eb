#include "errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "library_trace.h"

namespace odbtool {

status_error::status_error(odb_status status, const std::string& message, std::string path)
    : tool_error(message, std::move(path)), status(status), trace(take_library_trace(status)) {}

std::string trace_of(const std::exception& error) {
    const auto* status = dynamic_cast<const status_error*>(&error);
    return status != nullptr ? status->trace : std::string();
}

const char* status_meaning(odb_status status) {
    switch (status) {
    case ODB_OK: return "success";
    case ODB_E_NO_MORE_ITEMS: return "no (more) items: the walk ended, or no object has that name";
    case ODB_E_NO_DATABASE: return "the directory holds no valid marker file (not a database)";
    case ODB_E_INVALID_CONTEXT: return "invalid object context or walk handle";
    case ODB_E_NAME_NOT_INDEXED: return "the name is not in the name index";
    case ODB_E_UNSUPPORTED_VERSION: return "the record file carries an unsupported version";
    case ODB_E_DATABASE_EXISTS: return "a database already exists there";
    case ODB_E_MARKER_WRITE: return "the marker file could not be created or written";
    case ODB_E_INVALID_DATABASE: return "invalid database handle";
    case ODB_E_DATABASE_IN_USE: return "another handle of the database is open";
    case ODB_E_OBJECT_PROBE: return "the object directory could not be probed";
    case ODB_E_FILE_ACCESS: return "a file could not be opened, positioned, sized or read, or an index file is damaged";
    case ODB_E_FILE_CREATE: return "a record file could not be created";
    case ODB_E_FILE_WRITE: return "a write failed or was short";
    case ODB_E_BAD_HEADER: return "the record file header is too short or has the wrong magic";
    case ODB_E_INVALID_PARAMETER: return "invalid parameter, name index off, or the name index failed";
    case ODB_E_BUFFER_TOO_SMALL: return "the buffer is too small";
    case ODB_E_INDEX_LOCK_TIMEOUT: return "a name index file stayed locked past its time-out";
    case ODB_E_LOCK_TIMEOUT: return "a file stayed locked past the lock time-out";
    case ODB_E_OBJECT_LOCK: return "the object is locked by someone else";
    case ODB_E_NOT_WRITABLE: return "the object is not open for writing";
    case ODB_E_MAKE_DIRECTORY: return "a directory could not be created";
    case ODB_E_OBJECT_EXISTS: return "an object with that identifier exists (in some form)";
    case ODB_E_NO_OBJECT: return "no such object in that form (live, removed or wiped)";
    case ODB_E_NO_FREE_ID: return "no free identifier is left in the range";
    case ODB_E_REMOVE_MOVE: return "the object directory could not be moved";
    case ODB_E_NOT_REMOVED: return "the object is not removed";
    case ODB_E_RESTORE_MOVE: return "the object directory could not be moved back (a live one exists, or a file is in use)";
    case ODB_E_NO_ATTRIBUTE: return "the attribute does not exist";
    case ODB_E_ATTRIBUTE_WRITE: return "the attribute file could not be written";
    case ODB_E_ATTRIBUTE_READ: return "the attribute value could not be read";
    case ODB_E_ATTRIBUTE_SEEK: return "bad attribute offset (non-zero offsets need the per-attribute form)";
    case ODB_E_WIPE: return "a file to be wiped is in use";
    case ODB_E_OFFSET_BEYOND_END: return "the offset lies beyond the end of the value";
    case ODB_E_ATTRIBUTE_IN_USE: return "the attribute file is in use by someone else";
    case ODB_E_NO_MEMORY: return "out of memory";
    default: return "unknown status";
    }
}

std::string describe_status(odb_status status) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%08x", static_cast<unsigned>(status));
    return std::string(odb_status_name(status)) + " (" + number + "): " + status_meaning(status);
}

void throw_status(odb_status status, const std::string& action, const std::string& path) {
    std::string message = action;
    if (!path.empty()) message += " " + path;
    throw status_error(status, message + ": " + describe_status(status), path);
}

void throw_file_error(const std::string& action, const std::string& path) {
    const int error = errno;
    throw tool_error(action + " " + path + ": " + (error != 0 ? std::strerror(error) : "failed"), path);
}

}  // namespace odbtool
