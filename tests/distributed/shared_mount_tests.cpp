// One database reached through two mounts of a distributed file system,
// standing for two machines: helper processes on both sides contend for
// object locks, identifiers, names and renames, and the database read
// directly on the server's brick then passes the odb tool's check.
//
// QMFILEDB_SHARED_MOUNTS="A:B" names the mounts; QMFILEDB_SHARED_BRICK, when
// set, the directory on the server that holds the volume's files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "reliability/workload.h"
#include "reliability/workload_check.h"
#include "reliability/world.h"
#include "support/child_process.h"
#include "support/database_fixture.h"
#include "support/file_util.h"
#include "support/killable_helper.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace odb::distributed {
namespace {

using reliability::workload_class;
using test::child_process;
using test::hex_name;
using test::narrow;
using test::widen;

std::string odb_tool() {
#ifdef QMFILEDB_ODB_TOOL
    return QMFILEDB_ODB_TOOL;
#else
    return std::string();
#endif
}

// A fresh directory of the volume, seen through each mount; removed after.
class SharedVolume : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string mounts = std::getenv("QMFILEDB_SHARED_MOUNTS");
        const std::string name = "t-" + std::to_string(std::random_device()() % 1000000000u);
        relative_ = name;
        side_[0] = mounts.substr(0, mounts.find(':')) + "/" + name;
        side_[1] = mounts.substr(mounts.find(':') + 1) + "/" + name;
        ASSERT_TRUE(CreateDirectoryW(widen(side_[0]).c_str(), nullptr)) << side_[0];
    }
    void TearDown() override { test::remove_tree(widen(side_[0])); }

    // The database root through mount 0 or 1.
    std::string root(int side) const { return side_[side] + "/db"; }
    std::string dir(int side) const { return side_[side]; }

    // A database with the settings of `settings` (DBCFG.INI) and, through
    // mount 0, one object of the workload class; its identifier.
    uint32_t make_database(const std::string& settings = std::string()) {
        uint32_t version = 0, id = 0;
        odb_database* db = nullptr;
        EXPECT_EQ(ODB_init_w(ODB_INIT_CREATE, test::odb_text(widen(root(0))), &version, &db, 0), ODB_OK);
        ODB_close(db);
        if (!settings.empty()) test::write_settings(widen(root(0)), settings);
        test::database_ptr opened = test::open_database(widen(root(0)));
        odb_obj_ctx* ctx = nullptr;
        EXPECT_EQ(ODB_obj_new(opened.get(), workload_class, &id, &ctx), ODB_OK);
        ODB_obj_close_ctx(ctx);
        return id;
    }

    std::vector<std::string> hold(int side, uint32_t id, uint32_t mode) const {
        return {"hold-object", root(side), std::to_string(workload_class), std::to_string(id),
                std::to_string(mode)};
    }

    std::string relative_;
    std::string side_[2];
};

const std::string refused = "error " + hex_name(ODB_E_OBJECT_LOCK);
const std::string cls = std::to_string(workload_class);

// Starts one helper per argument list, each reporting "ready", then lets
// them all go at once.
std::vector<std::unique_ptr<child_process>> start_together(
    const std::vector<std::vector<std::string>>& runs) {
    std::vector<std::unique_ptr<child_process>> children;
    for (const std::vector<std::string>& args : runs) {
        children.push_back(child_process::start_helper(args));
        EXPECT_EQ(children.back()->read_line(), "ready") << args[0];
    }
    for (auto& child : children) child->close_input();
    return children;
}

// Every line a helper reports; it must end with "done..." and exit 0.
std::vector<std::string> finish(child_process& child) {
    std::vector<std::string> lines;
    for (std::string line; !(line = child.read_line()).empty();) lines.push_back(line);
    const std::string last = lines.empty() ? "no output" : lines.back();
    EXPECT_EQ(child.wait(), 0) << last;
    EXPECT_EQ(last.rfind("done", 0), 0u) << last;
    return lines;
}

TEST_F(SharedVolume, ObjectLockExcludesAcrossMountsAndHandsOver) {
    const uint32_t id = make_database();
    auto writer = child_process::start_helper(hold(0, id, ODB_MODE_WRITE));
    ASSERT_EQ(writer->read_line(), "held");
    auto second_writer = child_process::start_helper(hold(1, id, ODB_MODE_WRITE));
    EXPECT_EQ(second_writer->read_line(), refused);
    auto reader = child_process::start_helper(hold(1, id, ODB_MODE_READ));
    EXPECT_EQ(reader->read_line(), refused);
    writer->close_input();
    EXPECT_EQ(writer->wait(), 0);
    // The release reaches the server a few milliseconds after the holder
    // ends; the retrying open waits for it.
    auto next = child_process::start_helper(hold(1, id, ODB_MODE_WRITE));
    EXPECT_EQ(next->read_line(), "held");
}

TEST_F(SharedVolume, KilledHolderOnOneMountReleasesTheObjectForTheOther) {
    const uint32_t id = make_database();
    std::vector<std::string> args = hold(0, id, ODB_MODE_WRITE);
    args[0] = "hold-object-until-killed";
    test::killable_helper holder(args);
    ASSERT_EQ(holder.read_line(), "held");
    auto blocked = child_process::start_helper(hold(1, id, ODB_MODE_WRITE));
    EXPECT_EQ(blocked->read_line(), refused);
    holder.kill();
    auto next = child_process::start_helper(hold(1, id, ODB_MODE_WRITE));
    EXPECT_EQ(next->read_line(), "held");
}

TEST_F(SharedVolume, ProcessesOnBothMountsGetUniqueIdentifiers) {
    const uint32_t first = make_database();
    const int per_process = 20;
    std::vector<std::unique_ptr<child_process>> makers;
    for (int p = 0; p < 4; ++p) {
        makers.push_back(child_process::start_helper(
            {"create-objects-patiently", root(p % 2), std::to_string(workload_class), std::to_string(per_process)}));
        ASSERT_EQ(makers.back()->read_line(), "ready");
    }
    for (auto& maker : makers) maker->close_input();  // all go at once
    std::set<uint32_t> ids = {first};
    for (auto& maker : makers) {
        std::string line;
        while ((line = maker->read_line()).rfind("id ", 0) == 0)
            EXPECT_TRUE(ids.insert(std::stoul(line.substr(3), nullptr, 16)).second) << line << " twice";
        EXPECT_EQ(line.rfind("done ", 0), 0u) << line;
        EXPECT_EQ(maker->wait(), 0);
    }
    EXPECT_EQ(ids.size(), 1u + 4 * per_process);
    test::database_ptr db = test::open_database(widen(root(1)));
    const std::vector<uint32_t> walked = reliability::list_ids(db.get(), workload_class, ODB_ENUM_LIVE);
    EXPECT_EQ(std::set<uint32_t>(walked.begin(), walked.end()), ids);
}

// Two processes on each mount steal blocks of a small identifier range and
// create objects in it until it runs out: the configuration lock orders
// them across mounts, so no identifier is given twice.
TEST_F(SharedVolume, StolenRangesAndNewObjectsNeverShareAnIdentifier) {
    const uint32_t first = make_database("[IdAssignment]\nFirstId=00000001\nLastId=000000c0\n");
    std::vector<std::vector<std::string>> runs;
    for (int p = 0; p < 4; ++p) runs.push_back({"claim-ids", root(p % 2), cls, "7", "8"});
    std::set<uint32_t> given = {first}, created = {first};
    for (auto& claimant : start_together(runs)) {
        for (const std::string& line : finish(*claimant)) {
            unsigned long low = 0, high = 0;
            if (std::sscanf(line.c_str(), "range %lx %lx", &low, &high) == 2) {
                for (unsigned long id = low; id <= high; ++id)
                    EXPECT_TRUE(given.insert(static_cast<uint32_t>(id)).second) << id << " twice: " << line;
            } else if (std::sscanf(line.c_str(), "id %lx", &low) == 1) {
                EXPECT_TRUE(given.insert(static_cast<uint32_t>(low)).second) << line << " twice";
                created.insert(static_cast<uint32_t>(low));
            }
        }
    }
    // More was asked than the range holds, so all of it went, none of it twice.
    EXPECT_EQ(given.size(), 0xc0u);
    EXPECT_EQ(*given.rbegin(), 0xc0u);
    test::database_ptr db = test::open_database(widen(root(1)));
    const std::vector<uint32_t> walked = reliability::list_ids(db.get(), workload_class, ODB_ENUM_LIVE);
    EXPECT_EQ(std::set<uint32_t>(walked.begin(), walked.end()), created);
}

// One mount rewrites the identifier range again and again while processes on
// the other open the database and create objects: under the configuration
// lock each creation sees one range whole, never the keys of two (which
// would leave the class's counter outside the range: ODB_E_NO_FREE_ID).
TEST_F(SharedVolume, RangeRewrittenOnOneMountIsSeenWholeOnTheOther) {
    const uint32_t first = make_database("[IdAssignment]\nFirstId=00001000\nLastId=00001fff\n");
    std::set<uint32_t> ids = {first};
    for (auto& child : start_together({{"assign-ids", root(0), "12", "0x5000", "0x5fff", "0x1000", "0x1fff"},
                                       {"open-and-create", root(1), cls, "8"},
                                       {"open-and-create", root(1), cls, "8"}})) {
        for (const std::string& line : finish(*child)) {
            unsigned long id = 0;
            if (std::sscanf(line.c_str(), "id %lx", &id) != 1) continue;
            EXPECT_TRUE(ids.insert(static_cast<uint32_t>(id)).second) << line << " twice";
            EXPECT_TRUE((id >= 0x1000 && id <= 0x1fff) || (id >= 0x5000 && id <= 0x5fff)) << line;
        }
    }
    EXPECT_EQ(ids.size(), 17u);
    const std::string settings = test::read_file(widen(root(1) + "/DBCFG.INI"));
    EXPECT_NE(settings.find("FirstId=00001000"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LastId=00001fff"), std::string::npos) << settings;
}

// One mount removes and restores an object again and again while two
// processes on the other read it: a reader finds it whole, or not there, or
// held, never torn; and it ends whole.
TEST_F(SharedVolume, RemoveAndRestoreRacingReadersOnTheOtherMount) {
    const uint32_t id = make_database();
    const std::string value = reliability::workload_value(77, 600);
    {
        test::database_ptr db = test::open_database(widen(root(0)));
        odb_obj_ctx* ctx = nullptr;
        ASSERT_EQ(ODB_obj_create_ctx(db.get(), workload_class, id, ODB_MODE_WRITE, &ctx), ODB_OK);
        EXPECT_EQ(reliability::write_value(ctx, 1, value), ODB_OK);
        ODB_obj_close_ctx(ctx);
    }
    const std::string object = std::to_string(id);
    for (auto& child : start_together({{"remove-and-restore", root(0), cls, object, "10"},
                                       {"read-racing", root(1), cls, object, "15", "77", "600"},
                                       {"read-racing", root(1), cls, object, "15", "77", "600"}}))
        std::printf("%s\n", finish(*child).back().c_str());
    test::database_ptr db = test::open_database(widen(root(1)));
    std::string now;
    EXPECT_EQ(reliability::read_attribute(db.get(), id, 1, ODB_MODE_READ, now), ODB_OK);
    EXPECT_EQ(now, value);
}

// Through the fallback a FUSE client needs (it refuses RENAME_NOREPLACE):
// what one mount created, a rename on the other never replaces.
TEST_F(SharedVolume, RenameFromTheOtherMountNeverReplaces) {
    ASSERT_TRUE(test::write_file(widen(dir(0) + "/taken"), "kept"));
    ASSERT_TRUE(test::write_file(widen(dir(1) + "/mover"), "moved"));
    auto move = [](const std::string& from, const std::string& to) {
        auto mover = child_process::start_helper({"move-file", from, to});
        return mover->read_line();
    };
    EXPECT_EQ(move(dir(1) + "/mover", dir(1) + "/taken"), "error " + std::to_string(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(test::read_file(widen(dir(0) + "/taken")), "kept");
    EXPECT_EQ(move(dir(1) + "/mover", dir(1) + "/free"), "ok");
    EXPECT_EQ(test::read_file(widen(dir(0) + "/free")), "moved");

    ASSERT_TRUE(CreateDirectoryW(widen(dir(0) + "/empty").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(widen(dir(1) + "/tree").c_str(), nullptr));
    ASSERT_TRUE(test::write_file(widen(dir(1) + "/tree/file"), "inside"));
    EXPECT_EQ(move(dir(1) + "/tree", dir(1) + "/empty"), "error " + std::to_string(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(move(dir(1) + "/tree", dir(1) + "/moved-tree"), "ok");
    EXPECT_EQ(test::read_file(widen(dir(0) + "/moved-tree/file")), "inside");
}

const char* const stress_settings =
    "[NameIndex]\nEnabled=Yes\nLifeTime=0\nHashCount=8\nLockTimeout=100\nLockSleep=2\n"
    "[Tracking]\nAttributeChanges=Yes\nObjectChanges=Yes\n[Attribs]\nSingleFile=Yes\n";

// Eight processes, four per mount, run the mixed workload on one class; then
// no identifier was given twice, every value and name reads back, the
// shared counter counts every increment, the index agrees with a walk, and
// the database read on the brick passes the odb tool's check.
TEST_F(SharedVolume, StressFromBothMountsLeavesAConsistentDatabase) {
    const uint32_t counter = make_database(stress_settings);
    {
        test::database_ptr db = test::open_database(widen(root(0)));
        odb_obj_ctx* ctx = nullptr;
        ASSERT_EQ(ODB_obj_create_ctx(db.get(), workload_class, counter, ODB_MODE_WRITE, &ctx), ODB_OK);
        const uint32_t zero = 0;
        EXPECT_EQ(ODB_obj_set_attribute(ctx, 1, 0, &zero, sizeof zero), ODB_OK);
        ODB_obj_close_ctx(ctx);
    }
    const int workers = 8, ops = 30;
    std::vector<std::unique_ptr<child_process>> children;
    std::vector<std::string> journals;
    for (int w = 1; w <= workers; ++w) {
        journals.push_back(dir(0) + "/journal-" + std::to_string(w));
        children.push_back(child_process::start_helper(
            {"workload", root(w % 2), std::to_string(w), std::to_string(7919 * w), std::to_string(ops),
             journals.back(), std::to_string(counter)}));
    }
    uint64_t increments = 0;
    for (int w = 0; w < workers; ++w) {
        std::string line, last;
        while (!(line = children[w]->read_line()).empty()) last = line;
        EXPECT_EQ(children[w]->wait(), 0) << "worker " << w + 1 << ": " << last;
        unsigned long long done = 0, incs = 0;
        EXPECT_EQ(std::sscanf(last.c_str(), "done %llu %llu", &done, &incs), 2) << last;
        increments += incs;
    }
    std::set<uint32_t> seen = {counter};
    uint32_t live = 1;
    test::database_ptr db = test::open_database(widen(root(1)));
    ASSERT_TRUE(db);
    for (int w = 0; w < workers; ++w) {
        reliability::workload_model model =
            reliability::read_journal(test::read_file(widen(journals[w])), w + 1);
        for (const auto* ids : {&model.live, &model.removed})
            for (uint32_t id : *ids) EXPECT_TRUE(seen.insert(id).second) << "identifier " << id << " twice";
        const std::string trace = "worker " + std::to_string(w + 1);
        reliability::verify_model(db.get(), model, trace);
        reliability::verify_names(db.get(), model, trace);
        live += static_cast<uint32_t>(model.live.size());
    }
    std::string value;
    ASSERT_EQ(reliability::read_attribute(db.get(), counter, 1, ODB_MODE_READ, value), ODB_OK);
    uint32_t count = 0;
    std::memcpy(&count, value.data(), std::min(value.size(), sizeof count));
    EXPECT_EQ(count, increments) << "increments lost: the lock let two in";
    uint32_t counted = 0;
    EXPECT_EQ(ODB_obj_count(db.get(), workload_class, 0, &counted), ODB_OK);
    EXPECT_EQ(counted, reliability::list_ids(db.get(), workload_class, ODB_ENUM_LIVE).size());
    EXPECT_EQ(counted, live);
    db.reset();

    const char* brick = std::getenv("QMFILEDB_SHARED_BRICK");
    if (brick == nullptr || odb_tool().empty()) GTEST_SKIP() << "no brick or no odb tool to check with";
    const test::program_result check =
        test::run_program({odb_tool(), "check", std::string(brick) + "/" + relative_ + "/db"});
    EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
}

// A lost server: QMFILEDB_SHARED_RESTART names a command that restarts the
// brick (scripts/gluster-restart-brick), which forgets every lock. The old
// holder's next write must fail rather than write without its lock, and new
// opens must work once the brick is back.
TEST_F(SharedVolume, BrickRestartFailsTheOldHoldersWrite) {
    const char* restart = std::getenv("QMFILEDB_SHARED_RESTART");
    if (restart == nullptr) GTEST_SKIP() << "QMFILEDB_SHARED_RESTART names no restart command";
    const uint32_t id = make_database();
    auto holder = child_process::start_helper(
        {"hold-and-write", root(0), std::to_string(workload_class), std::to_string(id)});
    ASSERT_EQ(holder->read_line(), "held");
    ASSERT_EQ(std::system(restart), 0) << restart;
    holder->write_line("go");
    EXPECT_EQ(holder->read_line(), "write " + hex_name(ODB_E_OBJECT_LOCK));
    holder->close_input();
    EXPECT_EQ(holder->wait(), 0);
    auto next = child_process::start_helper(hold(1, id, ODB_MODE_WRITE));
    EXPECT_EQ(next->read_line(), "held");
    next->close_input();
    EXPECT_EQ(next->wait(), 0);
    test::database_ptr db = test::open_database(widen(root(1)));
    std::string value;
    EXPECT_EQ(reliability::read_attribute(db.get(), id, 1, ODB_MODE_READ, value), ODB_OK);
    EXPECT_EQ(value, "before");
}

// odb doctor calls each mount, with the other as the second client, and a
// local tmpfs fit.
TEST_F(SharedVolume, DoctorFindsTheMountsAndTmpfsFit) {
    if (odb_tool().empty()) GTEST_SKIP() << "the odb tool is not built";
    std::vector<std::vector<std::string>> runs = {{dir(0), dir(1)}, {dir(1), dir(0)}};
    if (test::path_exists(widen("/dev/shm"))) runs.push_back({"/dev/shm"});
    for (std::vector<std::string> where : runs) {
        where.insert(where.begin(), {odb_tool(), "doctor"});
        const test::program_result doctor = test::run_program(where);
        EXPECT_EQ(doctor.exit_code, 0) << where[2] << "\n" << doctor.out << doctor.err;
        EXPECT_NE(doctor.out.find("verdict: fit\n"), std::string::npos) << where[2] << "\n" << doctor.out;
        std::printf("%s", doctor.out.c_str());
    }
}

}  // namespace
}  // namespace odb::distributed
