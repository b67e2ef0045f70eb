// Object contexts: an open object in one of its three forms, holding the
// object's lock in read or write mode for as long as it is open.
#pragma once

#include <cstdint>

#include "core/database.h"
#include "core/status.h"
#include "platform/win32.h"

// The record behind an odb_obj_ctx pointer. Walk handles (odb_enum_ctx)
// begin with the same fields, magic to mode, so validate_context serves
// both; the kind tells them apart.
struct odb_obj_ctx {
    static constexpr uint16_t kind_tag = odb_kind_object;
    uint16_t magic;
    uint16_t kind;                 // odb_kind_object
    odb_database* db;
    uint32_t cls;
    uint32_t id;
    uint32_t mode;                 // access bit and location flags of the lock held
    HANDLE lock;                   // OBJLOCK.FDB, or INVALID_HANDLE_VALUE
    HANDLE attribute_search;       // directory search of the attribute walk
    uint32_t attribute_position_low;   // record offset of the attribute walk,
    uint32_t attribute_position_high;  // 0 when not started
    uint32_t bucket_count;         // the class's name index hash count, once read
    uint32_t storage_form;         // the object's attribute form while the lock is held
    uint64_t unnamed_entry;        // 1 + offset of the unnamed entry this context added
    uint32_t unnamed_entry_built;  // names.dat's build time when it was added
    // Nonzero while the context holds, without a break, the write lock of an
    // object whose directory and lock file it made itself: no one else can
    // have put a file in it. attributes_written has the bit of each
    // attribute (see written_bit) this context may have stored in a file of
    // its own since; a file of any other cannot exist. Both are cleared with
    // the lock.
    uint32_t made_here;
    uint64_t attributes_written;
};

// The bit of attributes_written standing for an attribute: several share
// one, and a shared bit only makes a file that cannot exist be looked for.
inline uint64_t written_bit(uint32_t attribute) {
    return uint64_t{1} << ((attribute * 0x9E3779B1u) >> 26);
}

// What odb_obj_ctx::storage_form says: not yet looked at (every change of the
// lock clears it), or the form found.
enum : uint32_t { storage_form_unknown = 0, storage_form_files = 1, storage_form_record = 2 };

namespace odb {

// Raises ODB_E_INVALID_CONTEXT unless ctx is an open record of the kind
// the caller expects (an object context or a walk handle), then validates
// its database (ODB_E_INVALID_DATABASE). Only the first four bytes, which
// every kind of record has, are read before the kind is known.
template <class Context>
Context& validate_context(Context* ctx) {
    if (ctx == nullptr || ctx->magic != odb_magic || ctx->kind != Context::kind_tag)
        raise(ODB_E_INVALID_CONTEXT);
    validate_database(ctx->db);
    return *ctx;
}

// A context record, cleared, with no lock and no walk: the state every
// context starts from, and the working context of lookups and counts.
void init_context(odb_obj_ctx& ctx, odb_database* db, uint32_t cls, uint32_t id);

// Makes ctx hold the object's OBJLOCK.FDB in the given mode, waiting up to
// the process-wide lock time-out for another holder to let go;
// ODB_E_OBJECT_LOCK when it does not (or the mode is neither read nor
// write), and at once ODB_E_NO_OBJECT when the object directory is not
// there, ODB_E_FILE_ACCESS when the lock file may not be opened.
void set_lock_mode(odb_obj_ctx& ctx, uint32_t mode);

// set_lock_mode(ctx, ODB_MODE_WRITE) for the object directory the caller has
// just made, which no one knows of yet: its lock file cannot exist, and is
// created in one open (should it exist all the same, it is opened and
// waited for as set_lock_mode does). Where the lock file is this context's
// own, the context is marked made_here.
void lock_made_object(odb_obj_ctx& ctx);

// Makes ctx hold `lock`, a handle this process already holds on the
// object's OBJLOCK.FDB in `mode` (where mode's location flags say), as
// set_lock_mode would leave it; the context's own handle, if any and not
// `lock` itself, is closed. The storage form learnt stays known only when
// the handle is the same one, held without a break.
void adopt_lock(odb_obj_ctx& ctx, HANDLE lock, uint32_t mode);

// The dwFlagsAndAttributes for an open of a file inside ctx's object
// directory: FILE_FLAG_PATH_HELD (platform/extensions.h) while ctx holds the
// object's lock, which no rename of that file or of a directory above it
// gets past (see the share-lock essay, WHERE THE PATH IS HELD); plain
// otherwise. Never for the lock file itself.
DWORD object_file_flags(const odb_obj_ctx& ctx);

// Closes the lock handle, if any, and forgets the storage form.
void release_lock(odb_obj_ctx& ctx);

// Before a change through a context open for writing: raises
// ODB_E_OBJECT_LOCK when its lock handle no longer answers, and leaves the
// context without that lock and without access bits. A file server that
// lost its locks (a restart) fails the descriptors that held them, while
// new opens work: without this check the change would be made unlocked,
// beside a client on another machine that now holds the object.
void confirm_write_lock(odb_obj_ctx& ctx);

// The open/close pair the exports and internal users share.
odb_obj_ctx* create_context(odb_database& db, uint32_t cls, uint32_t id, uint32_t mode);
void close_context(odb_obj_ctx* ctx) noexcept;

// Owns a context made inside the library (filters, name reads).
struct context_closer {
    void operator()(odb_obj_ctx* ctx) const noexcept { close_context(ctx); }
};

}  // namespace odb
