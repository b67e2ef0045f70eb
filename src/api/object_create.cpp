// Creating objects: under an identifier the database allocates
// (ODB_obj_new) or one the caller chooses (ODB_obj_import). Both return a
// context holding the new object's lock for writing.
#include "attrs/attribute_io.h"
#include "core/allocator.h"
#include "core/durability.h"
#include "core/failure_trace.h"
#include "core/settings.h"
#include "core/tree_ops.h"
#include "names/name_index.h"
#include "store/context.h"
#include "store/object_ids.h"
#include "store/object_path.h"

using namespace odb;

namespace {

// A new identifier of the class, its directory made and, in the
// single-file form, its empty record file, all while the class's
// allocation lock (OBJID.FDB) is held.
uint32_t allocate_object(odb_database& db, uint32_t cls, uint32_t last_id) {
    const named_file id_file = open_id_file(db.root, cls);
    const uint32_t id = allocate_object_id(db, cls, last_id, id_file);
    if (db.single_file) {
        try {
            create_attributes_file(db, cls, id);
        } catch (...) {
            abandon_object(db.root, cls, id);
            throw;
        }
    }
    return id;
}

// The new object's lock for writing, then its entry in the name index; an
// object whose creation fails here goes again, so a failed call leaves
// nothing behind. `form` is the storage form the creation gave the object
// (storage_form_record when it made ATTRIBS.FDB): where the context's own
// open made the lock file, no one else has held the object, and so no one
// can have converted it, and the context knows the form without a probe.
void lock_new_object(odb_obj_ctx& ctx, uint32_t form) {
    try {
        lock_made_object(ctx);
    } catch (...) {
        release_lock(ctx);
        abandon_object(ctx.db->root, ctx.cls, ctx.id);
        throw;
    }
    if (ctx.made_here) ctx.storage_form = form;
    // A new object has no name yet: the index holds it under the empty one.
    if (name_index_on(*ctx.db)) update_unnamed_entry(ctx, ctx.id, false, true);
}

}  // namespace

extern "C" {

ODB_API odb_status ODB_CALL ODB_obj_new(odb_database* db, uint32_t cls, uint32_t* id,
                                        odb_obj_ctx** ctx) {
    return guarded("ODB_obj_new", [&] {
        odb_database& database = validate_database(db);
        if (id == nullptr || ctx == nullptr) raise(ODB_E_INVALID_PARAMETER);
        zeroed_ptr<odb_obj_ctx> context = make_zeroed<odb_obj_ctx>();
        init_context(*context, &database, cls, 0);

        // Held shared for the whole call, so the identifier range cannot
        // change under an allocation.
        file_handle config_lock = open_config_lock(database.root, false);
        if (make_directory(class_path(database.root, cls)) == 0) flush_directory(database, database.root);
        const uint32_t last_id = read_last_id(database);
        context->id = allocate_object(database, cls, last_id);
        lock_new_object(*context, database.single_file ? storage_form_record : storage_form_files);
        *id = context->id;
        *ctx = context.release();
    });
}

ODB_API odb_status ODB_CALL ODB_obj_import(odb_database* db, uint32_t cls, uint32_t id,
                                           odb_obj_ctx** ctx) {
    return guarded("ODB_obj_import", [&] {
        odb_database& database = validate_database(db);
        if (ctx == nullptr) raise(ODB_E_INVALID_PARAMETER);
        zeroed_ptr<odb_obj_ctx> context = make_zeroed<odb_obj_ctx>();
        init_context(*context, &database, cls, 0);
        if (make_directory(class_path(database.root, cls)) == 0) flush_directory(database, database.root);
        claim_object_id(database, cls, id);
        context->id = id;
        // An imported object starts in the per-attribute form, whatever the
        // database's default.
        lock_new_object(*context, storage_form_files);
        *ctx = context.release();
    });
}

}  // extern "C"
