// ODB_obj_get_attribute and ODB_obj_set_attribute; the name attribute's
// writes keep the class's name index in step.
#include "attrs/attribute_io.h"
#include "core/failure_trace.h"
#include "names/name_index.h"
#include "store/context.h"
#include "store/object_facts.h"

using namespace odb;

namespace {

// The object's entry goes before its name changes: the entry of its name,
// or its entry under the empty name when it has none.
void remove_old_name(object_facts& object) noexcept {
    odb_obj_ctx& ctx = object.context();
    try {
        WCHAR old_name[name_units];
        if (read_object_name_attribute(object, old_name))
            update_name_index(ctx, ctx.id, old_name, true);
        else
            update_unnamed_entry(ctx, ctx.id, true);
    } catch (...) {
        reset_name_index(ctx);
    }
}

}  // namespace

extern "C" {

ODB_API odb_status ODB_CALL ODB_obj_get_attribute(odb_obj_ctx* ctx, uint32_t attribute,
                                                  uint32_t offset, void* buffer, uint32_t* size) {
    return guarded("ODB_obj_get_attribute", [&] {
        odb_obj_ctx& context = validate_context(ctx);
        if (size == nullptr) raise(ODB_E_INVALID_PARAMETER);
        // The caller's size changes only when the read succeeds.
        uint32_t value_size = buffer != nullptr ? *size : 0;
        object_facts object(context);
        read_attribute(object, attribute, offset, buffer, value_size);
        *size = value_size;
    });
}

ODB_API odb_status ODB_CALL ODB_obj_set_attribute(odb_obj_ctx* ctx, uint32_t attribute,
                                                  uint32_t offset, const void* data,
                                                  uint32_t size) {
    return traced("ODB_obj_set_attribute", [&] {
        odb_obj_ctx* context = nullptr;
        odb_status status = guarded([&] {
            context = &validate_context(ctx);
            confirm_write_lock(*context);
        });
        if (status != ODB_OK) return status;
        // The old name's read and the write share what they learn of the
        // object: its paths, and its form, which holds for the call since the
        // write lock this context must hold keeps other writers out.
        object_facts object(*context);

        // Only live objects have entries: naming a removed or wiped one leaves
        // the index as it is.
        const bool is_name = attribute == ODB_NAME_ATTRIBUTE &&
                             !(context->mode & (ODB_MODE_REMOVED | ODB_MODE_WIPED));
        if (is_name && name_index_on(*context->db) && (context->mode & ODB_MODE_WRITE))
            remove_old_name(object);

        status = guarded([&] {
            if (!(context->mode & ODB_MODE_WRITE)) raise(ODB_E_NOT_WRITABLE);
            write_attribute(object, attribute, offset, data, size);
        });

        if (is_name && name_index_on(*context->db)) {
            if (status != ODB_OK) {
                reset_name_index(*context);
            } else if (data != nullptr) {
                // The new name is the bytes of this call, not the stored value.
                WCHAR new_name[name_units];
                attribute_text(data, size, new_name, name_units);
                update_name_index(*context, context->id, new_name, false);
            } else {
                // The name was deleted: the object stays indexed, unnamed.
                update_unnamed_entry(*context, context->id, false);
            }
        }
        return status;
    });
}

}  // extern "C"
