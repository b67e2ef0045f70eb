// Workload 1: create, read, rewrite, remove; library, floor, floor with the
// share-mode protocol, SQLite. Each benchmark run is one whole pass over a
// fresh database; the counters are microseconds per object for each step.
#include <string>

#include "bench_support.h"
#include "objects.h"

namespace {

using namespace bench;

void report(benchmark::State& state, const object_phases& p, int count) {
    const double per = 1e6 / count;
    state.counters["create_us"] = p.create * per;
    state.counters["read_us"] = p.read * per;
    state.counters["rewrite_us"] = p.rewrite * per;
    state.counters["remove_us"] = p.remove * per;
    state.counters["create_cpu_us"] = p.create_cpu * per;
    state.counters["read_cpu_us"] = p.read_cpu * per;
    state.counters["rewrite_cpu_us"] = p.rewrite_cpu * per;
    state.counters["remove_cpu_us"] = p.remove_cpu * per;
    state.SetIterationTime(p.create + p.read + p.rewrite + p.remove);
}

template <class Run>
void register_one(const std::string& name, Run run) {
    benchmark::RegisterBenchmark(name.c_str(), run)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    options opts = parse_options(argc, argv, {1000, 100000}, {50});
    for (int count : opts.sizes) {
        for (bool single : opts.single_file_forms) {
            const std::string tail = std::string("/") + form_name(single) + "/" + std::to_string(count);
            for (bool durable : {false, true})
                register_one((durable ? "objects/lib-durable" : "objects/lib") + tail,
                             [count, single, durable](benchmark::State& state) {
                                 for (auto _ : state) {
                                     scratch_dir dir("objects");
                                     report(state, lib::run_objects(dir.sub("db"), count, single, durable),
                                            count);
                                 }
                             });
            for (bool share : {false, true}) {
                register_one(std::string(share ? "objects/floor+emul" : "objects/floor") + tail,
                             [count, single, share](benchmark::State& state) {
                                 for (auto _ : state) {
                                     scratch_dir dir("objects");
                                     floor_emulation = share;
                                     object_phases p = floor::run_objects(dir.sub("db"), count, single);
                                     floor_emulation = false;
                                     report(state, p, count);
                                 }
                             });
            }
            register_one("objects/floor-durable" + tail, [count, single](benchmark::State& state) {
                for (auto _ : state) {
                    scratch_dir dir("objects");
                    report(state, floor::run_objects(dir.sub("db"), count, single, true), count);
                }
            });
        }
        for (sql::mode m : {sql::mode::autocommit_full, sql::mode::wal_off, sql::mode::one_transaction,
                            sql::mode::wal_full, sql::mode::rollback_off, sql::mode::object_full}) {
            const int sample = opts.quick ? 10 : 200;
            register_one(std::string("objects/sqlite-") + sql::mode_name(m) + "/-/" + std::to_string(count),
                         [count, m, sample](benchmark::State& state) {
                             for (auto _ : state) {
                                 scratch_dir dir("sqlite");
                                 report(state, sql::run_objects(dir.path(), count, m, sample), count);
                             }
                         });
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
