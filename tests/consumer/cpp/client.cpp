// Creates a database at argv[1] with its name index on, makes a named
// object, opens the database again, finds the object by its UTF-16 name (the
// lookup builds the class's index from the objects) and reads the name back.
// Prints "ok <id>" and exits 0.
#include <qmfiledb.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

namespace {

void check(odb_status status, const char* what) {
    if (status != ODB_OK) throw std::runtime_error(std::string(what) + ": " + odb_status_name(status));
}

// Closes the handle whatever happens in between.
struct database {
    odb_database* db = nullptr;
    database(uint32_t flags, const std::string& path) {
        uint32_t version = 0;
        check(ODB_init(flags, path.c_str(), &version, &db, 0), "open");
        if (version != ODB_VERSION) throw std::runtime_error("unexpected library version");
    }
    ~database() { ODB_close(db); }
    database(const database&) = delete;
    database& operator=(const database&) = delete;
};

}  // namespace

int main(int argc, char** argv) try {
    if (argc != 2) {
        std::fprintf(stderr, "usage: client_cpp <new database directory>\n");
        return 2;
    }
    const std::string path = argv[1];
    { database created(ODB_INIT_CREATE, path); }
    std::ofstream(path + "/DBCFG.INI") << "[NameIndex]\nEnabled=yes\n";

    const std::string name = "Zweites Objekt";
    uint32_t id = 0;
    odb_obj_ctx* obj = nullptr;
    {
        database writer(0, path);
        check(ODB_obj_new(writer.db, 7, &id, &obj), "new object");
        check(ODB_obj_set_attribute(obj, ODB_NAME_ATTRIBUTE, 0, name.c_str(),
                                    static_cast<uint32_t>(name.size() + 1)), "set name");
        check(ODB_obj_close_ctx(obj), "close object");
    }

    database handle(0, path);
    const std::u16string wide = u"Zweites Objekt";
    uint32_t found = 0;
    check(ODB_obj_lookup_ex(handle.db, 7, ODB_NAME_ATTRIBUTE, ODB_NAME_UTF16, wide.c_str(),
                            static_cast<uint32_t>((wide.size() + 1) * sizeof(char16_t)), &found),
          "lookup");
    if (found != id) throw std::runtime_error("lookup found another object");

    check(ODB_obj_create_ctx(handle.db, 7, found, ODB_MODE_READ, &obj), "open object");
    std::string value(64, '\0');
    uint32_t size = static_cast<uint32_t>(value.size());
    odb_status read = ODB_obj_get_attribute(obj, ODB_NAME_ATTRIBUTE, 0, value.data(), &size);
    ODB_obj_close_ctx(obj);
    check(read, "read name");
    if (value.compare(0, size, name.c_str(), name.size() + 1) != 0)
        throw std::runtime_error("name read back differs");

    std::printf("ok %u\n", static_cast<unsigned>(id));
    return 0;
} catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
}
