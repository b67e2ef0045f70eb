// Removing, wiping, deleting and restoring objects. Each move is a rename
// of the object directory within its bucket directory; wiping overwrites
// every file before deleting it.
#include "attrs/attribute_io.h"
#include "core/disk_format.h"
#include "core/durability.h"
#include "core/failure_trace.h"
#include "core/tree_ops.h"
#include "core/wide_text.h"
#include "names/name_index.h"
#include "platform/extensions.h"
#include "store/context.h"
#include "store/object_facts.h"
#include "store/object_path.h"

using namespace odb;

namespace {

bool same_path_ignoring_case(const WCHAR* a, const WCHAR* b) {
    return equal_ignoring_ascii_case(a, b);
}

// After a move that keeps the object's contents (remove, restore), the
// context takes its lock again in the new place, and after a move that
// failed in the old one, so its mode word never claims a write lock it does
// not hold. Should another context win the lock
// in between, this one is left holding none, without access bits.
void relock(odb_obj_ctx& ctx, uint32_t mode) noexcept {
    ctx.mode = mode & (ODB_MODE_REMOVED | ODB_MODE_WIPED);
    try {
        set_lock_mode(ctx, mode);
    } catch (...) {
    }
}

// Moves the object directory of a context that keeps the object, its lock
// let go (no directory with an open file inside can be moved). Where the
// platform hands the lock file back held at its new place, the context
// holds it in `mode` without an open, and no other context can take the
// object in between; otherwise it takes it again (relock). False, with the
// lock back in the old place, when nothing moved.
bool move_keeping_lock(odb_obj_ctx& ctx, const WCHAR* from, const WCHAR* to, uint32_t mode) {
    WCHAR lock_name[sizeof disk::object_lock_file];
    for (std::size_t i = 0; i < sizeof disk::object_lock_file; ++i)
        lock_name[i] = static_cast<WCHAR>(disk::object_lock_file[i]);
    release_lock(ctx);
    HANDLE kept = INVALID_HANDLE_VALUE;
    if (!platform::MoveDirectoryHoldingW(from, to, lock_name, &kept)) {
        note_failure("move", from, GetLastError());
        relock(ctx, ctx.mode);
        return false;
    }
    if (kept != INVALID_HANDLE_VALUE) adopt_lock(ctx, kept, mode);
    else relock(ctx, mode);
    return true;
}

odb_status remove_object(odb_obj_ctx* ctx, uint32_t options) {
    odb_obj_ctx* context = nullptr;
    bool name_captured = false;
    bool named = false;
    bool left_live = false;
    WCHAR name[name_units] = {};
    odb_status status = guarded([&] {
        odb_obj_ctx& c = validate_context(ctx);
        context = &c;
        if (!(c.mode & ODB_MODE_WRITE)) raise(ODB_E_NOT_WRITABLE);
        confirm_write_lock(c);
        if ((c.mode & ODB_MODE_REMOVED) && options == 0) return;
        if ((c.mode & ODB_MODE_WIPED) && (options & ODB_REMOVE_WIPE)) return;

        if (name_index_on(*c.db) && !(c.mode & (ODB_MODE_REMOVED | ODB_MODE_WIPED))) {
            // An object without a name attribute has its entry under the
            // empty name, which must go too.
            try {
                object_facts object(c);
                named = read_object_name_attribute(object, name);
                name_captured = true;
            } catch (...) {
                reset_name_index(c);
                name_captured = false;
            }
        }

        const uint32_t new_mode = (options & ODB_REMOVE_WIPE)
                                      ? ((c.mode & ~ODB_MODE_REMOVED) | ODB_MODE_WIPED)
                                      : (c.mode | ODB_MODE_REMOVED);
        const path_buffer current = object_path(c.db->root, c.cls, c.id, c.mode);
        const path_buffer moved = object_path(c.db->root, c.cls, c.id, new_mode);

        const bool same = same_path_ignoring_case(current, moved);
        if (options & (ODB_REMOVE_WIPE | ODB_REMOVE_DELETE)) {
            release_lock(c);
            if (!same && !MoveFileW(current, moved)) {
                note_failure("move", current, GetLastError());
                name_captured = false;
                relock(c, c.mode);  // nothing moved: the lock goes back where it was
                raise(ODB_E_REMOVE_MOVE);
            }
            // From here the object is no longer live, whatever fails next:
            // its name leaves the index, and the context names where it now is.
            left_live = true;
            c.mode = new_mode;
            // The move is on disk before anything inside is wiped: a power
            // cut must not leave a live object with its values gone.
            flush_parent(*c.db, moved);
            if (options & ODB_REMOVE_WIPE) {
                delete_tree(moved, false);
                flush_directory(*c.db, moved);
            }
            if (options & ODB_REMOVE_DELETE) {
                delete_tree(moved, true);
                flush_parent(*c.db, moved);
            }
        } else if (same) {
            left_live = true;
            release_lock(c);
            relock(c, new_mode);
        } else {
            if (!move_keeping_lock(c, current, moved, new_mode)) {
                name_captured = false;
                raise(ODB_E_REMOVE_MOVE);
            }
            left_live = true;
            flush_parent(*c.db, moved);
        }
    });
    if (left_live && name_captured) {
        if (named) update_name_index(*context, context->id, name, true);
        else update_unnamed_entry(*context, context->id, true);
    }
    return status;
}

}  // namespace

extern "C" {

ODB_API odb_status ODB_CALL ODB_obj_remove_ex(odb_obj_ctx* ctx, uint32_t options) {
    return traced("ODB_obj_remove_ex", [&] { return remove_object(ctx, options); });
}

ODB_API odb_status ODB_CALL ODB_obj_remove(odb_obj_ctx* ctx) {
    return traced("ODB_obj_remove", [&] { return remove_object(ctx, ODB_REMOVE_WIPE); });
}

ODB_API odb_status ODB_CALL ODB_obj_restore(odb_obj_ctx* ctx) {
    return guarded("ODB_obj_restore", [&] {
        odb_obj_ctx& c = validate_context(ctx);
        if (!(c.mode & ODB_MODE_REMOVED)) raise(ODB_E_NOT_REMOVED);
        if (!(c.mode & ODB_MODE_WRITE)) raise(ODB_E_NOT_WRITABLE);
        confirm_write_lock(c);
        const path_buffer live = object_path(c.db->root, c.cls, c.id, 0);
        const path_buffer current = object_path(c.db->root, c.cls, c.id, c.mode);
        // A wiped object removed with options 0 carries both location flags;
        // back under its live name it is neither removed nor wiped.
        if (!move_keeping_lock(c, current, live, c.mode & ~(ODB_MODE_REMOVED | ODB_MODE_WIPED)))
            raise(ODB_E_RESTORE_MOVE);
        flush_parent(*c.db, live);

        if (name_index_on(*c.db)) {
            try {
                WCHAR name[name_units];
                object_facts object(c);  // in its live form now
                if (read_object_name_attribute(object, name)) update_name_index(c, c.id, name, false);
                else update_unnamed_entry(c, c.id, false);
            } catch (...) {
                reset_name_index(c);
            }
        }
    });
}

}  // extern "C"
