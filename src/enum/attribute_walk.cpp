// ODB_obj_attribute_enum: an object's attributes one per call, with their
// lengths. The walk's state lives in the context: a record offset in the
// single-file form, a directory search in the per-attribute form.
#include "attrs/record_file.h"
#include "core/failure_trace.h"
#include "store/context.h"
#include "store/object_path.h"

using namespace odb;

namespace {

void set_position(odb_obj_ctx& ctx, uint64_t position) {
    ctx.attribute_position_low = static_cast<uint32_t>(position);
    ctx.attribute_position_high = static_cast<uint32_t>(position >> 32);
}

odb_status record_form_step(odb_obj_ctx& ctx, const WCHAR* path, uint32_t* number,
                            uint32_t* length) {
    record_file attributes;
    attributes.open(path, true, object_file_flags(ctx));
    if (number == nullptr) {
        set_position(ctx, 0);
        return ODB_OK;
    }
    const uint64_t position =
        (static_cast<uint64_t>(ctx.attribute_position_high) << 32) | ctx.attribute_position_low;
    bool found;
    if (position == 0) {
        found = attributes.find_first(1, 0xFFFFFFFEu);
    } else {
        attributes.seek_record(position);
        found = attributes.find_next(1, 0xFFFFFFFEu);
    }
    if (!found) {
        set_position(ctx, 0);
        return ODB_E_NO_MORE_ITEMS;
    }
    *number = attributes.record_id();
    *length = attributes.record_length();
    set_position(ctx, attributes.record_offset());
    return ODB_OK;
}

odb_status file_form_step(odb_obj_ctx& ctx, uint32_t* number, uint32_t* length) {
    WIN32_FIND_DATAW entry;
    if (ctx.attribute_search == INVALID_HANDLE_VALUE) {
        if (number == nullptr) return ODB_E_NO_MORE_ITEMS;
        path_buffer pattern = object_path(ctx.db->root, ctx.cls, ctx.id, ctx.mode);
        pattern.component(ODB_W("*.dat"));
        ctx.attribute_search = FindFirstFileW(pattern, &entry);
    } else if (number == nullptr || !FindNextFileW(ctx.attribute_search, &entry)) {
        const DWORD error = number == nullptr ? ERROR_NO_MORE_FILES : GetLastError();
        FindClose(ctx.attribute_search);
        ctx.attribute_search = INVALID_HANDLE_VALUE;
        SetLastError(error);
    }
    if (ctx.attribute_search == INVALID_HANDLE_VALUE) {
        // A listing that failed is not the end of the attributes.
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES && error != ERROR_FILE_NOT_FOUND &&
            error != ERROR_PATH_NOT_FOUND)
            raise(ODB_E_FILE_ACCESS);
        return ODB_E_NO_MORE_ITEMS;
    }
    *length = entry.nFileSizeLow;
    *number = parse_hex_name(entry.cFileName);
    return ODB_OK;
}

}  // namespace

extern "C" {

ODB_API odb_status ODB_CALL ODB_obj_attribute_enum(odb_obj_ctx* ctx, uint32_t* attribute,
                                                   uint32_t* length) {
    return guarded_status("ODB_obj_attribute_enum", [&] {
        odb_obj_ctx& context = validate_context(ctx);
        if (attribute != nullptr && length == nullptr) raise(ODB_E_INVALID_PARAMETER);
        const path_buffer path =
            attributes_file_path(context.db->root, context.cls, context.id, context.mode);
        if (path_exists(path, ODB_E_FILE_ACCESS))
            return record_form_step(context, path, attribute, length);
        return file_form_step(context, attribute, length);
    });
}

}  // extern "C"
