// The tool's handles on a database, its objects and its walks: thin owners
// of the library's handles that turn failed statuses into status_error with
// the path concerned. Nothing here reaches past the public interface.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/disk_format.h"
#include "errors.h"
#include "text.h"

namespace odbtool {

namespace fs = std::filesystem;
namespace disk = odb::disk;

// The three forms in which an object directory exists.
enum class form { live, removed, wiped };
const char* form_name(form f);
uint32_t form_mode(form f);        // location bits of a context's mode
uint32_t form_enum_flag(form f);   // ODB_ENUM_LIVE, ..._REMOVED, ..._WIPED
const form all_forms[] = {form::live, form::removed, form::wiped};

// A directory argument made absolute, so that a bare name means the current
// directory (the library would put a bare name beside the executable).
fs::path database_path(const std::string& argument);
std::string path_text(const fs::path& path);  // UTF-8
fs::path utf8_path(const std::string& utf8);

class database {
public:
    static database open(const std::string& directory);
    // Refuses a directory that exists and is not empty: creating a database
    // clears whatever is in its directory.
    static database create(const std::string& directory);
    database(database&& other) noexcept;
    database& operator=(database&&) = delete;
    ~database();

    odb_database* handle() const { return handle_; }
    const fs::path& root() const { return root_; }
    std::string root_text() const { return path_text(root_); }

    // The layout of the tree, for messages and for the files the tool reads
    // itself (DBCFG.INI, OBJID.FDB, the name index).
    fs::path class_dir(uint32_t cls) const;
    fs::path object_dir(uint32_t cls, uint32_t id, form f) const;

    // Object classes: the class directories of the root, in rising order.
    std::vector<uint32_t> classes() const;
    // Throws "no class ... in ..." unless the class directory exists: the
    // library would create it (and its index) for some reads.
    void require_class(uint32_t cls) const;

    void destroy();  // ODB_destroy; the handle stays until destruction
    void close();    // ODB_close now (reports its status)

private:
    database(odb_database* handle, fs::path root) : handle_(handle), root_(std::move(root)) {}
    odb_database* handle_;
    fs::path root_;
};

struct attribute_entry {
    uint32_t number;
    uint32_t length;
};

class object {
public:
    // Opens the object in the given form, for reading or writing.
    object(database& db, uint32_t cls, uint32_t id, form f, bool write);
    // Opens the object in whichever form exists, live first.
    static object open_any(database& db, uint32_t cls, uint32_t id, bool write);
    static object create(database& db, uint32_t cls);             // ODB_obj_new
    static object import(database& db, uint32_t cls, uint32_t id);  // ODB_obj_import
    object(object&& other) noexcept;
    object& operator=(object&&) = delete;
    ~object();

    odb_obj_ctx* handle() const { return ctx_; }
    uint32_t cls() const { return cls_; }
    uint32_t id() const { return id_; }
    form current_form() const { return form_; }
    // "00000005/00000001" and the object directory, for messages.
    std::string label() const;
    std::string where() const;

    // The whole value from the offset on; throws status_error.
    bytes read(uint32_t attribute, uint32_t offset = 0) const;
    odb_status try_read(uint32_t attribute, bytes& value, uint32_t offset = 0) const;
    bool has(uint32_t attribute) const;
    // Writes bytes at an offset, as the library does.
    void write(uint32_t attribute, const bytes& value, uint32_t offset = 0);
    // Makes the value exactly these bytes (a shorter value over a longer one
    // would otherwise keep the old length).
    void replace(uint32_t attribute, const bytes& value);
    void erase(uint32_t attribute);

    // Every attribute with its length, in the library's order.
    std::vector<attribute_entry> attributes() const;
    odb_status try_attributes(std::vector<attribute_entry>& out) const;

    fs::path directory() const;  // ODB_INFO_PATH
    bool single_file() const;    // whether ATTRIBS.FDB holds the attributes

    void remove(uint32_t options);
    void restore();
    void close();

private:
    object(database& db, uint32_t cls, uint32_t id, form f, odb_obj_ctx* ctx)
        : db_(&db), cls_(cls), id_(id), form_(f), ctx_(ctx) {}
    database* db_;
    uint32_t cls_, id_;
    form form_;
    odb_obj_ctx* ctx_;
};

class walk {
public:
    walk(database& db, uint32_t cls, uint32_t flags, const odb_enum_filter* filter = nullptr);
    walk(const walk&) = delete;
    walk& operator=(const walk&) = delete;
    ~walk();
    // 0 with an identifier, ODB_E_NO_MORE_ITEMS at the end, or the failure
    // of one candidate (the walk goes on after it).
    odb_status step(uint32_t& id);

private:
    odb_enum_ctx* handle_ = nullptr;
};

// Every identifier of a class in one form, in rising order; a failed step
// throws.
std::vector<uint32_t> list_ids(database& db, uint32_t cls, form f);
// How many objects of a class are in one form, by a walk; a failed step throws.
std::size_t count_ids(database& db, uint32_t cls, form f);

}  // namespace odbtool
