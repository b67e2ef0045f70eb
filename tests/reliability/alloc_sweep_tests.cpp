// Memory exhaustion at every allocation of every scenario in turn: the
// call answers 0xE0000001 (or succeeds where the failure fell on derived
// data), nothing stored is lost, every held handle survives, and no handle
// reaches the caller half-built. Run under -DQMFILEDB_SANITIZE=ON,
// LeakSanitizer also proves that nothing leaks on these paths.
#include <gtest/gtest.h>

#include <cstdio>

#include "core/allocator.h"
#include "reliability/scenarios.h"
#include "support/temp_dir.h"

namespace odb::reliability {
namespace {

struct allocation_failure {
    explicit allocation_failure(unsigned k) { fail_allocation_at(k); }
    ~allocation_failure() { fail_allocation_at(0); }
};

TEST(AllocationSweep, EveryAllocationFailsInTurn) {
    uint64_t runs = 0;
    for (const scenario& s : all_scenarios()) {
        for (unsigned k = 1;; ++k) {
            test::temp_dir dir;
            run_state run;
            ASSERT_TRUE(start_run(s, dir, run));
            odb_status status;
            bool pending;
            {
                allocation_failure armed(k);
                status = s.act(run);
                pending = allocation_failure_pending();
            }
            const std::string trace = std::string(s.name) + ": allocation " + std::to_string(k);
            if (!pending) {
                // The only status an allocation failure may become; other
                // failures of the scenario are its own (none without faults).
                EXPECT_TRUE(status == ODB_OK || status == ODB_E_NO_MEMORY ||
                            status == ODB_E_INVALID_PARAMETER /* a lookup whose index failed */)
                    << trace << ": " << status_text(status);
            }
            finish_run(run, status, trace);
            ++runs;
            if (pending || ::testing::Test::HasFailure()) break;
        }
    }
    std::printf("runs with a failing allocation: %llu\n", static_cast<unsigned long long>(runs));
}

TEST(AllocationSweep, NoHalfBuiltHandleReachesTheCaller) {
    // Each export that hands out a handle, with its first allocation
    // failing: the status, and the caller's pointer still what it was (or
    // null), never a record that was freed.
    test::temp_dir dir;
    const wide_string root = copy_world(dir);
    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    odb_obj_ctx* const sentinel_ctx = reinterpret_cast<odb_obj_ctx*>(0x1);
    auto untouched = [&](odb_obj_ctx* ctx) { return ctx == sentinel_ctx || ctx == nullptr; };
    {
        odb_database* out = reinterpret_cast<odb_database*>(0x1);
        uint32_t version = 0;
        allocation_failure armed(1);
        EXPECT_EQ(ODB_init_w(0, test::odb_text(root), &version, &out, 0), ODB_E_NO_MEMORY);
        EXPECT_EQ(out, reinterpret_cast<odb_database*>(0x1));
    }
    {
        odb_obj_ctx* ctx = sentinel_ctx;
        uint32_t id = 0xAAAA;
        allocation_failure armed(1);
        EXPECT_EQ(ODB_obj_new(db.get(), world_class, &id, &ctx), ODB_E_NO_MEMORY);
        EXPECT_TRUE(untouched(ctx));
        EXPECT_EQ(id, 0xAAAAu);
    }
    {
        odb_obj_ctx* ctx = sentinel_ctx;
        allocation_failure armed(1);
        EXPECT_EQ(ODB_obj_import(db.get(), world_class, 77, &ctx), ODB_E_NO_MEMORY);
        EXPECT_TRUE(untouched(ctx));
    }
    {
        odb_obj_ctx* ctx = sentinel_ctx;
        allocation_failure armed(1);
        EXPECT_EQ(ODB_obj_create_ctx(db.get(), world_class, single_object, ODB_MODE_WRITE, &ctx),
                  ODB_E_NO_MEMORY);
        EXPECT_TRUE(untouched(ctx));
    }
    {
        odb_enum_ctx* walk = reinterpret_cast<odb_enum_ctx*>(0x1);
        allocation_failure armed(1);
        EXPECT_EQ(ODB_obj_enum_init(db.get(), world_class, ODB_ENUM_LIVE, nullptr, &walk),
                  ODB_E_NO_MEMORY);
        EXPECT_EQ(walk, reinterpret_cast<odb_enum_ctx*>(0x1));
    }
    // Nothing was created or locked by the failed calls: the object opens
    // for writing, and identifier 77 is still free.
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_create_ctx(db.get(), world_class, single_object, ODB_MODE_WRITE, &ctx), ODB_OK);
    EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
    ASSERT_EQ(ODB_obj_import(db.get(), world_class, 77, &ctx), ODB_OK);
    EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
}

}  // namespace
}  // namespace odb::reliability
