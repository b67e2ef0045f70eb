// ODB_obj_lookup_ex: an object's identifier from its name, through the
// class's name index only (rebuilt first when missing, damaged or stale).
#include <cstring>

#include "core/failure_trace.h"
#include "core/file_io.h"
#include "core/wide_text.h"
#include "names/name_index.h"
#include "store/context.h"

using namespace odb;

namespace {

// The caller's name as UTF-16 in a 257-unit buffer; any refusal is
// ODB_E_INVALID_PARAMETER.
void take_name(uint32_t type, const void* name, uint32_t size, WCHAR* out) {
    if (name == nullptr || size == 0) raise(ODB_E_INVALID_PARAMETER);
    if (type == ODB_NAME_ANSI) {
        const char* text = static_cast<const char*>(name);
        if (text[size - 1] != 0) raise(ODB_E_INVALID_PARAMETER);
        if (std::strlen(text) + 1 > name_units) raise(ODB_E_INVALID_PARAMETER);
        if (MultiByteToWideChar(CP_ACP, 0, text, -1, out, name_units) == 0)
            raise(ODB_E_INVALID_PARAMETER);
    } else if (type == ODB_NAME_UTF16) {
        const unsigned char* bytes = static_cast<const unsigned char*>(name);
        const uint32_t units = size / 2;
        if (units == 0) raise(ODB_E_INVALID_PARAMETER);
        // The last whole unit of the caller's buffer must end the string.
        if (bytes[2 * (units - 1)] != 0 || bytes[2 * (units - 1) + 1] != 0)
            raise(ODB_E_INVALID_PARAMETER);
        uint32_t length = 0;
        while (bytes[2 * length] != 0 || bytes[2 * length + 1] != 0) ++length;
        if (length + 1 > name_units) raise(ODB_E_INVALID_PARAMETER);
        for (uint32_t i = 0; i <= length; ++i)
            out[i] = static_cast<WCHAR>(get16(bytes + 2 * i));
    } else {
        raise(ODB_E_INVALID_PARAMETER);
    }
}

}  // namespace

extern "C" {

ODB_API odb_status ODB_CALL ODB_obj_lookup_ex(odb_database* db, uint32_t cls, uint32_t attribute,
                                              uint32_t name_type, const void* name,
                                              uint32_t name_size, uint32_t* id) {
    return guarded("ODB_obj_lookup_ex", [&] {
        odb_database& database = validate_database(db);
        if (!name_index_on(database) || attribute != ODB_NAME_ATTRIBUTE || id == nullptr)
            raise(ODB_E_INVALID_PARAMETER);
        odb_obj_ctx ctx;
        init_context(ctx, &database, cls, 0);
        ctx.mode = ODB_MODE_READ;
        try {
            // Before the name is examined: a bad name still rebuilds a
            // missing or stale index.
            named_file header;
            if (!open_current_index(ctx, header)) rebuild_name_index(ctx);
            WCHAR wanted[name_units] = {};
            take_name(name_type, name, name_size, wanted);
            *id = find_name(ctx, wanted, header);
        } catch (odb_status status) {
            // A damaged index file is derived data gone bad: invalidated
            // here, it is rebuilt by the next lookup or count instead of
            // failing every lookup until it grows stale.
            if (status == ODB_E_FILE_ACCESS) reset_name_index(ctx);
            raise(status == ODB_E_NAME_NOT_INDEXED ? ODB_E_NO_MORE_ITEMS : ODB_E_INVALID_PARAMETER);
        }
    });
}

}  // extern "C"
