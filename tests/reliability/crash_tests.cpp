// Workers killed with SIGKILL at unplanned moments (a fixed seed picks
// after how many operations), a few hundred times over one database: after
// each kill the database opens, every object and value the worker had
// reported done is there, and the one operation in flight left its key
// old, new or absent, never two values at once. At the end the name index,
// rebuilt, answers every name, and `odb check` (when the tool is built)
// finds the database sound once derived data is repaired. POSIX only.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>

#include "reliability/scenarios.h"
#include "reliability/workload.h"
#include "reliability/workload_check.h"
#include "support/file_util.h"
#include "support/killable_helper.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace odb::reliability {
namespace {

using test::join;

std::string settings(bool single_file) {
    return std::string("[NameIndex]\nEnabled=Yes\nLifeTime=0\nHashCount=8\n") +
           "[Tracking]\nAttributeChanges=Yes\nObjectChanges=Yes\n[Attribs]\nSingleFile=" +
           (single_file ? "Yes" : "No") + "\n";
}

std::string odb_tool() {
#ifdef QMFILEDB_ODB_TOOL
    if (test::path_exists(test::widen(QMFILEDB_ODB_TOOL))) return QMFILEDB_ODB_TOOL;
#endif
    return std::string();
}

TEST(Crashes, KilledWorkersLoseNothingTheyReportedDone) {
    test::temp_dir dir;
    const wide_string root = dir / "db";
    const std::string root_text = test::narrow(root);
    {
        uint32_t version = 0;
        odb_database* db = nullptr;
        ASSERT_EQ(ODB_init_w(ODB_INIT_CREATE, test::odb_text(root), &version, &db, 0), ODB_OK);
        ODB_close(db);
    }
    const int kills = full_runs() ? 1500 : 300;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(full_runs() ? 300 : 20);
    std::mt19937 random(20261208);
    std::vector<workload_model> models;
    int survived = 0;
    uint64_t operations = 0;
    for (int i = 0; i < kills && std::chrono::steady_clock::now() < deadline; ++i) {
        // Both storage forms, ten workers each in turn.
        test::write_settings(root, settings((i / 10) % 2 == 0));
        const uint32_t worker = static_cast<uint32_t>(i + 1);
        const std::string journal = test::narrow(dir / ("journal-" + std::to_string(i)).c_str());
        const int stop_after = static_cast<int>(random() % 40);
        {
            test::killable_helper child({"workload", root_text, std::to_string(worker),
                                         std::to_string(random()), "1000", journal});
            for (int seen = 0; seen < stop_after;) {
                const std::string line = child.read_line();
                if (line.rfind("op ", 0) == 0) ++seen;
                else break;  // ended (a fault is reported below by the check)
            }
            child.kill();
        }
        models.push_back(read_journal(test::read_file(test::widen(journal)), worker));
        operations += models.back().completed;
        const std::string trace = "kill " + std::to_string(i) + " after " +
                                  std::to_string(stop_after) + " operations, in flight: " +
                                  models.back().in_flight;
        odb_status status = ODB_OK;
        std::unique_ptr<odb_database, test::database_closer> db(open_world(root, &status));
        ASSERT_TRUE(db) << trace << ": the database does not open: " << status_text(status);
        verify_model(db.get(), models.back(), trace);
        // Now and then every earlier worker's objects again.
        if (i % 25 == 24)
            for (auto& model : models) verify_model(db.get(), model, trace + " (earlier workers)");
        if (::testing::Test::HasFailure()) return;
        ++survived;
    }
    std::printf("kills survived: %d, operations reported done: %llu\n", survived,
                static_cast<unsigned long long>(operations));

    // The index is derived: rebuilt, it names every live object again.
    test::write_settings(root, settings(true));
    ASSERT_TRUE(test::write_file(join(join(root, test::hex_name(workload_class).c_str()), "names.dat"),
                                 std::string(12, '\0')));
    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    for (auto& model : models) {
        verify_model(db.get(), model, "at the end");
        verify_names(db.get(), model, "at the end");
    }
    db.reset();

    const std::string tool = odb_tool();
    if (tool.empty()) return;
    const test::program_result check = test::run_program({tool, "check", root_text});
    std::printf("odb check after the kills: %s\n", check.exit_code == 0 ? "sound" : "problems");
    if (check.exit_code != 0) {
        std::printf("odb check before repair:\n%s", check.out.c_str());
        const test::program_result repaired = test::run_program({tool, "check", "--repair", root_text});
        EXPECT_EQ(repaired.exit_code, 0) << "damage beyond derived data:\n" << repaired.out
                                         << repaired.err;
    }
}

// What a worker killed during a removal may leave: the object already in
// its removed form, the journal without the removal's "D" line. The object
// may be in either form, so the checks pass over it, its name included.
TEST(Crashes, RemovalInFlightIsNotChecked) {
    test::temp_dir dir;
    const wide_string root = dir / "db";
    uint32_t version = 0, id = 0, count = 0;
    odb_database* made = nullptr;
    ASSERT_EQ(ODB_init_w(ODB_INIT_CREATE, test::odb_text(root), &version, &made, 0), ODB_OK);
    ODB_close(made);
    test::write_settings(root, settings(true));
    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    ASSERT_EQ(ODB_obj_count(db.get(), workload_class, 0, &count), ODB_OK);  // builds the index
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_new(db.get(), workload_class, &id, &ctx), ODB_OK);
    const std::string name = workload_name(1, 7);
    ASSERT_EQ(ODB_obj_set_attribute(ctx, name_attribute, 0, name.data(),
                                    static_cast<uint32_t>(name.size())),
              ODB_OK);
    ASSERT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);
    ODB_obj_close_ctx(ctx);

    const std::string object = std::to_string(id);
    workload_model model =
        read_journal("D new " + object + "\nD name " + object + " 7\nB remove " + object + "\n", 1);
    verify_model(db.get(), model, "removal in flight");
    verify_names(db.get(), model, "removal in flight");
}

}  // namespace
}  // namespace odb::reliability

#endif  // _WIN32
