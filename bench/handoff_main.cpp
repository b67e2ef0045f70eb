// Workload 4: lock hand-off between two processes, library against the raw
// polling floor and a kernel wait. Counters: median and 90th percentile of
// the latency in milliseconds, and the configured sleep it is judged by.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>

#include "bench_support.h"
#include "core/disk_format.h"
#include "core/settings_table.h"
#include "handoff.h"
#include "objects.h"

namespace bench {

namespace {

void write_all(int fd, const void* data, std::size_t size) {
    if (::write(fd, data, size) != static_cast<ssize_t>(size)) throw std::runtime_error("pipe write");
}
void read_all(int fd, void* data, std::size_t size) {
    if (::read(fd, data, size) != static_cast<ssize_t>(size)) throw std::runtime_error("pipe read");
}

void sleep_ms(double ms) {
    struct timespec pause = {static_cast<time_t>(ms / 1000), static_cast<long>((ms - 1000 * static_cast<long>(ms / 1000)) * 1e6)};
    ::nanosleep(&pause, nullptr);
}

// The waiter, in the child: told to start, it reports that it is about to
// wait, waits, and reports the moment it got the object.
void waiter(handoff_side side, const std::string& root, uint32_t id, unsigned sleep, int go, int done) {
    odb_database* db = side == handoff_side::library ? open_database(root) : nullptr;
    char token = 0;
    read_all(go, &token, 1);
    write_all(done, &token, 1);
    double got;
    if (side == handoff_side::library) {
        odb_obj_ctx* ctx = nullptr;
        check(ODB_obj_create_ctx(db, object_class, id, ODB_MODE_WRITE, &ctx), "ODB_obj_create_ctx");
        got = now_seconds();
        ODB_obj_close_ctx(ctx);
        ODB_close(db);
    } else {
        const std::string lock = object_dir(root, object_class, id) + "/" + odb::disk::object_lock_file;
        int fd = floor::take_lock(lock, side == handoff_side::floor_polling ? sleep : 0);
        got = now_seconds();
        ::close(fd);
    }
    write_all(done, &got, sizeof got);
}

}  // namespace

std::vector<double> run_handoffs(handoff_side side, const std::string& dir,
                                 const std::string& waiter_dir, int rounds, unsigned sleep) {
    const std::string root = dir + "/db";
    odb_database* db = create_database(root, db_settings{});
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    check(ODB_obj_new(db, object_class, &id, &ctx), "ODB_obj_new");
    check(ODB_obj_close_ctx(ctx), "ODB_obj_close_ctx");
    const std::string lock_path = object_dir(root, object_class, id) + "/" + odb::disk::object_lock_file;

    std::mt19937 jitter(99);
    std::vector<double> latencies;
    for (int round = 0; round < rounds; ++round) {
        int go[2], done[2];
        if (::pipe(go) != 0 || ::pipe(done) != 0) throw std::runtime_error("pipe");
        // The child is started before the holder takes the lock, so it
        // shares no open file description (and so no lock) with the holder.
        pid_t child = ::fork();
        if (child == 0) {
            ::close(go[1]);
            ::close(done[0]);
            int status = 0;
            try {
                waiter(side, waiter_dir + "/db", id, sleep, go[0], done[1]);
            } catch (...) {
                status = 1;
            }
            ::_exit(status);
        }
        ::close(go[0]);
        ::close(done[1]);

        odb_obj_ctx* holder = nullptr;
        int raw = -1;
        if (side == handoff_side::library)
            check(ODB_obj_create_ctx(db, object_class, id, ODB_MODE_WRITE, &holder), "ODB_obj_create_ctx");
        else
            raw = floor::take_lock(lock_path, 0);
        char token = 'g';
        write_all(go[1], &token, 1);
        read_all(done[0], &token, 1);
        // Let the waiter fail its first attempts, at a random phase of its
        // sleep.
        sleep_ms(2.0 * sleep + std::uniform_real_distribution<double>(0, sleep)(jitter));
        const double released = now_seconds();
        if (holder != nullptr) ODB_obj_close_ctx(holder);
        if (raw >= 0) ::close(raw);
        double got = 0;
        read_all(done[0], &got, sizeof got);
        ::close(go[1]);
        ::close(done[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        latencies.push_back((got - released) * 1e3);
    }
    ODB_close(db);
    return latencies;
}

}  // namespace bench

namespace {

// The sleep the library was configured with: QMFILEDB.INI beside the program.
unsigned configured_sleep_ms(const char* argv0) {
    std::string exe = argv0;
    std::string dir = exe.find('/') == std::string::npos ? "." : exe.substr(0, exe.rfind('/'));
    std::ifstream ini(dir + "/" + odb::disk::lock_settings_file);
    const std::string key = std::string(odb::settings::lock_sleep.key) + "=";
    std::string line;
    while (std::getline(ini, line))
        if (line.rfind(key, 0) == 0) return static_cast<unsigned>(std::stoul(line.substr(key.size())));
    return odb::settings::lock_sleep.default_value;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    std::size_t at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

}  // namespace

int main(int argc, char** argv) {
    using namespace bench;
    options opts = parse_options(argc, argv, {}, {});
    const int rounds = opts.rounds > 0 ? opts.rounds : opts.quick ? 5 : 40;
    const unsigned sleep = configured_sleep_ms(argv[0]);
    const std::pair<const char*, handoff_side> sides[] = {{"handoff/lib", handoff_side::library},
                                                         {"handoff/floor-polling", handoff_side::floor_polling},
                                                         {"handoff/floor-blocking", handoff_side::floor_blocking}};
    for (const auto& entry : sides) {
        handoff_side side = entry.second;
        benchmark::RegisterBenchmark(entry.first, [side, rounds, sleep](benchmark::State& state) {
            std::vector<double> latencies;
            for (auto _ : state) {
                scratch_dir dir("handoff");
                latencies = run_handoffs(side, dir.path(), dir.other_view(), rounds, sleep);
            }
            state.counters["median_ms"] = percentile(latencies, 0.5);
            state.counters["p90_ms"] = percentile(latencies, 0.9);
            state.counters["sleep_ms"] = sleep;
            state.counters["rounds"] = rounds;
        })->Iterations(1)->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
