// ODB_obj_get_info: file times, sizes, paths and change history of an open
// object or of one of its attribute files. A null buffer asks for the size.
#include <cstring>
#include <utility>

#include "attrs/attribute_io.h"
#include "core/failure_trace.h"
#include "core/file_io.h"
#include "core/settings.h"
#include "enum/object_walk.h"
#include "platform/handle.h"
#include "store/context.h"
#include "store/object_facts.h"
#include "store/object_path.h"
#include "tracking/change_tracking.h"

using namespace odb;

namespace {

constexpr uint32_t times_size = 112;
constexpr uint32_t size_size = 20;
constexpr uint32_t ansi_path_size = 256;
constexpr uint32_t wide_path_size = 512;
constexpr uint32_t info_path_units = 256;

// True when the caller only asked for the size (which is then stored).
bool size_only(void* buffer, uint32_t& length, uint32_t needed) {
    if (buffer == nullptr) {
        length = needed;
        return true;
    }
    if (length < needed) raise(ODB_E_BUFFER_TOO_SMALL);
    std::memset(buffer, 0, needed);
    return false;
}

// A .DAT file that is not there (an object kept in the single-file form, or
// an attribute never written) is reported at once: no wait makes it appear.
named_file open_attribute_file(object_facts& object, uint32_t attribute) {
    const path_buffer path = attribute_file_path(object.directory(), attribute);
    file_handle handle =
        open_with_retry(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, ODB_E_NO_ATTRIBUTE,
                        object.open_flags());
    return {std::move(handle), path};
}

// The subject's path in a buffer of 256 units; a longer one is refused.
path_buffer subject_path(object_facts& object, uint32_t attribute) {
    const path_buffer full =
        attribute == 0 ? object.directory() : attribute_file_path(object.directory(), attribute);
    path_buffer fitted(info_path_units);
    fitted.append(full);
    return fitted;
}

void info_times(object_facts& object, uint32_t attribute, unsigned char* out) {
    FILETIME times[3] = {};
    if (attribute == 0) {
        read_lock_file_times(object.directory(), &times[0], &times[1], &times[2]);
    } else {
        const named_file file = open_attribute_file(object, attribute);
        GetFileTime(file.handle.get(), &times[0], &times[1], &times[2]);
    }
    for (int i = 0; i < 3; ++i) {
        SYSTEMTIME converted = {};
        FileTimeToSystemTime(&times[i], &converted);
        std::memcpy(out + 16 * i, &converted, sizeof converted);
    }
}

void info_size(object_facts& object, uint32_t attribute, unsigned char* out) {
    uint32_t total = 0;
    if (attribute != 0) {
        // The size is told in 32 bits, as the object's total is.
        total = static_cast<uint32_t>(
            file_ref(open_attribute_file(object, attribute), attribute_file_failures).size());
    } else {
        path_buffer pattern = object.directory();
        pattern.component(ODB_W("*.dat"));
        WIN32_FIND_DATAW entry;
        find_handle search(FindFirstFileW(pattern, &entry));
        if (!search) raise(ODB_E_NO_OBJECT);
        do total += entry.nFileSizeLow;
        while (FindNextFileW(search.get(), &entry));
        if (GetLastError() != ERROR_NO_MORE_FILES) raise(ODB_E_FILE_ACCESS);
    }
    std::memcpy(out, &total, sizeof total);
}

}  // namespace

extern "C" {

ODB_API odb_status ODB_CALL ODB_obj_get_info(odb_obj_ctx* ctx, uint32_t info_class,
                                             uint32_t attribute, void* buffer,
                                             uint32_t* length) {
    return guarded("ODB_obj_get_info", [&] {
        odb_obj_ctx& context = validate_context(ctx);
        if (info_class > ODB_INFO_PATH) raise(ODB_E_INVALID_PARAMETER);
        if (length == nullptr) raise(ODB_E_INVALID_PARAMETER);
        unsigned char* out = static_cast<unsigned char*>(buffer);
        object_facts object(context);
        switch (info_class) {
        case ODB_INFO_TIMES:
            if (!size_only(buffer, *length, times_size)) info_times(object, attribute, out);
            break;
        case ODB_INFO_SIZE:
            if (!size_only(buffer, *length, size_size)) info_size(object, attribute, out);
            break;
        case ODB_INFO_PATH_ANSI:
            if (!size_only(buffer, *length, ansi_path_size)) {
                // A path whose ANSI form needs more than 256 bytes is refused
                // rather than cut without its terminator.
                if (WideCharToMultiByte(CP_ACP, 0, subject_path(object, attribute), -1,
                                        reinterpret_cast<char*>(out), ansi_path_size, nullptr,
                                        nullptr) == 0) {
                    std::memset(out, 0, ansi_path_size);
                    raise(ODB_E_INVALID_PARAMETER);
                }
            }
            break;
        case ODB_INFO_ATTRIBUTE_CHANGES:
            list_attribute_changes(object, attribute, buffer, *length);
            break;
        case ODB_INFO_PATH:
            if (!size_only(buffer, *length, wide_path_size)) {
                const path_buffer path = subject_path(object, attribute);
                std::memcpy(out, path.c_str(), (path.length() + 1) * sizeof(WCHAR));
            }
            break;
        }
    });
}

}  // extern "C"
