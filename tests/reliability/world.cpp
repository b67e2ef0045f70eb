#include "reliability/world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "support/temp_dir.h"

namespace odb::reliability {

namespace {

std::string pattern(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    return bytes;
}

void must(odb_status status, const char* what) {
    if (status != ODB_OK)
        throw std::runtime_error(std::string("building the template: ") + what + ": " +
                                 status_text(status));
}

odb_obj_ctx* new_object(odb_database* db, uint32_t expected_id) {
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    must(ODB_obj_new(db, world_class, &id, &ctx), "ODB_obj_new");
    if (id != expected_id) throw std::runtime_error("template: unexpected identifier");
    return ctx;
}

void put(world_model& model, odb_obj_ctx* ctx, uint32_t id, uint32_t attribute,
         const std::string& bytes) {
    must(write_value(ctx, attribute, bytes), "write");
    model.values[{id, attribute}] = bytes;
    if (attribute == ODB_NAME_ATTRIBUTE) model.names[id] = bytes;
}

struct world_template {
    test::temp_dir dir;
    wide_string root;
    world_model model;

    world_template() : root(dir / "db") {
        uint32_t version = 0;
        odb_database* db = nullptr;
        must(ODB_init_w(ODB_INIT_CREATE, test::odb_text(root), &version, &db, 0), "create");
        ODB_close(db);
        db = nullptr;

        auto reopen = [&](bool single_file) {
            if (db != nullptr) ODB_close(db);
            std::string settings = world_settings();
            if (!single_file) settings += "[Attribs]\nSingleFile=No\n";
            // The first [Attribs] section wins, so the override goes first.
            test::write_settings(root, single_file ? settings
                                                   : "[Attribs]\nSingleFile=No\n" + settings);
            db = open_world(root);
            if (db == nullptr) throw std::runtime_error("template: cannot open");
        };

        reopen(true);
        odb_obj_ctx* ctx = new_object(db, single_object);
        put(model, ctx, single_object, 1, "alpha");
        put(model, ctx, single_object, 2, pattern(300, 1));
        put(model, ctx, single_object, 3, "ABCD");
        put(model, ctx, single_object, ODB_NAME_ATTRIBUTE, "first");
        ODB_obj_close_ctx(ctx);
        model.live.insert(single_object);

        reopen(false);
        ctx = new_object(db, file_object);
        put(model, ctx, file_object, 1, "bravo");
        put(model, ctx, file_object, 2, pattern(200, 2));
        put(model, ctx, file_object, ODB_NAME_ATTRIBUTE, "second");
        ODB_obj_close_ctx(ctx);
        model.live.insert(file_object);

        reopen(true);
        ctx = new_object(db, removed_object);
        must(write_value(ctx, 1, "charlie"), "write");
        must(write_value(ctx, ODB_NAME_ATTRIBUTE, "third"), "write");
        must(ODB_obj_remove_ex(ctx, 0), "remove");
        ODB_obj_close_ctx(ctx);
        model.removed.insert(removed_object);
        model.removed_values[{removed_object, 1}] = "charlie";

        reopen(false);
        ctx = new_object(db, unconverted_object);
        put(model, ctx, unconverted_object, 5, "echo");
        put(model, ctx, unconverted_object, 6, pattern(100, 3));
        put(model, ctx, unconverted_object, ODB_NAME_ATTRIBUTE, "fourth");
        ODB_obj_close_ctx(ctx);
        model.live.insert(unconverted_object);

        // A valid index to start from.
        reopen(true);
        uint32_t found = 0;
        must(ODB_obj_lookup_ex(db, world_class, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI, "first", 6,
                               &found),
             "lookup");
        ODB_close(db);
    }
};

const world_template& the_template() {
    static world_template instance;
    return instance;
}

std::string utf8(const wide_string& path) { return test::narrow(path); }

}  // namespace

std::string world_settings(bool auto_convert) {
    std::string text =
        "[NameIndex]\nEnabled=Yes\nLifeTime=0\nHashCount=4\nMinEntrySize=4\nLockTimeout=40\n"
        "LockSleep=5\n"
        "[Tracking]\nAttributeChanges=Yes\nObjectChanges=Yes\n"
        "[Attribs]\nSingleFile=Yes\n";
    if (auto_convert) text += "AutoConvert=Yes\n";
    return text;
}

std::string status_text(odb_status status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

const world_model& template_model() { return the_template().model; }

wide_string copy_world(const test::temp_dir& dir) {
    const wide_string root = dir / "db";
    std::filesystem::copy(utf8(the_template().root), utf8(root),
                          std::filesystem::copy_options::recursive);
    return root;
}

odb_database* open_world(const wide_string& root, odb_status* status) {
    uint32_t version = 0;
    odb_database* db = nullptr;
    odb_status result = ODB_init_w(0, test::odb_text(root), &version, &db, 0);
    if (status != nullptr) *status = result;
    return result == ODB_OK ? db : nullptr;
}

odb_status read_value(odb_database* db, uint32_t id, uint32_t attribute, uint32_t mode,
                      std::string& out) {
    odb_obj_ctx* ctx = nullptr;
    odb_status status = ODB_obj_create_ctx(db, world_class, id, mode, &ctx);
    if (status != ODB_OK) return status;
    uint32_t size = 0;
    status = ODB_obj_get_attribute(ctx, attribute, 0, nullptr, &size);
    if (status == ODB_OK) {
        out.assign(size, '\0');
        status = ODB_obj_get_attribute(ctx, attribute, 0, out.data(), &size);
        out.resize(std::min<std::size_t>(size, out.size()));
    }
    ODB_obj_close_ctx(ctx);
    return status;
}

odb_status write_value(odb_obj_ctx* ctx, uint32_t attribute, const std::string& bytes,
                       uint32_t offset) {
    return ODB_obj_set_attribute(ctx, attribute, offset, bytes.data(),
                                 static_cast<uint32_t>(bytes.size()));
}

std::vector<uint32_t> list_ids(odb_database* db, uint32_t cls, uint32_t flags,
                               odb_status* status) {
    std::vector<uint32_t> ids;
    odb_enum_ctx* walk = nullptr;
    odb_status result = ODB_obj_enum_init(db, cls, flags, nullptr, &walk);
    if (result == ODB_OK) {
        uint32_t id = 0;
        while ((result = ODB_obj_enum_ids(walk, &id)) == ODB_OK) ids.push_back(id);
        ODB_obj_enum_close(walk);
        if (result == ODB_E_NO_MORE_ITEMS) result = ODB_OK;
    }
    if (status != nullptr) *status = result;
    std::sort(ids.begin(), ids.end());
    return ids;
}

namespace {

// A world after a run: its handle, the identifiers of each form in rising
// order, and what the run was allowed to change.
struct world_after {
    odb_database* db;
    std::vector<uint32_t> live, removed, wiped;
    const expected_change& change;
    bool succeeded;
    const world_model& model = template_model();
};

bool in(const std::vector<uint32_t>& ids, uint32_t id) {
    return std::binary_search(ids.begin(), ids.end(), id);
}

// One form per identifier: a live object never shares its number with a
// removed or wiped one.
void check_one_form_each(const world_after& w) {
    for (uint32_t id : w.live) {
        EXPECT_FALSE(in(w.removed, id)) << "object " << id << " is live and removed";
        EXPECT_FALSE(in(w.wiped, id)) << "object " << id << " is live and wiped";
    }
    for (uint32_t id : w.removed) EXPECT_FALSE(in(w.wiped, id)) << "object " << id << " twice";
}

// No object vanished or appeared beyond what the run did; a failed
// creation leaves no object behind.
void check_objects_kept(const world_after& w) {
    const expected_change& change = w.change;
    for (uint32_t id : w.model.live) {
        if (!change.moved.count(id)) {
            EXPECT_TRUE(in(w.live, id)) << "live object " << id << " lost";
        }
    }
    for (uint32_t id : w.model.removed) {
        if (!change.moved.count(id)) {
            EXPECT_TRUE(in(w.removed, id)) << "removed object " << id << " lost";
        }
    }
    for (uint32_t id : change.moved) {
        EXPECT_TRUE(in(w.live, id) || in(w.removed, id) || in(w.wiped, id) || change.may_vanish.count(id))
            << "moved object " << id << " in no form";
    }
    for (uint32_t id : w.live) {
        EXPECT_TRUE(w.model.live.count(id) || w.model.removed.count(id) || change.created.count(id))
            << "object " << id << " appeared";
    }
    for (uint32_t id : change.created) {
        EXPECT_TRUE(in(w.live, id) || !w.succeeded) << "created object " << id << " missing";
    }
}

// Every value the run did not touch reads back unchanged; a touched one is
// the new value after success, the old or the new one after a failure.
void check_values(const world_after& w) {
    const expected_change& change = w.change;
    auto check_value = [&](const value_key& key, const std::string& before, uint32_t mode) {
        std::string now;
        const odb_status read = read_value(w.db, key.first, key.second, mode, now);
        auto found = change.values.find(key);
        if (found == change.values.end()) {
            EXPECT_EQ(read, ODB_OK) << "object " << key.first << " attribute " << key.second;
            EXPECT_EQ(now, before) << "object " << key.first << " attribute " << key.second
                                   << " changed";
            return;
        }
        const expected_change::value_change& rule = found->second;
        const bool is_new = rule.deleted ? read == ODB_E_NO_ATTRIBUTE
                                         : read == ODB_OK && now == rule.after;
        const bool is_old = read == ODB_OK && now == before;
        if (w.succeeded) {
            EXPECT_TRUE(is_new) << "object " << key.first << " attribute " << key.second
                                << ": the write reported success but did not land ("
                                << status_text(read) << ")";
        } else if (!rule.torn_ok) {
            EXPECT_TRUE(is_new || is_old) << "object " << key.first << " attribute "
                                          << key.second << " is neither old nor new ("
                                          << status_text(read) << ", " << now.size() << " bytes)";
        }
    };
    for (const auto& [key, before] : w.model.values)
        if (!change.moved.count(key.first)) check_value(key, before, ODB_MODE_READ);
    for (const auto& [key, before] : w.model.removed_values)
        if (!change.moved.count(key.first))
            check_value(key, before, ODB_MODE_READ | ODB_MODE_REMOVED);
    // Values the run added to objects that had none of that attribute: after
    // a failure absent or whole.
    for (const auto& [key, rule] : change.values) {
        if (w.model.values.count(key) || change.moved.count(key.first)) continue;
        if (!w.succeeded && (rule.torn_ok || rule.deleted)) continue;
        std::string now;
        const odb_status read = read_value(w.db, key.first, key.second, ODB_MODE_READ, now);
        if (!w.succeeded) {
            EXPECT_TRUE(read == ODB_E_NO_ATTRIBUTE || (read == ODB_OK && now == rule.after))
                << "object " << key.first << " attribute " << key.second << " is torn ("
                << status_text(read) << ", " << now.size() << " bytes)";
        } else if (rule.deleted) {
            EXPECT_EQ(read, ODB_E_NO_ATTRIBUTE);
        } else {
            EXPECT_TRUE(read == ODB_OK && now == rule.after) << "new value lost";
        }
    }
}

// A value the run touched goes with one delete: a rewrite cut short must
// not leave a second record of the attribute for the delete to uncover.
void check_touched_values_delete_once(const world_after& w) {
    for (const auto& [key, rule] : w.change.values) {
        if (w.change.moved.count(key.first) || !in(w.live, key.first) || key.second == ODB_NAME_ATTRIBUTE)
            continue;
        odb_obj_ctx* ctx = nullptr;
        ASSERT_EQ(ODB_obj_create_ctx(w.db, world_class, key.first, ODB_MODE_WRITE, &ctx), ODB_OK);
        const odb_status erased = ODB_obj_set_attribute(ctx, key.second, 0, nullptr, 0);
        EXPECT_TRUE(erased == ODB_OK || erased == ODB_E_NO_ATTRIBUTE) << status_text(erased);
        ODB_obj_close_ctx(ctx);
        std::string now;
        EXPECT_EQ(read_value(w.db, key.first, key.second, ODB_MODE_READ, now), ODB_E_NO_ATTRIBUTE)
            << "object " << key.first << " attribute " << key.second << " survives its delete";
    }
}

// The name index answers every live object's stored name with that object,
// knows nothing of objects that are not live, and counts the live ones.
void check_name_index(const world_after& w) {
    for (uint32_t id : w.live) {
        std::string name;
        if (read_value(w.db, id, ODB_NAME_ATTRIBUTE, ODB_MODE_READ, name) != ODB_OK)
            continue;
        auto renamed = w.change.renamed.find(id);
        auto old_name = w.model.names.find(id);
        if (renamed != w.change.renamed.end() && old_name != w.model.names.end()) {
            EXPECT_TRUE(name == renamed->second || (!w.succeeded && name == old_name->second))
                << "object " << id << " is named " << name;
        }
        name.push_back('\0');
        uint32_t found = 0;
        const odb_status lookup =
            ODB_obj_lookup_ex(w.db, world_class, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI,
                              name.data(), static_cast<uint32_t>(name.size()), &found);
        EXPECT_EQ(lookup, ODB_OK) << "lookup of " << name.c_str() << ": " << status_text(lookup);
        EXPECT_EQ(found, id) << "lookup of " << name.c_str();
    }
    std::map<uint32_t, std::string> known_names = w.model.names;
    known_names[removed_object] = "third";
    for (const auto& [id, known] : known_names) {
        if (in(w.live, id)) continue;
        std::string name = known + '\0';
        uint32_t found = 0;
        const odb_status lookup =
            ODB_obj_lookup_ex(w.db, world_class, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI,
                              name.data(), static_cast<uint32_t>(name.size()), &found);
        EXPECT_FALSE(lookup == ODB_OK && found == id)
            << "object " << id << " is not live but its name " << known << " still finds it";
    }
    uint32_t count = 0;
    EXPECT_EQ(ODB_obj_count(w.db, world_class, 0, &count), ODB_OK);
    // A creation that failed part-way may leave its object behind without
    // an entry (it is entered once made), so objects the run created may be
    // missing from the count.
    std::size_t unindexed = 0;
    for (uint32_t id : w.change.created) unindexed += in(w.live, id) ? 1 : 0;
    EXPECT_TRUE(count <= w.live.size() && count + unindexed >= w.live.size())
        << "count by the index " << count << ", live objects " << w.live.size();
}

}  // namespace

void verify_world(const wide_string& root, const expected_change& change, bool succeeded,
                  const std::string& trace) {
    SCOPED_TRACE(trace);
    odb_status status = ODB_OK;
    std::unique_ptr<odb_database, test::database_closer> db(open_world(root, &status));
    ASSERT_TRUE(db) << "the database does not open again: " << status_text(status);

    odb_status walk_status[3];
    const world_after world{db.get(),
                            list_ids(db.get(), world_class, ODB_ENUM_LIVE, &walk_status[0]),
                            list_ids(db.get(), world_class, ODB_ENUM_REMOVED, &walk_status[1]),
                            list_ids(db.get(), world_class, ODB_ENUM_WIPED, &walk_status[2]),
                            change,
                            succeeded};
    for (odb_status s : walk_status) ASSERT_EQ(s, ODB_OK) << "walk: " << status_text(s);

    check_one_form_each(world);
    check_objects_kept(world);
    check_values(world);
    check_touched_values_delete_once(world);
    if (::testing::Test::HasFatalFailure()) return;
    check_name_index(world);
}

}  // namespace odb::reliability
