#include "reliability/scenarios.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/file_util.h"

namespace odb::reliability {

namespace {

constexpr uint32_t imported_id = 100;

odb_obj_ctx* open_ctx(run_state& run, uint32_t id, uint32_t mode) {
    odb_obj_ctx* ctx = nullptr;
    odb_status status = ODB_obj_create_ctx(run.db, world_class, id, mode, &ctx);
    EXPECT_EQ(status, ODB_OK) << "opening object " << id;
    if (ctx != nullptr) run.contexts.push_back(ctx);
    return ctx;
}

odb_obj_ctx* writer(run_state& run, uint32_t id) { return open_ctx(run, id, ODB_MODE_WRITE); }

std::string filled(std::size_t size, char c) { return std::string(size, c); }

// A write of one value and what it may leave.
odb_status change_value(run_state& run, uint32_t id, uint32_t attribute, const std::string& bytes,
                        bool torn_ok, uint32_t offset = 0, const std::string* whole = nullptr) {
    expected_change::value_change rule;
    rule.after = whole != nullptr ? *whole : bytes;
    rule.torn_ok = torn_ok;
    run.change.values[{id, attribute}] = rule;
    if (attribute == ODB_NAME_ATTRIBUTE && !torn_ok) run.change.renamed[id] = bytes;
    return write_value(run.contexts.back(), attribute, bytes, offset);
}

// A per-attribute file is overwritten before it is deleted, so a delete
// that fails at the end leaves zeros: reported, but neither old nor new.
odb_status delete_value(run_state& run, uint32_t id, uint32_t attribute, bool torn_ok) {
    expected_change::value_change rule;
    rule.deleted = true;
    rule.torn_ok = torn_ok;
    run.change.values[{id, attribute}] = rule;
    return ODB_obj_set_attribute(run.contexts.back(), attribute, 0, nullptr, 0);
}

odb_status lookup(run_state& run, const char* name) {
    uint32_t id = 0;
    return ODB_obj_lookup_ex(run.db, world_class, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI, name,
                             static_cast<uint32_t>(std::strlen(name) + 1), &id);
}

// Every identifier in use in any form, through a fresh handle.
std::vector<uint32_t> ids_in_use(odb_database* db) {
    std::vector<uint32_t> ids;
    for (uint32_t flags : {ODB_ENUM_LIVE, ODB_ENUM_REMOVED, ODB_ENUM_WIPED})
        for (uint32_t id : list_ids(db, world_class, flags)) ids.push_back(id);
    return ids;
}

std::vector<scenario> build() {
    std::vector<scenario> list;
    auto add = [&](const char* name, std::function<void(run_state&)> prepare,
                   std::function<odb_status(run_state&)> act, bool auto_convert = false) {
        scenario s;
        s.name = name;
        s.prepare = std::move(prepare);
        s.act = std::move(act);
        s.auto_convert = auto_convert;
        list.push_back(std::move(s));
    };
    auto nothing = [](run_state&) {};

    add("open", [](run_state&) {},
        [](run_state& run) {
            odb_status status = ODB_OK;
            run.db = open_world(run.root, &status);
            return status;
        });
    add("create", nothing, [](run_state& run) {
        const wide_string fresh = *run.dir / "fresh";
        uint32_t version = 0;
        odb_database* db = nullptr;
        odb_status status = ODB_init_w(ODB_INIT_CREATE, test::odb_text(fresh), &version, &db, 0);
        if (status == ODB_OK) {
            EXPECT_EQ(ODB_close(db), ODB_OK);
        }
        run.after = [fresh](const wide_string&, bool, const std::string& trace) {
            SCOPED_TRACE(trace);
            // Whatever happened, the database can be created (or opened) now.
            uint32_t v = 0;
            odb_database* again = nullptr;
            odb_status s = ODB_init_w(0, test::odb_text(fresh), &v, &again, 0);
            if (s != ODB_OK) s = ODB_init_w(ODB_INIT_CREATE, test::odb_text(fresh), &v, &again, 0);
            EXPECT_EQ(s, ODB_OK) << status_text(s);
            if (s == ODB_OK) {
                EXPECT_EQ(ODB_close(again), ODB_OK);
            }
        };
        return status;
    });
    add("new object", nothing, [](run_state& run) {
        uint32_t id = 0;
        odb_obj_ctx* ctx = nullptr;
        odb_status status = ODB_obj_new(run.db, world_class, &id, &ctx);
        if (status == ODB_OK) {
            run.contexts.push_back(ctx);
            run.change.created.insert(id);
            for (uint32_t used : {single_object, file_object, removed_object, unconverted_object})
                EXPECT_NE(id, used) << "identifier handed out twice";
        }
        run.after = [](const wide_string& root, bool, const std::string& trace) {
            check_next_id(root, trace);
        };
        return status;
    });
    add("import", nothing, [](run_state& run) {
        odb_obj_ctx* ctx = nullptr;
        odb_status status = ODB_obj_import(run.db, world_class, imported_id, &ctx);
        if (status == ODB_OK) {
            run.contexts.push_back(ctx);
            run.change.created.insert(imported_id);
        }
        return status;
    });
    add("record form: new value", [](run_state& run) { writer(run, single_object); },
        [](run_state& run) { return change_value(run, single_object, 9, "india", false); });
    add("record form: rewrite in place", [](run_state& run) { writer(run, single_object); },
        [](run_state& run) { return change_value(run, single_object, 1, "ALPHA", true); });
    add("record form: moving rewrite", [](run_state& run) { writer(run, single_object); },
        [](run_state& run) { return change_value(run, single_object, 1, filled(500, 'm'), false); });
    add("record form: moving write at an offset", [](run_state& run) { writer(run, single_object); },
        [](run_state& run) {
            static const std::string whole = "AB" + filled(40, 'o');
            return change_value(run, single_object, 3, filled(40, 'o'), false, 2, &whole);
        });
    add("record form: delete", [](run_state& run) { writer(run, single_object); },
        [](run_state& run) { return delete_value(run, single_object, 2, false); });
    add("file form: new value", [](run_state& run) { writer(run, file_object); },
        [](run_state& run) {
            // A new .DAT file written short, or cut by a power loss before its
            // bytes reach the disk, holds part of the value.
            return change_value(run, file_object, 9, "india", true);
        });
    add("file form: rewrite", [](run_state& run) { writer(run, file_object); },
        [](run_state& run) { return change_value(run, file_object, 1, "BRAVO!", true); });
    add("file form: delete", [](run_state& run) { writer(run, file_object); },
        [](run_state& run) { return delete_value(run, file_object, 2, true); });
    add("conversion", [](run_state& run) { writer(run, unconverted_object); },
        [](run_state& run) { return change_value(run, unconverted_object, 7, "golf", false); },
        true);
    add("rename, record form", [](run_state& run) { writer(run, single_object); },
        [](run_state& run) {
            return change_value(run, single_object, ODB_NAME_ATTRIBUTE, "prime", true);
        });
    add("rename, file form", [](run_state& run) { writer(run, file_object); },
        [](run_state& run) { return change_value(run, file_object, ODB_NAME_ATTRIBUTE, "segundo", true); });
    add("remove", [](run_state& run) { writer(run, single_object); },
        [](run_state& run) {
            run.change.moved.insert(single_object);
            return ODB_obj_remove_ex(run.contexts.back(), 0);
        });
    add("restore", [](run_state& run) { open_ctx(run, removed_object, ODB_MODE_WRITE | ODB_MODE_REMOVED); },
        [](run_state& run) {
            run.change.moved.insert(removed_object);
            return ODB_obj_restore(run.contexts.back());
        });
    add("wipe", [](run_state& run) { writer(run, file_object); },
        [](run_state& run) {
            run.change.moved.insert(file_object);
            return ODB_obj_remove(run.contexts.back());
        });
    add("delete", [](run_state& run) { writer(run, single_object); },
        [](run_state& run) {
            run.change.moved.insert(single_object);
            run.change.may_vanish.insert(single_object);
            const odb_status status = ODB_obj_remove_ex(run.contexts.back(), ODB_REMOVE_DELETE);
            if (status == ODB_OK)
                run.after = [](const wide_string& root, bool, const std::string& trace) {
                    SCOPED_TRACE(trace);
                    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
                    ASSERT_TRUE(db);
                    for (uint32_t id : ids_in_use(db.get()))
                        EXPECT_NE(id, single_object) << "a deleted object is still there";
                };
            return status;
        });
    add("index rebuild and lookup",
        [](run_state& run) {
            // An invalid index: the lookup rebuilds it first.
            test::write_file(test::join(test::join(run.root, test::hex_name(world_class).c_str()), "names.dat"),
                             std::string(12, '\0'));
        },
        [](run_state& run) { return lookup(run, "second"); });
    add("lookup", nothing, [](run_state& run) { return lookup(run, "fourth"); });
    add("count", nothing, [](run_state& run) {
        uint32_t count = 0;
        odb_status by_index = ODB_obj_count(run.db, world_class, 0, &count);
        odb_status by_walk = ODB_obj_count(run.db, world_class, ODB_ENUM_LIVE | ODB_ENUM_REMOVED, &count);
        return by_index != ODB_OK ? by_index : by_walk;
    });
    add("free identifiers", nothing, [](run_state& run) {
        uint32_t first = 0, last = 0;
        return ODB_get_free_ids(run.db, &first, &last);
    });
    add("steal identifiers", nothing, [](run_state& run) {
        uint32_t first = 0, last = 0;
        odb_status status = ODB_steal_ids(run.db, 16, &first, &last);
        if (status == ODB_OK)
            run.after = [first](const wide_string& root, bool, const std::string& trace) {
                // The stolen block lies above the range for good.
                {
                    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
                    ASSERT_TRUE(db);
                    uint32_t low = 0, high = 0;
                    ASSERT_EQ(ODB_get_free_ids(db.get(), &low, &high), ODB_OK);
                    EXPECT_LT(high, first) << trace << ": stolen identifiers still free";
                }
                check_next_id(root, trace, 0, first - 1);
            };
        else
            run.after = [](const wide_string& root, bool, const std::string& trace) {
                check_next_id(root, trace);
            };
        return status;
    });
    add("assign identifiers", nothing, [](run_state& run) {
        odb_status status = ODB_assign_ids(run.db, 1000, 2000);
        run.after = [status](const wide_string& root, bool, const std::string& trace) {
            if (status == ODB_OK) check_next_id(root, trace, 1000, 2000);
            else check_next_id(root, trace);
        };
        return status;
    });
    add("change of mode", [](run_state& run) { writer(run, single_object); },
        [](run_state& run) {
            odb_status down = ODB_obj_change_mode(run.contexts.back(), ODB_MODE_READ);
            odb_status up = ODB_obj_change_mode(run.contexts.back(), ODB_MODE_WRITE);
            return down != ODB_OK ? down : up;
        });
    add("filtered walk", nothing, [](run_state& run) {
        static const char alpha[] = "alpha";
        odb_enum_criterion criterion = {1, ODB_MATCH_BYTES, 5, alpha};
        odb_enum_filter filter = {};
        filter.criteria = &criterion;
        filter.criteria_count = 1;
        odb_enum_ctx* walk = nullptr;
        odb_status status = ODB_obj_enum_init(run.db, world_class, ODB_ENUM_LIVE | ODB_ENUM_MATCH,
                                              &filter, &walk);
        if (status != ODB_OK) return status;
        run.walks.push_back(walk);
        uint32_t id = 0;
        while ((status = ODB_obj_enum_ids(walk, &id)) == ODB_OK) {
        }
        return status == ODB_E_NO_MORE_ITEMS ? ODB_OK : status;
    });
    add("attribute walk and information",
        [](run_state& run) {
            open_ctx(run, single_object, ODB_MODE_READ);
            open_ctx(run, file_object, ODB_MODE_READ);
        },
        [](run_state& run) {
            odb_status last = ODB_OK;
            for (odb_obj_ctx* ctx : run.contexts) {
                uint32_t attribute = 0, length = 0;
                odb_status s;
                while ((s = ODB_obj_attribute_enum(ctx, &attribute, &length)) == ODB_OK) {
                }
                if (s != ODB_E_NO_MORE_ITEMS) last = s;
                unsigned char info[512];
                for (uint32_t info_class : {ODB_INFO_TIMES, ODB_INFO_SIZE, ODB_INFO_ATTRIBUTE_CHANGES,
                                            ODB_INFO_PATH_ANSI}) {
                    length = sizeof info;
                    s = ODB_obj_get_info(ctx, info_class, 0, info, &length);
                    if (s != ODB_OK && s != ODB_E_NO_OBJECT) last = s;
                }
            }
            return last;
        });
    return list;
}

}  // namespace

const std::vector<scenario>& all_scenarios() {
    static const std::vector<scenario> list = build();
    return list;
}

void check_next_id(const wide_string& root, const std::string& trace, uint32_t low,
                   uint32_t high) {
    SCOPED_TRACE(trace);
    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    const std::vector<uint32_t> before = ids_in_use(db.get());
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_new(db.get(), world_class, &id, &ctx), ODB_OK);
    ODB_obj_close_ctx(ctx);
    for (uint32_t used : before) EXPECT_NE(id, used) << "identifier handed out twice";
    EXPECT_TRUE(id >= low && id <= high) << "new identifier " << id << " outside " << low << ".."
                                         << high;
}

bool full_runs() {
    const char* value = std::getenv("QMFILEDB_RELIABILITY_FULL");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

bool start_run(const scenario& s, const test::temp_dir& dir, run_state& run,
               const std::string& extra_settings) {
    run.root = copy_world(dir);
    run.dir = &dir;
    if (s.auto_convert || !extra_settings.empty())
        test::write_settings(run.root, world_settings(s.auto_convert) + extra_settings);
    if (std::strcmp(s.name, "open") != 0) {
        odb_status status = ODB_OK;
        run.db = open_world(run.root, &status);
        if (run.db == nullptr) {
            ADD_FAILURE() << "cannot open the world: " << status_text(status);
            return false;
        }
    }
    s.prepare(run);
    return !::testing::Test::HasFailure();
}

void close_run(run_state& run) {
    for (odb_enum_ctx* walk : run.walks) EXPECT_EQ(ODB_obj_enum_close(walk), ODB_OK);
    for (odb_obj_ctx* ctx : run.contexts) {
        // Still a context: it answers, and it closes.
        unsigned char path[512];
        uint32_t length = sizeof path;
        EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_PATH, 0, path, &length), ODB_OK);
        EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
    }
    if (run.db != nullptr) {
        uint32_t count = 0;
        EXPECT_EQ(ODB_obj_count(run.db, world_class, ODB_ENUM_LIVE, &count), ODB_OK)
            << "the database handle no longer works";
        EXPECT_EQ(ODB_close(run.db), ODB_OK);
        run.db = nullptr;
    }
    run.contexts.clear();
    run.walks.clear();
}

void finish_run(run_state& run, odb_status status, const std::string& trace) {
    SCOPED_TRACE(trace);
    close_run(run);
    verify_world(run.root, run.change, status == ODB_OK, trace);
    if (run.after) run.after(run.root, status == ODB_OK, trace);
}

}  // namespace odb::reliability
