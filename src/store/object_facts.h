// What one call learns about the object of its context, learnt once: the
// object directory's path, the record file's path, and the object's form
// (its attributes in ATTRIBS.FDB, or one file per attribute).
//
// The facts are made at the start of a call and dropped when it returns.
// The directory follows from the context alone, but the form is a fact of
// the disk. It changes only in a conversion, which runs inside a write
// under the object's write lock, so no other process can convert the object
// while this context holds the lock in either mode: the form learnt is kept
// in the context for as long as it holds its lock without a break (see
// odb_obj_ctx::storage_form), and probed again after the lock was let go,
// since another process may have converted the object meanwhile. A
// conversion made by this call says so (form_changed), and the form is
// probed again.
#pragma once

#include <cstdint>

#include "core/path_buffer.h"
#include "store/context.h"

namespace odb {

class object_facts {
public:
    explicit object_facts(odb_obj_ctx& ctx) : ctx_(ctx) {}
    object_facts(const object_facts&) = delete;
    object_facts& operator=(const object_facts&) = delete;

    odb_obj_ctx& context() const { return ctx_; }

    // root\class\bucket\slot[.RMV|.WPE] in the context's form, built on
    // first use and again only if the context moves to another form.
    const path_buffer& directory();
    // The directory followed by ATTRIBS.FDB.
    const path_buffer& record_file_path();
    // A file in the object directory.
    path_buffer file(const char* name);
    // How to open a file of the object directory (object_file_flags).
    DWORD open_flags() const { return object_file_flags(ctx_); }
    // Whether ATTRIBS.FDB exists, probed on first use. Told wrongly, a
    // write would land in .DAT files that the single-file form hides, and
    // be lost while reported done: a probe that fails raises
    // ODB_E_FILE_ACCESS rather than answer.
    bool single_file();
    // The form when it is known without asking the disk (learnt earlier in
    // this call, or kept by the context through its hold of the lock): true,
    // with `single` set. False when only a look at the disk can tell.
    bool known_form(bool& single);
    // What an open of the record file has found, for a caller that opens it
    // instead of probing first: a file there is the single-file form, none
    // the per-attribute form (a missing file is what the probe looks for).
    void record_file_found(bool there);
    // This call converted the object's storage (or tried to).
    void form_changed();

private:
    enum class form : uint8_t { unknown, single_file, per_attribute };

    odb_obj_ctx& ctx_;
    uint32_t location_ = 0;  // the form flags the paths were built for
    bool have_paths_ = false;
    form form_ = form::unknown;
    path_buffer directory_;
    path_buffer record_file_;
};

}  // namespace odb
