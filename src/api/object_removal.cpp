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

// Takes the context's lock again in `mode` after a move let it go. Should
// another context win the lock in between, this one is left holding none,
// without access bits, so its mode word never claims a write lock it does
// not hold.
void relock(odb_obj_ctx& ctx, uint32_t mode) noexcept {
    ctx.mode = mode & (ODB_MODE_REMOVED | ODB_MODE_WIPED);
    try {
        set_lock_mode(ctx, mode);
    } catch (...) {
    }
}

// OBJLOCK.FDB, as the platform's calls take a name.
struct lock_file_name {
    WCHAR text[sizeof disk::object_lock_file];
    lock_file_name() {
        for (std::size_t i = 0; i < sizeof disk::object_lock_file; ++i)
            text[i] = static_cast<WCHAR>(disk::object_lock_file[i]);
    }
};

// Moves the object directory of a context holding the object's write lock,
// a hold the move does not count against itself: no other context can take
// the object in between. Where the platform keeps the context's handle
// through the move, the context holds the lock in `mode` at the new place
// (or, when nothing moved, as before); where it had to let it go (a system
// that refuses to move a directory with a file open inside), the context
// holds none. False when nothing moved.
bool move_holding_lock(odb_obj_ctx& ctx, const WCHAR* from, const WCHAR* to, uint32_t mode) {
    if (!platform::MoveDirectoryHoldingW(from, to, lock_file_name().text, &ctx.lock)) {
        note_failure("move", from, GetLastError());
        return false;
    }
    if (ctx.lock != INVALID_HANDLE_VALUE) adopt_lock(ctx, ctx.lock, mode);
    return true;
}

// move_holding_lock for a move that keeps the object's contents (remove,
// restore): a context the move left without its lock takes it again where
// the object now is, or where it stayed, so its mode word never claims a
// write lock it does not hold. False, with the lock in the old place, when
// nothing moved.
bool move_keeping_lock(odb_obj_ctx& ctx, const WCHAR* from, const WCHAR* to, uint32_t mode) {
    const bool moved = move_holding_lock(ctx, from, to, mode);
    if (ctx.lock == INVALID_HANDLE_VALUE) relock(ctx, moved ? mode : ctx.mode);
    return moved;
}

// Overwrites and deletes everything in a wiped or deleted object's
// directory. Every file but the lock goes while the context still holds
// the object's write lock (where the move kept it), so no context can be
// reading the object while its files go (the share-lock essay counts on
// that); the lock file goes last, once let go.
void wipe_object(odb_obj_ctx& ctx, const path_buffer& directory) {
    if (ctx.lock == INVALID_HANDLE_VALUE) {
        delete_tree(directory, false);
        return;
    }
    const lock_file_name lock_name;
    delete_tree(directory, false, lock_name.text);
    release_lock(ctx);
    path_buffer lock = directory;
    lock.component(disk::object_lock_file);
    wipe_file(lock);
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
            if (!same && !move_holding_lock(c, current, moved, new_mode)) {
                name_captured = false;
                // nothing moved: the lock stays, or goes back, where it was
                if (c.lock == INVALID_HANDLE_VALUE) relock(c, c.mode);
                raise(ODB_E_REMOVE_MOVE);
            }
            // From here the object is no longer live, whatever fails next:
            // its name leaves the index, and the context names where it now is.
            left_live = true;
            c.mode = new_mode;
            // The move is on disk before anything inside is wiped: a power
            // cut must not leave a live object with its values gone.
            flush_parent(*c.db, moved);
            wipe_object(c, moved);
            if (options & ODB_REMOVE_WIPE) flush_directory(*c.db, moved);
            if (options & ODB_REMOVE_DELETE) {
                remove_empty_directory(moved);
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
