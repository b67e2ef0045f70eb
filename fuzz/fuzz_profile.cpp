// INI files from the fuzz input: every private-profile function the
// library uses, reads in buffers that fit and ones that do not, a write
// into the damaged file, and the attribute change list read from an
// object's ATTRIBS.STA.
#include <vector>

#include "fuzz_support.h"
#include "platform/win32.h"

namespace {
constexpr uint32_t cls = 5;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::filesystem::path root;
    static odb_database* db = fuzz::open_database(
        "profile", "[Tracking]\nAttributeChanges=Yes\n[Attribs]\nSingleFile=Yes\n", &root);
    static uint32_t id = 0;
    static odb_obj_ctx* ctx = [] {
        odb_obj_ctx* created = nullptr;
        if (ODB_obj_new(db, cls, &id, &created) != ODB_OK) std::abort();
        return created;
    }();

    const std::filesystem::path ini = fuzz::scratch_dir() / "fuzz.ini";
    fuzz::write_bytes(ini, data, size);
    const std::u16string file = fuzz::wide(ini);
    const WCHAR* f = file.c_str();
    WCHAR small[8], large[4096];
    GetPrivateProfileStringW(u"NameIndex", u"Enabled", u"No", small, 8, f);
    GetPrivateProfileStringW(u"a", u"b", u"", large, 4096, f);
    GetPrivateProfileStringW(u"a", nullptr, u"", small, 8, f);
    GetPrivateProfileStringW(nullptr, nullptr, u"", small, 8, f);
    GetPrivateProfileIntW(u"NameIndex", u"HashCount", 16, f);
    GetPrivateProfileIntW(u"a", u"b", -1, f);
    unsigned char structure[16];
    GetPrivateProfileStructW(u"00000001", u"TimeBin", structure, sizeof structure, f);
    GetPrivateProfileStructW(u"a", u"b", structure, 1, f);
    GetPrivateProfileSectionNamesW(small, 8, f);
    GetPrivateProfileSectionNamesW(large, 4096, f);
    WritePrivateProfileStringW(u"a", u"b", u"c", f);
    WritePrivateProfileStringW(u"a", nullptr, nullptr, f);
    GetPrivateProfileSectionNamesW(large, 4096, f);

    // The same bytes as the object's change file.
    fuzz::write_bytes(fuzz::object_dir(root, cls, id) / odb::disk::attribute_changes_file, data, size);
    uint32_t length = 0;
    if (ODB_obj_get_info(ctx, ODB_INFO_ATTRIBUTE_CHANGES, 0, nullptr, &length) == ODB_OK) {
        std::vector<unsigned char> changes(length);
        ODB_obj_get_info(ctx, ODB_INFO_ATTRIBUTE_CHANGES, 0, changes.data(), &length);
    }
    odb_attribute_change_info one;
    length = sizeof one;
    ODB_obj_get_info(ctx, ODB_INFO_ATTRIBUTE_CHANGES, 1, &one, &length);
    return 0;
}
