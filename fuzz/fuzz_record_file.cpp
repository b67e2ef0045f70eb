// ATTRIBS.FDB from the fuzz input, then every operation that walks or
// changes it through the public interface: the attribute walk, reads,
// appends (which compact first), rewrites in place and moving, writes at an
// offset, deletes, and the size information.
#include <vector>

#include "fuzz_support.h"

namespace {

constexpr uint32_t cls = 1;

struct world {
    std::filesystem::path file;
    world() {
        std::filesystem::path root;
        odb_database* db = fuzz::open_database(
            "records", "[Attribs]\nSingleFile=Yes\n[NameIndex]\nEnabled=No\n", &root);
        uint32_t id = 0;
        odb_obj_ctx* ctx = nullptr;
        if (ODB_obj_new(db, cls, &id, &ctx) != ODB_OK) std::abort();
        ODB_obj_close_ctx(ctx);
        ODB_close(db);
        file = fuzz::object_dir(root, cls, id) / odb::disk::record_file_name;
        this->id = id;
        this->root = root;
    }
    std::filesystem::path root;
    uint32_t id = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static world w;
    fuzz::write_bytes(w.file, data, size);
    const std::u16string root = fuzz::wide(w.root);
    uint32_t version = 0;
    odb_database* db = nullptr;
    if (ODB_init_w(0, reinterpret_cast<const odb_wchar*>(root.c_str()), &version, &db, 0) != ODB_OK)
        std::abort();
    odb_obj_ctx* ctx = nullptr;
    if (ODB_obj_create_ctx(db, cls, w.id, ODB_MODE_WRITE, &ctx) != ODB_OK) std::abort();

    // Every attribute the walk finds is read back whole; a walk over a
    // file of n bytes cannot yield more than n / 28 records.
    uint32_t attribute = 0, length = 0;
    std::vector<unsigned char> value;
    for (size_t steps = 0; steps <= size / odb::disk::record_header_size + 1; ++steps) {
        if (ODB_obj_attribute_enum(ctx, &attribute, &length) != ODB_OK) break;
        uint32_t wanted = 0;
        if (ODB_obj_get_attribute(ctx, attribute, 0, nullptr, &wanted) != ODB_OK) continue;
        if (wanted > size) std::abort();  // no value is larger than its file
        value.assign(wanted, 0);
        ODB_obj_get_attribute(ctx, attribute, 0, value.data(), &wanted);
    }
    ODB_obj_attribute_enum(ctx, nullptr, nullptr);

    static const unsigned char bytes[300] = {1, 2, 3};
    ODB_obj_set_attribute(ctx, 0x55, 0, bytes, 3);      // append after compaction
    ODB_obj_set_attribute(ctx, 1, 0, bytes, 200);       // rewrite, maybe moving
    ODB_obj_set_attribute(ctx, 2, 7, bytes, 40);        // write at an offset
    ODB_obj_set_attribute(ctx, 3, 0, nullptr, 0);       // delete
    uint32_t got = sizeof value;
    unsigned char small[16];
    got = sizeof small;
    ODB_obj_get_attribute(ctx, 2, 0, small, &got);
    unsigned char info[112];
    uint32_t info_length = sizeof info;
    ODB_obj_get_info(ctx, ODB_INFO_SIZE, 0, info, &info_length);
    ODB_obj_close_ctx(ctx);
    ODB_close(db);
    return 0;
}
