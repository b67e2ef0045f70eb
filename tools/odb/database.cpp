#include "database.h"

#include <algorithm>
#include <system_error>

namespace odbtool {

static_assert(sizeof(odb_wchar) == sizeof(char16_t), "library text is UTF-16");

const char* form_name(form f) {
    switch (f) {
    case form::live: return "live";
    case form::removed: return "removed";
    case form::wiped: return "wiped";
    }
    return "?";
}

uint32_t form_mode(form f) {
    switch (f) {
    case form::live: return 0;
    case form::removed: return ODB_MODE_REMOVED;
    case form::wiped: return ODB_MODE_WIPED;
    }
    return 0;
}

uint32_t form_enum_flag(form f) {
    switch (f) {
    case form::live: return ODB_ENUM_LIVE;
    case form::removed: return ODB_ENUM_REMOVED;
    case form::wiped: return ODB_ENUM_WIPED;
    }
    return 0;
}

fs::path utf8_path(const std::string& utf8) { return fs::u8path(utf8); }

std::string path_text(const fs::path& path) {
    auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path database_path(const std::string& argument) {
    if (argument.empty()) throw usage_error("the database directory is empty");
    std::error_code error;
    fs::path absolute = fs::absolute(utf8_path(argument), error);
    if (error) throw usage_error("bad database directory '" + argument + "': " + error.message());
    absolute = absolute.lexically_normal();
    // One trailing separator would make an empty last element.
    if (!absolute.has_filename() && absolute.has_parent_path() && absolute != absolute.root_path())
        absolute = absolute.parent_path();
    return absolute;
}

namespace {

std::u16string library_path(const fs::path& path) {
#ifdef _WIN32
    std::wstring wide = path.wstring();
    return std::u16string(wide.begin(), wide.end());
#else
    return utf8_to_utf16(path_text(path));
#endif
}

fs::path from_library_path(const odb_wchar* text) {
    std::u16string units;
    for (; *text != 0; ++text) units += static_cast<char16_t>(*text);
#ifdef _WIN32
    return fs::path(std::wstring(units.begin(), units.end()));
#else
    return utf8_path(utf16_to_utf8(units));
#endif
}

odb_database* init(const fs::path& root, uint32_t flags) {
    std::u16string path = library_path(root);
    uint32_t version = 0;
    odb_database* handle = nullptr;
    odb_status status = ODB_init_w(flags, reinterpret_cast<const odb_wchar*>(path.c_str()),
                                   &version, &handle, 0);
    check(status, flags & ODB_INIT_CREATE ? "cannot create database" : "cannot open database",
          path_text(root));
    return handle;
}

bool is_hex_name(const std::string& name) {
    if (name.size() != 8) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

}  // namespace

database database::open(const std::string& directory) {
    fs::path root = database_path(directory);
    std::error_code error;
    if (!fs::exists(root, error))
        throw status_error(ODB_E_NO_DATABASE, "cannot open database " + path_text(root) +
                           ": no such directory (" + describe_status(ODB_E_NO_DATABASE) + ")",
                           path_text(root));
    if (!fs::is_directory(root, error))
        throw status_error(ODB_E_NO_DATABASE, "cannot open database " + path_text(root) +
                           ": not a directory (" + describe_status(ODB_E_NO_DATABASE) + ")",
                           path_text(root));
    return database(init(root, 0), root);
}

database database::create(const std::string& directory) {
    fs::path root = database_path(directory);
    std::error_code error;
    if (fs::exists(root, error)) {
        if (!fs::is_directory(root, error))
            throw tool_error("cannot create database " + path_text(root) + ": it is a file");
        if (!fs::is_empty(root, error))
            throw tool_error("cannot create database " + path_text(root) +
                             ": the directory is not empty (creating a database clears its "
                             "directory, so odb only creates one in a new or empty directory)");
    }
    return database(init(root, ODB_INIT_CREATE), root);
}

database::database(database&& other) noexcept : handle_(other.handle_), root_(std::move(other.root_)) {
    other.handle_ = nullptr;
}

database::~database() {
    if (handle_ != nullptr) ODB_close(handle_);
}

void database::close() {
    if (handle_ == nullptr) return;
    odb_status status = ODB_close(handle_);
    handle_ = nullptr;
    check(status, "cannot close database", root_text());
}

void database::destroy() { check(ODB_destroy(handle_), "cannot destroy database", root_text()); }

fs::path database::class_dir(uint32_t cls) const { return root_ / hex8(cls); }

fs::path database::object_dir(uint32_t cls, uint32_t id, form f) const {
    std::string slot = hex8(id & 0x1FF);
    if (f == form::removed) slot += disk::removed_suffix;
    if (f == form::wiped) slot += disk::wiped_suffix;
    return class_dir(cls) / hex8(id >> 9) / slot;
}

std::vector<uint32_t> database::classes() const {
    std::vector<uint32_t> out;
    std::error_code error;
    for (fs::directory_iterator it(root_, error), end; !error && it != end; it.increment(error)) {
        std::string name = path_text(it->path().filename());
        std::error_code type_error;
        if (is_hex_name(name) && it->is_directory(type_error))
            out.push_back(parse_hex32(name, "class"));
    }
    if (error) throw tool_error("cannot list " + root_text() + ": " + error.message());
    std::sort(out.begin(), out.end());
    return out;
}

void database::require_class(uint32_t cls) const {
    std::error_code error;
    if (!fs::is_directory(class_dir(cls), error))
        throw tool_error("no class " + hex8(cls) + " in " + root_text());
}

// ---- objects ----------------------------------------------------------------

object::object(database& db, uint32_t cls, uint32_t id, form f, bool write)
    : db_(&db), cls_(cls), id_(id), form_(f), ctx_(nullptr) {
    uint32_t mode = form_mode(f) | (write ? ODB_MODE_WRITE : ODB_MODE_READ);
    check(ODB_obj_create_ctx(db.handle(), cls, id, mode, &ctx_),
          std::string("cannot open ") + form_name(f) + " object " + label() + " at",
          path_text(db.object_dir(cls, id, f)));
}

object object::open_any(database& db, uint32_t cls, uint32_t id, bool write) {
    for (form f : all_forms) {
        odb_obj_ctx* ctx = nullptr;
        uint32_t mode = form_mode(f) | (write ? ODB_MODE_WRITE : ODB_MODE_READ);
        odb_status status = ODB_obj_create_ctx(db.handle(), cls, id, mode, &ctx);
        if (status == ODB_OK) return object(db, cls, id, f, ctx);
        if (status != ODB_E_NO_OBJECT)
            throw_status(status, "cannot open object " + hex8(cls) + "/" + hex8(id) + " at",
                         path_text(db.object_dir(cls, id, f)));
    }
    throw_status(ODB_E_NO_OBJECT, "no object " + hex8(cls) + "/" + hex8(id) + " in any form at",
                 path_text(db.object_dir(cls, id, form::live)));
}

object object::create(database& db, uint32_t cls) {
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    check(ODB_obj_new(db.handle(), cls, &id, &ctx), "cannot create an object of class " + hex8(cls) + " in",
          path_text(db.class_dir(cls)));
    return object(db, cls, id, form::live, ctx);
}

object object::import(database& db, uint32_t cls, uint32_t id) {
    odb_obj_ctx* ctx = nullptr;
    check(ODB_obj_import(db.handle(), cls, id, &ctx),
          "cannot import object " + hex8(cls) + "/" + hex8(id) + " at",
          path_text(db.object_dir(cls, id, form::live)));
    return object(db, cls, id, form::live, ctx);
}

object::object(object&& other) noexcept
    : db_(other.db_), cls_(other.cls_), id_(other.id_), form_(other.form_), ctx_(other.ctx_) {
    other.ctx_ = nullptr;
}

object::~object() {
    if (ctx_ != nullptr) ODB_obj_close_ctx(ctx_);
}

void object::close() {
    if (ctx_ == nullptr) return;
    odb_status status = ODB_obj_close_ctx(ctx_);
    ctx_ = nullptr;
    check(status, "cannot close object " + label() + " at", where());
}

std::string object::label() const { return hex8(cls_) + "/" + hex8(id_); }

std::string object::where() const { return path_text(db_->object_dir(cls_, id_, form_)); }

odb_status object::try_read(uint32_t attribute, bytes& value, uint32_t offset) const {
    for (;;) {
        uint32_t size = 0;
        odb_status status = ODB_obj_get_attribute(ctx_, attribute, offset, nullptr, &size);
        if (status != ODB_OK) return status;
        value.assign(size, 0);
        if (size == 0) return ODB_OK;
        uint32_t got = size;
        status = ODB_obj_get_attribute(ctx_, attribute, offset, value.data(), &got);
        if (status != ODB_OK) return status;
        if (got <= size) {
            value.resize(got);
            return ODB_OK;
        }
        // The value grew between the two calls: read it again.
    }
}

bytes object::read(uint32_t attribute, uint32_t offset) const {
    bytes value;
    check(try_read(attribute, value, offset),
          "cannot read attribute " + hex8(attribute) + " of object " + label() + " at", where());
    return value;
}

bool object::has(uint32_t attribute) const {
    uint32_t size = 0;
    odb_status status = ODB_obj_get_attribute(ctx_, attribute, 0, nullptr, &size);
    if (status == ODB_E_NO_ATTRIBUTE) return false;
    check(status, "cannot read attribute " + hex8(attribute) + " of object " + label() + " at",
          where());
    return true;
}

void object::write(uint32_t attribute, const bytes& value, uint32_t offset) {
    static const unsigned char nothing = 0;
    const void* data = value.empty() ? &nothing : value.data();
    check(ODB_obj_set_attribute(ctx_, attribute, offset, data, static_cast<uint32_t>(value.size())),
          "cannot write attribute " + hex8(attribute) + " of object " + label() + " at", where());
}

void object::replace(uint32_t attribute, const bytes& value) {
    uint32_t size = 0;
    odb_status status = ODB_obj_get_attribute(ctx_, attribute, 0, nullptr, &size);
    if (status == ODB_OK && size > value.size()) erase(attribute);
    write(attribute, value, 0);
}

void object::erase(uint32_t attribute) {
    check(ODB_obj_set_attribute(ctx_, attribute, 0, nullptr, 0),
          "cannot delete attribute " + hex8(attribute) + " of object " + label() + " at", where());
}

odb_status object::try_attributes(std::vector<attribute_entry>& out) const {
    out.clear();
    for (;;) {
        attribute_entry entry = {};
        odb_status status = ODB_obj_attribute_enum(ctx_, &entry.number, &entry.length);
        if (status == ODB_E_NO_MORE_ITEMS) return ODB_OK;
        if (status != ODB_OK) {
            ODB_obj_attribute_enum(ctx_, nullptr, nullptr);  // end the walk
            return status;
        }
        out.push_back(entry);
    }
}

std::vector<attribute_entry> object::attributes() const {
    std::vector<attribute_entry> out;
    check(try_attributes(out), "cannot list the attributes of object " + label() + " at", where());
    return out;
}

fs::path object::directory() const {
    odb_wchar path[256] = {};
    uint32_t length = sizeof path;
    check(ODB_obj_get_info(ctx_, ODB_INFO_PATH, 0, path, &length),
          "cannot get the path of object " + label() + " at", where());
    path[255] = 0;
    return from_library_path(path);
}

bool object::single_file() const {
    std::error_code error;
    return fs::is_regular_file(directory() / disk::record_file_name, error);
}

void object::remove(uint32_t options) {
    std::string at = where();
    check(ODB_obj_remove_ex(ctx_, options), "cannot remove object " + label() + " at", at);
    // A wiped object removed again moves to the removed name (both location
    // bits); a deleted one keeps its last form for messages.
    form_ = (options & ODB_REMOVE_WIPE) ? form::wiped : form::removed;
}

void object::restore() {
    check(ODB_obj_restore(ctx_), "cannot restore object " + label() + " at", where());
    form_ = form::live;
}

// ---- walks ------------------------------------------------------------------

walk::walk(database& db, uint32_t cls, uint32_t flags, const odb_enum_filter* filter) {
    check(ODB_obj_enum_init(db.handle(), cls, flags, filter, &handle_), "cannot walk class",
          path_text(db.class_dir(cls)));
}

walk::~walk() {
    if (handle_ != nullptr) ODB_obj_enum_close(handle_);
}

odb_status walk::step(uint32_t& id) { return ODB_obj_enum_ids(handle_, &id); }

std::vector<uint32_t> list_ids(database& db, uint32_t cls, form f) {
    std::vector<uint32_t> ids;
    walk objects(db, cls, form_enum_flag(f));
    for (;;) {
        uint32_t id = 0;
        odb_status status = objects.step(id);
        if (status == ODB_E_NO_MORE_ITEMS) break;
        check(status, "cannot walk class", path_text(db.class_dir(cls)));
        ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

std::size_t count_ids(database& db, uint32_t cls, form f) {
    std::size_t count = 0;
    walk objects(db, cls, form_enum_flag(f));
    for (;;) {
        uint32_t id = 0;
        odb_status status = objects.step(id);
        if (status == ODB_E_NO_MORE_ITEMS) return count;
        check(status, "cannot walk class", path_text(db.class_dir(cls)));
        ++count;
    }
}

}  // namespace odbtool
