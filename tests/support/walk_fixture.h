// A database in a temporary directory for the walk, name-index, removal and
// identifier-range tests, with the few file utilities those tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/handle.h"
#include "qmfiledb.h"
#include "support/temp_dir.h"
#include "support/walk_fixture_files.h"
#include "support/wide.h"

namespace odb::test {

inline std::string hex8(uint32_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string out(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4) out[i] = digits[value & 0xF];
    return out;
}

// Little-endian bytes of a 16- or 32-bit number.
inline std::string le16(uint32_t value) {
    return std::string{static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}
inline std::string le32(uint32_t value) { return le16(value & 0xFFFF) + le16(value >> 16); }

// The names in a directory (without "." and ".."), sorted.
inline std::vector<std::string> list_dir(const wide_string& path) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    find_handle search(FindFirstFileW(join(path, "*").c_str(), &entry));
    if (!search) return names;
    do {
        const std::string name = narrow(entry.cFileName);
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(search.get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
}

// Whether the file opens read-write with no sharing right now: a held
// object lock makes this false at once, without waiting.
inline bool can_open_exclusively(const wide_string& path) {
    file_handle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid();
}

// One DBCFG.INI entry, written before the database is opened.
struct ini_setting {
    const char* section;
    const char* key;
    const char* value;
};

class walk_db {
public:
    // Creates the database, then writes the settings and opens it again so
    // that they are in the handle's snapshot. A root_length pads the root
    // with the pad unit, in names of at most 100 units (a pad of several
    // bytes stays within every file system's name limit).
    explicit walk_db(const std::vector<ini_setting>& settings = {}, std::size_t root_length = 0,
                     WCHAR pad = 'd')
        : root_(join(dir_.path(), "db")) {
        if (root_.size() < root_length) {
            root_ = dir_.path();
            while (root_.size() + 102 < root_length) {
                root_ += ODB_PATH_SEPARATOR + wide_string(100, pad);
                CreateDirectoryW(root_.c_str(), nullptr);
            }
            root_ += ODB_PATH_SEPARATOR + wide_string(root_length - root_.size() - 1, pad);
        }
        uint32_t version = 0;
        if (ODB_init_w(ODB_INIT_CREATE, text(root_), &version, &db_, 0) != ODB_OK)
            throw std::runtime_error("cannot create the test database");
        reopen(settings);
    }
    ~walk_db() {
        if (db_ != nullptr) ODB_close(db_);
    }
    walk_db(const walk_db&) = delete;
    walk_db& operator=(const walk_db&) = delete;

    odb_database* db() const { return db_; }
    const wide_string& root() const { return root_; }

    // Closes the handle, applies more settings and opens it again.
    void reopen(const std::vector<ini_setting>& settings = {}) {
        if (db_ != nullptr) ODB_close(db_);
        db_ = nullptr;
        const wide_string ini = join(root_, "DBCFG.INI");
        for (const ini_setting& entry : settings)
            WritePrivateProfileStringW(widen(entry.section).c_str(), widen(entry.key).c_str(),
                                       widen(entry.value).c_str(), ini.c_str());
        uint32_t version = 0;
        if (ODB_init_w(0, text(root_), &version, &db_, 0) != ODB_OK)
            throw std::runtime_error("cannot open the test database");
    }

    // root + separator + relative, with '/' in relative as the separator.
    wide_string path(const std::string& relative) const {
        wide_string out = root_;
        out += ODB_PATH_SEPARATOR;
        for (char c : relative) out += c == '/' ? ODB_PATH_SEPARATOR : static_cast<WCHAR>(c);
        return out;
    }
    wide_string class_dir(uint32_t cls) const { return path(hex8(cls)); }
    // suffix "", ".RMV" or ".WPE"
    wide_string object_dir(uint32_t cls, uint32_t id, const char* suffix = "") const {
        return path(hex8(cls) + "/" + hex8(id >> 9) + "/" + hex8(id & 0x1FF) + suffix);
    }
    // names.dat for bucket -1, else names.%03x
    wide_string index_file(uint32_t cls, int bucket) const {
        const std::string name = bucket < 0 ? "names.dat" : "names." + hex8(bucket).substr(5);
        return path(hex8(cls) + "/" + name);
    }

    // An object under the given identifier with these attributes (number,
    // value bytes) set; the context is closed again.
    void make(uint32_t cls, uint32_t id,
              const std::vector<std::pair<uint32_t, std::string>>& attributes = {}) {
        odb_obj_ctx* ctx = nullptr;
        ASSERT_EQ(ODB_obj_import(db_, cls, id, &ctx), ODB_OK) << "import " << id;
        for (const auto& attribute : attributes)
            EXPECT_EQ(ODB_obj_set_attribute(ctx, attribute.first, 0, attribute.second.data(),
                                            static_cast<uint32_t>(attribute.second.size())),
                      ODB_OK);
        EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
    }

    odb_obj_ctx* open(uint32_t cls, uint32_t id, uint32_t mode) {
        odb_obj_ctx* ctx = nullptr;
        EXPECT_EQ(ODB_obj_create_ctx(db_, cls, id, mode, &ctx), ODB_OK) << "open " << id;
        return ctx;
    }

    // Every identifier a walk delivers, sorted; the walk must end with
    // ODB_E_NO_MORE_ITEMS.
    std::vector<uint32_t> walk(uint32_t cls, uint32_t flags,
                               const odb_enum_filter* filter = nullptr) const {
        std::vector<uint32_t> ids;
        odb_enum_ctx* handle = nullptr;
        EXPECT_EQ(ODB_obj_enum_init(db_, cls, flags, filter, &handle), ODB_OK);
        uint32_t id = 0;
        odb_status status;
        while ((status = ODB_obj_enum_ids(handle, &id)) == ODB_OK) ids.push_back(id);
        EXPECT_EQ(status, ODB_E_NO_MORE_ITEMS);
        EXPECT_EQ(ODB_obj_enum_close(handle), ODB_OK);
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    // Lookup by a narrow (ANSI) name.
    odb_status lookup(uint32_t cls, const std::string& name, uint32_t* id) const {
        return ODB_obj_lookup_ex(db_, cls, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI, name.c_str(),
                                 static_cast<uint32_t>(name.size() + 1), id);
    }

private:
    static const odb_wchar* text(const wide_string& path) {
        return reinterpret_cast<const odb_wchar*>(path.c_str());
    }

    temp_dir dir_;
    wide_string root_;
    odb_database* db_ = nullptr;
};

}  // namespace odb::test
