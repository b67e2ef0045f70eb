// OBJID.FDB, the class's identifier counter, from the fuzz input, then an
// allocation. The class is cleared after each run so the directories the
// counter sends the allocation to do not pile up.
#include "fuzz_support.h"

namespace {
constexpr uint32_t cls = 3;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::filesystem::path root;
    static odb_database* db = fuzz::open_database("ids", "[Attribs]\nSingleFile=Yes\n", &root);
    const std::filesystem::path class_dir = root / fuzz::hex(cls);
    std::filesystem::create_directories(class_dir);
    fuzz::write_bytes(class_dir / odb::disk::id_file, data, size);
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    if (ODB_obj_new(db, cls, &id, &ctx) == ODB_OK) ODB_obj_close_ctx(ctx);
    std::error_code ignored;
    std::filesystem::remove_all(class_dir, ignored);
    return 0;
}
