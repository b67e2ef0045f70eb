// names.dat and the bucket files from the fuzz input, then lookups, a
// count and name updates. Byte 0 chooses: with its top bit the 12 bytes
// after it are names.dat as they stand, else a valid header with 1 to 4
// buckets; the rest of the input is every bucket file.
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz_support.h"

namespace {

constexpr uint32_t cls = 2;

struct world {
    std::filesystem::path root;
    uint32_t id = 0;
    world() {
        odb_database* db = fuzz::open_database(
            "names", "[NameIndex]\nEnabled=Yes\nLifeTime=0\nHashCount=4\nLockTimeout=1\nLockSleep=0\n",
            &root);
        odb_obj_ctx* ctx = nullptr;
        if (ODB_obj_new(db, cls, &id, &ctx) != ODB_OK) std::abort();
        ODB_obj_close_ctx(ctx);
        ODB_close(db);
    }
};

uint32_t lookup(odb_database* db, const std::string& name) {
    uint32_t id = 0;
    ODB_obj_lookup_ex(db, cls, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI, name.c_str(),
                      static_cast<uint32_t>(name.size() + 1), &id);
    return id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static world w;
    if (size == 0) return 0;
    const std::filesystem::path class_dir = w.root / fuzz::hex(cls);
    unsigned char header[odb::disk::name_index_header_size] = {};
    for (int i = 0; i < 4; ++i)
        header[i] = static_cast<unsigned char>(odb::disk::name_index_magic >> (8 * i));
    header[8] = static_cast<unsigned char>(1 + data[0] % 4);
    size_t used = 1;
    if (data[0] & 0x80) {
        std::memset(header, 0, sizeof header);
        used = std::min<size_t>(size, sizeof header + 1);
        std::memcpy(header, data + 1, used - 1);
    }
    fuzz::write_bytes(class_dir / odb::disk::name_index_file, header, sizeof header);
    for (int b = 0; b < 4; ++b)
        fuzz::write_bytes(class_dir / (odb::disk::name_bucket_prefix + std::string("00") + std::to_string(b)), data + used, size - used);

    const std::u16string root = fuzz::wide(w.root);
    uint32_t version = 0;
    odb_database* db = nullptr;
    if (ODB_init_w(0, reinterpret_cast<const odb_wchar*>(root.c_str()), &version, &db, 0) != ODB_OK)
        std::abort();
    lookup(db, "ab");
    lookup(db, std::string(200, 'x'));
    uint32_t count = 0;
    ODB_obj_count(db, cls, 0, &count);
    odb_obj_ctx* ctx = nullptr;
    if (ODB_obj_create_ctx(db, cls, w.id, ODB_MODE_WRITE, &ctx) == ODB_OK) {
        ODB_obj_set_attribute(ctx, ODB_NAME_ATTRIBUTE, 0, "ab", 2);
        const std::string long_name(140, 'n');
        ODB_obj_set_attribute(ctx, ODB_NAME_ATTRIBUTE, 0, long_name.data(),
                              static_cast<uint32_t>(long_name.size()));
        ODB_obj_set_attribute(ctx, ODB_NAME_ATTRIBUTE, 0, "ab", 2);
        ODB_obj_close_ctx(ctx);
    }
    ODB_close(db);
    return 0;
}
