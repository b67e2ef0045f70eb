// Many users at once. Eight helper processes run the mixed workload on one
// class, each keeping a journal of what it did; afterwards no identifier
// was handed out twice, no value a worker wrote is lost or torn, the shared
// counter that each worker increments under the object's write lock counts
// every increment (the lock excluded), and the name index, rebuilt, answers
// every name. Then the same in threads of one process, each on its own
// handles.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include "reliability/scenarios.h"
#include "reliability/workload.h"
#include "reliability/workload_check.h"
#include "support/child_process.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

namespace odb::reliability {
namespace {

using test::join;

const char* const stress_settings =
    "[NameIndex]\nEnabled=Yes\nLifeTime=0\nHashCount=8\nLockTimeout=100\nLockSleep=2\n"
    "[Tracking]\nAttributeChanges=Yes\nObjectChanges=Yes\n[Attribs]\nSingleFile=Yes\n";

// A database with the shared counter (object 1 of the workload class, a
// 4-byte zero in attribute 1).
wide_string make_database(const test::temp_dir& dir, uint32_t& counter) {
    const wide_string root = dir / "db";
    uint32_t version = 0;
    odb_database* db = nullptr;
    EXPECT_EQ(ODB_init_w(ODB_INIT_CREATE, test::odb_text(root), &version, &db, 0), ODB_OK);
    ODB_close(db);
    test::write_settings(root, stress_settings);
    db = open_world(root);
    EXPECT_NE(db, nullptr);
    odb_obj_ctx* ctx = nullptr;
    EXPECT_EQ(ODB_obj_new(db, workload_class, &counter, &ctx), ODB_OK);
    const uint32_t zero = 0;
    EXPECT_EQ(ODB_obj_set_attribute(ctx, 1, 0, &zero, sizeof zero), ODB_OK);
    ODB_obj_close_ctx(ctx);
    ODB_close(db);
    return root;
}

uint32_t read_counter(odb_database* db, uint32_t counter) {
    std::string value;
    EXPECT_EQ(read_attribute(db, counter, 1, ODB_MODE_READ, value), ODB_OK);
    uint32_t count = 0;
    if (value.size() == sizeof count) std::memcpy(&count, value.data(), sizeof count);
    return count;
}

// After the workers: identifiers, values, the counter and the index.
void check_outcome(const wide_string& root, std::vector<workload_model>& models, uint32_t counter,
                   uint64_t increments) {
    std::set<uint32_t> seen = {counter};
    for (const workload_model& model : models) {
        for (const auto* ids : {&model.live, &model.removed})
            for (uint32_t id : *ids)
                EXPECT_TRUE(seen.insert(id).second)
                    << "identifier " << id << " handed out twice (worker " << model.worker << ")";
    }
    ASSERT_TRUE(test::write_file(join(join(root, test::hex_name(workload_class).c_str()), "names.dat"),
                                 std::string(12, '\0')));
    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    EXPECT_EQ(read_counter(db.get(), counter), increments) << "increments lost: the lock let two in";
    uint32_t live = 1;  // the counter
    for (workload_model& model : models) {
        const std::string trace = "worker " + std::to_string(model.worker);
        verify_model(db.get(), model, trace);
        verify_names(db.get(), model, trace);
        live += static_cast<uint32_t>(model.live.size());
    }
    uint32_t count = 0;
    EXPECT_EQ(ODB_obj_count(db.get(), workload_class, 0, &count), ODB_OK);
    EXPECT_EQ(count, live) << "count by the rebuilt index";
}

TEST(Stress, EightProcessesOnOneClass) {
    test::temp_dir dir;
    uint32_t counter = 0;
    const wide_string root = make_database(dir, counter);
    // Helpers start slowly under Wine; fewer of them there.
    const bool wine = test::running_under_wine();
    const int workers = wine ? 4 : 8;
    const int ops = full_runs() ? 4000 : wine ? 100 : 400;
    std::vector<std::unique_ptr<test::child_process>> children;
    std::vector<std::string> journals;
    for (int w = 1; w <= workers; ++w) {
        journals.push_back(test::narrow(dir / ("journal-" + std::to_string(w)).c_str()));
        children.push_back(test::child_process::start_helper(
            {"workload", test::narrow(root), std::to_string(w), std::to_string(7919 * w),
             std::to_string(ops), journals.back(), std::to_string(counter)}));
    }
    uint64_t increments = 0, done_ops = 0;
    for (int w = 0; w < workers; ++w) {
        std::string line, last;
        while (!(line = children[w]->read_line()).empty()) last = line;
        EXPECT_EQ(children[w]->wait(), 0) << "worker " << w + 1 << ": " << last;
        unsigned long long n = 0, incs = 0;
        EXPECT_EQ(std::sscanf(last.c_str(), "done %llu %llu", &n, &incs), 2)
            << "worker " << w + 1 << ": " << last;
        done_ops += n;
        increments += incs;
    }
    std::vector<workload_model> models;
    for (int w = 0; w < workers; ++w)
        models.push_back(read_journal(test::read_file(test::widen(journals[w])), w + 1));
    check_outcome(root, models, counter, increments);
    std::printf("%d processes, %llu operations, %llu counter increments\n", workers,
                static_cast<unsigned long long>(done_ops), static_cast<unsigned long long>(increments));
}

// Threads of one process, each with its own database handle and contexts:
// the same promises, and under ThreadSanitizer no race.
TEST(Stress, ThreadsOnTheirOwnHandles) {
    test::temp_dir dir;
    uint32_t counter = 0;
    const wide_string root = make_database(dir, counter);
    const int threads = 4;
    const int objects = full_runs() ? 60 : 15;
    std::atomic<uint64_t> increments{0};
    std::vector<workload_model> models(threads);
    std::vector<std::string> faults(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            workload_model& model = models[t];
            model.worker = static_cast<uint32_t>(100 + t);
            odb_database* db = open_world(root);
            if (db == nullptr) {
                faults[t] = "open";
                return;
            }
            for (int i = 0; i < objects; ++i) {
                uint32_t id = 0;
                odb_obj_ctx* ctx = nullptr;
                if (ODB_obj_new(db, workload_class, &id, &ctx) != ODB_OK) continue;
                model.live.insert(id);
                const std::string value = workload_value(id, 50 + 37 * i);
                const std::string name = workload_name(model.worker, static_cast<uint32_t>(i));
                if (ODB_obj_set_attribute(ctx, 1, 0, value.data(), static_cast<uint32_t>(value.size())) == ODB_OK)
                    model.values[{id, 1}] = value;
                if (ODB_obj_set_attribute(ctx, name_attribute, 0, name.data(),
                                          static_cast<uint32_t>(name.size())) == ODB_OK)
                    model.values[{id, name_attribute}] = name;
                ODB_obj_close_ctx(ctx);
                // The shared counter, under its write lock.
                if (ODB_obj_create_ctx(db, workload_class, counter, ODB_MODE_WRITE, &ctx) == ODB_OK) {
                    uint32_t count = 0, size = sizeof count;
                    if (ODB_obj_get_attribute(ctx, 1, 0, &count, &size) == ODB_OK) {
                        ++count;
                        if (ODB_obj_set_attribute(ctx, 1, 0, &count, sizeof count) == ODB_OK) ++increments;
                    }
                    ODB_obj_close_ctx(ctx);
                }
                uint32_t found = 0;
                const std::string text = name + '\0';
                if (ODB_obj_lookup_ex(db, workload_class, name_attribute, ODB_NAME_ANSI, text.data(),
                                      static_cast<uint32_t>(text.size()), &found) == ODB_OK &&
                    found != id)
                    faults[t] = "lookup of " + name + " found another object";
            }
            ODB_close(db);
        });
    }
    for (std::thread& thread : pool) thread.join();
    for (int t = 0; t < threads; ++t) EXPECT_EQ(faults[t], "") << "thread " << t;
    check_outcome(root, models, counter, increments.load());
}

}  // namespace
}  // namespace odb::reliability
