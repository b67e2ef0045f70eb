// OBJCHGS.FDB, the class's object change file, from the fuzz input, then a
// tracked write, which finds (or appends) the object's record in it.
#include "fuzz_support.h"

namespace {
constexpr uint32_t cls = 4;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::filesystem::path root;
    static odb_database* db = fuzz::open_database(
        "changes", "[Tracking]\nObjectChanges=Yes\nAttributeChanges=Yes\n[Attribs]\nSingleFile=Yes\n",
        &root);
    static odb_obj_ctx* ctx = [] {
        uint32_t id = 0;
        odb_obj_ctx* created = nullptr;
        if (ODB_obj_new(db, cls, &id, &created) != ODB_OK) std::abort();
        return created;
    }();
    fuzz::write_bytes(root / fuzz::hex(cls) / odb::disk::object_changes_file, data, size);
    ODB_obj_set_attribute(ctx, 1, 0, "value", 5);
    return 0;
}
