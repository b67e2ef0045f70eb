#include "store/object_path.h"

#include "core/status.h"
#include "core/wide_text.h"
#include "platform/handle.h"

namespace odb {

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
    if (mode & ODB_MODE_REMOVED) path.append(ODB_W(".RMV"));
    else if (mode & ODB_MODE_WIPED) path.append(ODB_W(".WPE"));
    return path;
}

path_buffer attributes_file_path(const WCHAR* root, uint32_t cls, uint32_t id, uint32_t mode) {
    path_buffer path = object_path(root, cls, id, mode);
    path.component(ODB_W("ATTRIBS.FDB"));
    return path;
}

DWORD probe_path(const WCHAR* path) {
    WIN32_FIND_DATAW entry;
    find_handle search(FindFirstFileW(path, &entry));
    if (search) return 0;
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
    WCHAR head[9] = {};
    for (int i = 0; i < 8 && name[i] != 0; ++i) head[i] = name[i];
    uint32_t value = 0;
    return scan_hex8(head, value) ? value : 0;
}

}  // namespace odb
