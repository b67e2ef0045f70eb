// Workload 2: walks, counts and lookups; library, floor, floor with the
// platform layer's emulation, SQLite. The classes are built once, untimed.
// Per-object and per-call figures are real time divided by the counter
// "per" (objects of a walk, 1 for a call).
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>

#include "bench_support.h"
#include "sqlite_walks.h"
#include "walks.h"

namespace {

using namespace bench;

struct built {
    std::unique_ptr<scratch_dir> dir;
    odb_database* db = nullptr;
    std::string root;
};

void reg(const std::string& name, std::function<void(benchmark::State&)> body) {
    benchmark::RegisterBenchmark(name.c_str(), body)->Unit(benchmark::kMicrosecond);
}

struct rss_job {
    std::string root;
};

// The growth of the peak RSS over the process's resident set before the
// walks: what the walks themselves hold (the forked child starts with the
// parent's pages, which differ with what the parent has built). The child
// opens the database itself: the library refuses a forked copy of the
// parent's handle.
long rss_body(void* argument) {
    odb_database* db = open_database(static_cast<rss_job*>(argument)->root);
    const long start = current_rss_kib();
    lib::walk_plain(db);
    lib::walk_changed_after(db);
    lib::walk_matching(db);
    lib::count_by_enumeration(db);
    const long growth = peak_rss_kib() - start;
    ODB_close(db);
    return growth;
}

}  // namespace

int main(int argc, char** argv) {
    options opts = parse_options(argc, argv, {1000, 100000}, {60});
    std::vector<std::unique_ptr<built>> keep;
    std::vector<std::unique_ptr<scratch_dir>> sql_dirs;
    std::vector<sqlite3*> sql_dbs;
    for (int count : opts.sizes) {
        const std::string n = std::to_string(count);
        for (bool single : opts.single_file_forms) {
            auto b = std::make_unique<built>();
            b->dir = std::make_unique<scratch_dir>("walks");
            b->root = b->dir->sub("db");
            b->db = lib::build_walk_database(b->root, count, single);
            lib::count_by_index(b->db);  // valid and current before timing
            odb_database* db = b->db;
            const std::string root = b->root;
            const std::string tail = std::string("/") + form_name(single) + "/" + n;
            for (int side = 0; side < 3; ++side) {
                const std::string who = side == 0 ? "walks/lib" : side == 1 ? "walks/floor" : "walks/floor+emul";
                const bool emul = side == 2;
                auto body = [=](auto lib_op, auto floor_op, int per) {
                    return [=](benchmark::State& state) {
                        floor_emulation = emul;
                        std::mt19937 pick(12345);
                        for (auto _ : state) {
                            int i = static_cast<int>(pick() % static_cast<unsigned>(count));
                            if (side == 0)
                                benchmark::DoNotOptimize(lib_op(db, i));
                            else
                                benchmark::DoNotOptimize(floor_op(root, i));
                        }
                        floor_emulation = false;
                        state.counters["per"] = per;
                    };
                };
                reg(who + tail + "/plain",
                    body([](odb_database* d, int) { return lib::walk_plain(d); },
                         [](const std::string& r, int) { return floor::walk_plain(r); }, count));
                reg(who + tail + "/changed-after",
                    body([](odb_database* d, int) { return lib::walk_changed_after(d); },
                         [](const std::string& r, int) { return floor::walk_changed_after(r); }, count));
                reg(who + tail + "/matching",
                    body([](odb_database* d, int) { return lib::walk_matching(d); },
                         [](const std::string& r, int) { return floor::walk_matching(r); }, count));
                reg(who + tail + "/count-index",
                    body([](odb_database* d, int) { return lib::count_by_index(d); },
                         [](const std::string& r, int) { return floor::count_by_index(r); }, 1));
                reg(who + tail + "/count-enum",
                    body([](odb_database* d, int) { return lib::count_by_enumeration(d); },
                         [](const std::string& r, int) { return static_cast<uint32_t>(floor::walk_plain(r)); }, 1));
                reg(who + tail + "/rebuild",
                    body([root](odb_database* d, int) { return lib::rebuild_index(d, root); },
                         [](const std::string& r, int) { return floor::rebuild_index(r); }, 1));
                reg(who + tail + "/lookup",
                    body([](odb_database* d, int i) { return lib::lookup(d, i); },
                         [](const std::string& r, int i) { return floor::lookup(r, i); }, 1));
            }
            benchmark::RegisterBenchmark(("walks/lib" + tail + "/rss").c_str(), [root](benchmark::State& state) {
                long peak = 0;
                for (auto _ : state) {
                    rss_job job{root};
                    peak = in_child(rss_body, &job);
                }
                state.counters["peak_growth_kib"] = static_cast<double>(peak);
            })->Iterations(1);
            keep.push_back(std::move(b));
        }
        // SQLite: one model per size (no storage forms).
        sql_dirs.push_back(std::make_unique<scratch_dir>("sqlite-walks"));
        sqlite3* model = nullptr;
        try {
            model = sql::build_walk_model(sql_dirs.back()->path(), count);
        } catch (const std::exception& e) {
            // Some shared file systems refuse what SQLite needs (its locks,
            // shared memory); the library's sides still run there.
            std::fprintf(stderr, "walks: no SQLite side here: %s\n", e.what());
            continue;
        }
        sql_dbs.push_back(model);
        auto queries = std::make_shared<sql::walk_queries>(model);
        auto sbody = [queries, count](auto op, int per) {
            return [queries, count, op, per](benchmark::State& state) {
                std::mt19937 pick(12345);
                for (auto _ : state) {
                    int i = static_cast<int>(pick() % static_cast<unsigned>(count));
                    benchmark::DoNotOptimize(op(*queries, i));
                }
                state.counters["per"] = per;
            };
        };
        const std::string stail = "/-/" + n;
        reg("walks/sqlite" + stail + "/plain", sbody([](sql::walk_queries& q, int) { return sql::walk_plain(q); }, count));
        reg("walks/sqlite" + stail + "/changed-after",
            sbody([](sql::walk_queries& q, int) { return sql::walk_changed_after(q); }, count));
        reg("walks/sqlite" + stail + "/matching", sbody([](sql::walk_queries& q, int) { return sql::walk_matching(q); }, count));
        reg("walks/sqlite" + stail + "/count-index", sbody([](sql::walk_queries& q, int) { return sql::count(q); }, 1));
        reg("walks/sqlite" + stail + "/lookup", sbody([](sql::walk_queries& q, int i) { return sql::lookup(q, i); }, 1));
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (auto& b : keep) ODB_close(b->db);
    for (sqlite3* db : sql_dbs) sql::close_model(db);
    return 0;
}
