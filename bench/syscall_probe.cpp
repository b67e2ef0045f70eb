// Runs one operation a given number of times after a fixed set-up, so that
// `strace -c -f` of a run with n calls minus a run with none gives the
// system calls of one call. Used by run-benchmarks.
//   syscall_probe <operation> <n> <file|single>
#include <cstdio>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "floor.h"
#include "walks.h"

namespace {

using namespace bench;

constexpr int fixed = 20;  // objects and contexts prepared whatever n is
constexpr uint32_t value_attribute = 0x20;  // a large value, as bench_values writes

struct state {
    std::string root;
    bool single = false;
    odb_database* db = nullptr;
    std::vector<uint32_t> ids;
    std::vector<odb_obj_ctx*> contexts;
    odb_enum_ctx* walk = nullptr;
};

struct operation {
    // What the set-up leaves: objects, and contexts on them in this mode (0: none).
    uint32_t context_mode;
    std::function<void(state&, int)> call;
    bool name_index = false;
    // Run after the contexts are made, before the measured part.
    std::function<void(state&)> prepare = nullptr;
};

uint32_t ignore_status(odb_status) { return 0; }

const std::map<std::string, operation>& operations() {
    static const std::map<std::string, operation> table = {
        {"ODB_init+ODB_close", {0, [](state& s, int) { ODB_close(open_database(s.root)); }}},
        {"ODB_obj_new+ODB_obj_close_ctx", {0, [](state& s, int) {
             uint32_t id;
             odb_obj_ctx* ctx;
             check(ODB_obj_new(s.db, object_class, &id, &ctx), "new");
             ODB_obj_close_ctx(ctx);
         }}},
        {"ODB_obj_import+ODB_obj_close_ctx", {0, [](state& s, int i) {
             odb_obj_ctx* ctx;
             check(ODB_obj_import(s.db, object_class, 0x10000 + i, &ctx), "import");
             ODB_obj_close_ctx(ctx);
         }}},
        {"ODB_obj_create_ctx(read)+ODB_obj_close_ctx", {0, [](state& s, int i) {
             odb_obj_ctx* ctx;
             check(ODB_obj_create_ctx(s.db, object_class, s.ids[i], ODB_MODE_READ, &ctx), "ctx");
             ODB_obj_close_ctx(ctx);
         }}},
        {"ODB_obj_create_ctx(write)+ODB_obj_close_ctx", {0, [](state& s, int i) {
             odb_obj_ctx* ctx;
             check(ODB_obj_create_ctx(s.db, object_class, s.ids[i], ODB_MODE_WRITE, &ctx), "ctx");
             ODB_obj_close_ctx(ctx);
         }}},
        {"ODB_obj_change_mode(read->write)", {ODB_MODE_READ, [](state& s, int i) {
             check(ODB_obj_change_mode(s.contexts[i], ODB_MODE_WRITE), "change mode");
         }}},
        {"ODB_obj_get_attribute", {ODB_MODE_READ, [](state& s, int i) {
             unsigned char buffer[64];
             uint32_t size = sizeof buffer;
             check(ODB_obj_get_attribute(s.contexts[i], small_attribute_b, 0, buffer, &size), "get");
         }}},
        {"ODB_obj_set_attribute(rewrite)", {ODB_MODE_WRITE, [](state& s, int i) {
             unsigned char b[16] = {1};
             check(ODB_obj_set_attribute(s.contexts[i], small_attribute_b, 0, b, 16), "set");
         }}},
        {"ODB_obj_set_attribute(64 KiB piece)", {ODB_MODE_WRITE, [](state& s, int i) {
             static const std::vector<unsigned char> piece(64 << 10, 2);
             check(ODB_obj_set_attribute(s.contexts[i], value_attribute, 64 << 10, piece.data(),
                                         static_cast<uint32_t>(piece.size())), "set piece");
         }, false, [](state& s) {
             const std::vector<unsigned char> value(256 << 10, 1);
             for (odb_obj_ctx* ctx : s.contexts)
                 check(ODB_obj_set_attribute(ctx, value_attribute, 0, value.data(),
                                             static_cast<uint32_t>(value.size())), "set value");
         }}},
        {"ODB_obj_set_attribute(new)", {ODB_MODE_WRITE, [](state& s, int i) {
             unsigned char b[16] = {1};
             check(ODB_obj_set_attribute(s.contexts[i], 0x30, 0, b, 16), "set");
         }}},
        {"ODB_obj_set_attribute(name, index on)", {ODB_MODE_WRITE, [](state& s, int i) {
             const std::string name = object_name(1000 + i);
             check(ODB_obj_set_attribute(s.contexts[i], ODB_NAME_ATTRIBUTE, 0, name.c_str(),
                                         static_cast<uint32_t>(name.size() + 1)), "set name");
         }, true}},
        {"ODB_obj_attribute_enum", {ODB_MODE_READ, [](state& s, int i) {
             uint32_t attribute, length;
             ignore_status(ODB_obj_attribute_enum(s.contexts[i], &attribute, &length));
         }}},
        {"ODB_obj_get_info(times)", {ODB_MODE_READ, [](state& s, int i) {
             unsigned char buffer[128];
             uint32_t length = sizeof buffer;
             ignore_status(ODB_obj_get_info(s.contexts[i], ODB_INFO_TIMES, 0, buffer, &length));
         }}},
        {"ODB_obj_remove_ex(remove)", {ODB_MODE_WRITE, [](state& s, int i) {
             check(ODB_obj_remove_ex(s.contexts[i], 0), "remove");
         }}},
        {"ODB_obj_remove(wipe)", {ODB_MODE_WRITE, [](state& s, int i) {
             check(ODB_obj_remove(s.contexts[i]), "wipe");
         }}},
        {"ODB_obj_restore", {ODB_MODE_WRITE | ODB_MODE_REMOVED, [](state& s, int i) {
             check(ODB_obj_restore(s.contexts[i]), "restore");
         }}},
        {"ODB_obj_enum_ids (one object)", {0, [](state& s, int) {
             uint32_t id;
             check(ODB_obj_enum_ids(s.walk, &id), "enum");
         }}},
        {"ODB_obj_enum_init+ODB_obj_enum_close", {0, [](state& s, int) {
             odb_enum_ctx* walk;
             check(ODB_obj_enum_init(s.db, object_class, 0, nullptr, &walk), "enum init");
             ODB_obj_enum_close(walk);
         }}},
        {"ODB_obj_count(index, 20 objects)", {0, [](state& s, int) { lib::count_by_index(s.db); }, true}},
        {"ODB_obj_count(enumeration, 20 objects)", {0, [](state& s, int) { lib::count_by_enumeration(s.db); }}},
        {"ODB_obj_lookup_ex", {0, [](state& s, int i) { lib::lookup(s.db, i); }, true}},
        {"ODB_get_free_ids", {0, [](state& s, int) {
             uint32_t first, last;
             check(ODB_get_free_ids(s.db, &first, &last), "free ids");
         }}},
        {"ODB_steal_ids", {0, [](state& s, int) {
             uint32_t first, last;
             check(ODB_steal_ids(s.db, 1, &first, &last), "steal ids");
         }}},
        {"ODB_assign_ids", {0, [](state& s, int) { check(ODB_assign_ids(s.db, 0x100, 0xFFFFFFF0u), "assign"); }}},
        // The floor's sequences for the same steps.
        {"floor: create object (3 attributes)", {0, [](state& s, int i) {
             floor::create_object(floor::database{s.root, s.single}, 1000 + i);
         }}},
        {"library: create object (3 attributes)", {0, [](state& s, int i) { lib::create_object(s.db, 1000 + i); }}},
        {"floor: read object (3 attributes)", {0, [](state& s, int i) {
             floor::read_object(floor::database{s.root, s.single}, s.ids[i]);
         }}},
        {"library: read object (3 attributes)", {0, [](state& s, int i) { lib::read_object(s.db, s.ids[i]); }}},
        {"floor: rewrite one attribute", {0, [](state& s, int i) {
             floor::rewrite_object(floor::database{s.root, s.single}, s.ids[i], i);
         }}},
        {"library: rewrite one attribute", {0, [](state& s, int i) { lib::rewrite_object(s.db, s.ids[i], i); }}},
        {"floor: remove object", {0, [](state& s, int i) {
             floor::remove_object(floor::database{s.root, s.single}, s.ids[i]);
         }}},
        {"library: remove object", {0, [](state& s, int i) { lib::remove_object(s.db, s.ids[i]); }}},
        {"floor: lookup by name", {0, [](state& s, int i) { floor::lookup(s.root, i); }, true}},
        {"library: lookup by name", {0, [](state& s, int i) { lib::lookup(s.db, i); }, true}},
        {"floor: count by index", {0, [](state& s, int) { floor::count_by_index(s.root); }, true}},
        {"library: count by index", {0, [](state& s, int) { lib::count_by_index(s.db); }, true}},
        {"floor: rebuild index (20 objects)", {0, [](state& s, int) { floor::rebuild_index(s.root); }, true}},
        {"library: rebuild index (20 objects)", {0, [](state& s, int) { lib::rebuild_index(s.db, s.root); }, true}},
    };
    return table;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const auto& entry : operations()) {
            std::printf("%s\n", entry.first.c_str());
            if (entry.first.rfind("floor: ", 0) == 0) std::printf("floor+emul: %s\n", entry.first.c_str() + 7);
        }
        return 0;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: syscall_probe <operation> <n> <file|single> | --list\n");
        return 2;
    }
    std::string name = argv[1];
    if (name.rfind("floor+emul: ", 0) == 0) {
        floor_emulation = true;
        name = "floor: " + name.substr(12);
    }
    auto found = operations().find(name);
    if (found == operations().end()) {
        std::fprintf(stderr, "unknown operation %s\n", argv[1]);
        return 2;
    }
    const operation& op = found->second;
    const int n = std::atoi(argv[2]);
    if (n < 0 || n > fixed) return 2;
    scratch_dir dir("probe");
    state s;
    s.root = dir.sub("db");
    s.single = std::strcmp(argv[3], "single") == 0;
    db_settings settings;
    settings.single_file = s.single;
    settings.name_index = op.name_index;
    s.db = create_database(s.root, settings);
    uint32_t none;
    if (op.name_index) ODB_obj_count(s.db, object_class, 0, &none);
    for (int i = 0; i < fixed; ++i) s.ids.push_back(lib::create_object(s.db, i));
    if (op.name_index) lib::count_by_index(s.db);
    for (int i = 0; i < fixed && op.context_mode != 0; ++i) {
        odb_obj_ctx* ctx = nullptr;
        if (op.context_mode & ODB_MODE_REMOVED) {
            check(ODB_obj_create_ctx(s.db, object_class, s.ids[i], ODB_MODE_WRITE, &ctx), "ctx");
            check(ODB_obj_remove_ex(ctx, 0), "remove");
        } else {
            check(ODB_obj_create_ctx(s.db, object_class, s.ids[i], op.context_mode, &ctx), "ctx");
        }
        s.contexts.push_back(ctx);
    }
    if (op.prepare) op.prepare(s);
    check(ODB_obj_enum_init(s.db, object_class, 0, nullptr, &s.walk), "enum init");

    // The measured part sits between two markers so a trace can be cut too.
    ::getppid();
    for (int i = 0; i < n; ++i) op.call(s, i);
    ::getppid();

    ODB_obj_enum_close(s.walk);
    for (odb_obj_ctx* ctx : s.contexts) ODB_obj_close_ctx(ctx);
    ODB_close(s.db);
    return 0;
}
