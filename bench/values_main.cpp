// Workload 3: one large value (64 MiB by default) written and read whole,
// and in 64 KiB pieces at offsets; the library against raw write/read and
// SQLite, and the library's peak memory against the value's size.
// --durable-kib=64,1024,16384 runs only the writes, at those sizes in KiB,
// with and without Durability.Flush against the raw writes with and without
// the same flushes and SQLite with synchronous FULL and OFF in both journal
// modes: for a real disk, where a flush waits for it.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "bench_support.h"
#include "values.h"

namespace {

using namespace bench;

constexpr uint32_t big_attribute = 0x20;

struct lib_value {
    std::unique_ptr<scratch_dir> dir;
    odb_database* db = nullptr;
    odb_obj_ctx* ctx = nullptr;
};

lib_value make_lib_value(bool single, const std::vector<unsigned char>& data, bool durable = false) {
    lib_value v;
    v.dir = std::make_unique<scratch_dir>("values");
    db_settings settings;
    settings.single_file = single;
    settings.durable = durable;
    v.db = create_database(v.dir->sub("db"), settings);
    uint32_t id = 0;
    check(ODB_obj_new(v.db, object_class, &id, &v.ctx), "ODB_obj_new");
    check(ODB_obj_set_attribute(v.ctx, big_attribute, 0, data.data(), static_cast<uint32_t>(data.size())),
          "ODB_obj_set_attribute");
    return v;
}

void lib_write_whole(odb_obj_ctx* ctx, const std::vector<unsigned char>& data) {
    check(ODB_obj_set_attribute(ctx, big_attribute, 0, data.data(), static_cast<uint32_t>(data.size())),
          "ODB_obj_set_attribute");
}
void lib_read_whole(odb_obj_ctx* ctx, std::vector<unsigned char>& out) {
    uint32_t size = static_cast<uint32_t>(out.size());
    check(ODB_obj_get_attribute(ctx, big_attribute, 0, out.data(), &size), "ODB_obj_get_attribute");
}
void lib_write_pieces(odb_obj_ctx* ctx, const std::vector<unsigned char>& data) {
    for (std::size_t at = 0; at < data.size(); at += piece_size)
        check(ODB_obj_set_attribute(ctx, big_attribute, static_cast<uint32_t>(at), data.data() + at, piece_size),
              "ODB_obj_set_attribute(piece)");
}
void lib_read_pieces(odb_obj_ctx* ctx, std::size_t total, unsigned char* piece) {
    for (std::size_t at = 0; at < total; at += piece_size) {
        uint32_t size = piece_size;
        check(ODB_obj_get_attribute(ctx, big_attribute, static_cast<uint32_t>(at), piece, &size),
              "ODB_obj_get_attribute(piece)");
    }
}

// A pass over pages the process has not touched for a while costs far
// more than the next one: on the build machine, a pass over a value file
// just written, or over buffers and files idle since the last repetition,
// runs at 0.2-0.4 GiB/s against 5-10 GiB/s warm. Google Benchmark times a
// repetition from its first iteration, and when a machine under load
// stretches the elapsed time of the first try to five times the minimum,
// it settles on one iteration: every repetition of that benchmark is then
// one cold pass, and the figure falls to a few percent of its warm value
// while another benchmark sharing the buffers stays warm. So every
// repetition starts with one untimed pass (the value's pages, the buffers
// and the open paths warm), and times a fixed number of passes, about
// 256 MiB of value, whatever the load.
void register_steady(const std::string& name, std::function<void()> op, std::size_t bytes, bool quick) {
    const std::size_t per_repetition = quick ? 2 : std::max<std::size_t>(4, (std::size_t{256} << 20) / bytes);
    benchmark::RegisterBenchmark(name.c_str(), [op, bytes](benchmark::State& state) {
        op();
        for (auto _ : state) op();
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    })->Unit(benchmark::kMillisecond)->Iterations(static_cast<benchmark::IterationCount>(per_repetition));
}

struct rss_job {
    bool single;
    std::size_t bytes;
    long baseline_kib;
};

// Streams the value through 64 KiB pieces (the per-attribute form can read
// pieces; the single-file form reads whole values only, so it reads into
// the caller's buffer, whose pages are counted in the baseline).
long rss_body(void* argument) {
    auto* job = static_cast<rss_job*>(argument);
    std::vector<unsigned char> piece(piece_size, 7);
    std::vector<unsigned char> whole;
    if (job->single) whole.assign(job->bytes, 7);
    scratch_dir dir("values-rss");
    db_settings settings;
    settings.single_file = job->single;
    odb_database* db = create_database(dir.sub("db"), settings);
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    check(ODB_obj_new(db, object_class, &id, &ctx), "ODB_obj_new");
    job->baseline_kib = current_rss_kib();
    if (job->single) {
        lib_write_whole(ctx, whole);
        lib_write_pieces(ctx, whole);
        lib_read_whole(ctx, whole);
    } else {
        for (std::size_t at = 0; at < job->bytes; at += piece_size)
            check(ODB_obj_set_attribute(ctx, big_attribute, static_cast<uint32_t>(at), piece.data(), piece_size),
                  "ODB_obj_set_attribute(piece)");
        lib_read_pieces(ctx, job->bytes, piece.data());
    }
    ODB_obj_close_ctx(ctx);
    ODB_close(db);
    return peak_rss_kib() - job->baseline_kib;
}

void register_durable(const std::vector<int>& kibs, const std::vector<bool>& forms, std::vector<lib_value>& keep_lib) {
    for (int kib : kibs) {
        const std::size_t bytes = static_cast<std::size_t>(kib) << 10;
        // Each write changes every byte, alternating between two versions:
        // SQLite skips the pages of an UPDATE whose bytes are unchanged, and
        // with nothing dirty its commit has nothing to flush.
        auto versions = std::make_shared<std::vector<std::vector<unsigned char>>>(2, std::vector<unsigned char>(bytes));
        for (std::size_t i = 0; i < bytes; ++i)
            for (int v = 0; v < 2; ++v) (*versions)[v][i] = static_cast<unsigned char>(i * 31 + 7 + v);
        auto data = std::make_shared<std::vector<unsigned char>>((*versions)[0]);
        auto next = [versions, turn = 0]() mutable { return &(*versions)[turn ^= 1]; };
        const std::string k = std::to_string(kib) + "KiB";
        auto reg = [&](const std::string& name, std::function<void()> op) {
            benchmark::RegisterBenchmark(name.c_str(), [op, bytes](benchmark::State& state) {
                for (auto _ : state) op();
                state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
            })->Unit(benchmark::kMillisecond)->UseRealTime();
        };
        for (bool single : forms) {
            const std::string tail = std::string("/") + form_name(single) + "/" + k;
            for (bool durable : {false, true}) {
                keep_lib.push_back(make_lib_value(single, *data, durable));
                odb_obj_ctx* ctx = keep_lib.back().ctx;
                const std::string who = durable ? "values/lib-durable" : "values/lib";
                reg(who + tail + "/write-whole", [ctx, next]() mutable { lib_write_whole(ctx, *next()); });
                reg(who + tail + "/write-pieces", [ctx, next]() mutable { lib_write_pieces(ctx, *next()); });
                auto raw = std::make_shared<floor::value_file>(single, bytes, data->data());
                const std::string floor_who = durable ? "values/floor-durable" : "values/floor";
                reg(floor_who + tail + "/write-whole", [raw, next, durable]() mutable {
                    floor_durable = durable;
                    raw->write_whole(next()->data());
                    floor_durable = false;
                });
                reg(floor_who + tail + "/write-pieces", [raw, next, durable]() mutable {
                    floor_durable = durable;
                    raw->write_pieces(next()->data());
                    floor_durable = false;
                });
            }
        }
        const std::vector<sql::mode> modes = {sql::mode::autocommit_full, sql::mode::wal_full, sql::mode::rollback_off,
                                              sql::mode::wal_off};
        auto model = std::make_shared<sql::value_model>(bytes, data->data(), modes);
        for (sql::mode mode : modes) {
            const std::string tail = std::string("/sqlite-") + sql::mode_name(mode) + "/-/" + k;
            reg("values" + tail + "/write-whole", [model, mode, next]() mutable { model->write_whole(mode, next()->data()); });
            reg("values" + tail + "/write-pieces", [model, mode, next]() mutable { model->write_pieces(mode, next()->data()); });
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> durable_kibs;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--durable-kib=", 14) == 0) {
            for (const char* at = argv[i] + 14; *at;) {
                char* end = nullptr;
                durable_kibs.push_back(static_cast<int>(std::strtol(at, &end, 10)));
                if (end == at) break;
                at = *end == ',' ? end + 1 : end;
            }
            for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
            --argc;
            break;
        }
    options opts = parse_options(argc, argv, {64}, {4});
    std::vector<lib_value> keep_lib;
    if (!durable_kibs.empty()) {
        register_durable(durable_kibs, opts.single_file_forms, keep_lib);
        opts.sizes.clear();
    }
    for (int mib : opts.sizes) {
        const std::size_t bytes = static_cast<std::size_t>(mib) << 20;
        auto data = std::make_shared<std::vector<unsigned char>>(bytes);
        for (std::size_t i = 0; i < bytes; ++i) (*data)[i] = static_cast<unsigned char>(i * 31 + 7);
        auto out = std::make_shared<std::vector<unsigned char>>(bytes);
        const std::string m = std::to_string(mib);
        for (bool single : opts.single_file_forms) {
            const std::string tail = std::string("/") + form_name(single) + "/" + m;
            keep_lib.push_back(make_lib_value(single, *data));
            odb_obj_ctx* ctx = keep_lib.back().ctx;
            auto piece = std::make_shared<std::vector<unsigned char>>(piece_size);
            auto reg = [&](const std::string& name, std::function<void()> op) {
                register_steady(name, op, bytes, opts.quick);
            };
            reg("values/lib" + tail + "/write-whole", [ctx, data] { lib_write_whole(ctx, *data); });
            reg("values/lib" + tail + "/read-whole", [ctx, out] { lib_read_whole(ctx, *out); });
            reg("values/lib" + tail + "/write-pieces", [ctx, data] { lib_write_pieces(ctx, *data); });
            if (!single)
                reg("values/lib" + tail + "/read-pieces",
                    [ctx, bytes, piece] { lib_read_pieces(ctx, bytes, piece->data()); });

            auto raw = std::make_shared<floor::value_file>(single, bytes, data->data());
            for (bool emul : {false, true}) {
                const std::string who = emul ? "values/floor+emul" : "values/floor";
                reg(who + tail + "/write-whole", [raw, data, emul] { floor_emulation = emul; raw->write_whole(data->data()); floor_emulation = false; });
                reg(who + tail + "/read-whole", [raw, out, emul] { floor_emulation = emul; raw->read_whole(out->data()); floor_emulation = false; });
                reg(who + tail + "/write-pieces", [raw, data, emul] { floor_emulation = emul; raw->write_pieces(data->data()); floor_emulation = false; });
                if (!single)
                    reg(who + tail + "/read-pieces", [raw, piece, emul] { floor_emulation = emul; raw->read_pieces(piece->data()); floor_emulation = false; });
            }
            benchmark::RegisterBenchmark(("values/lib" + tail + "/rss").c_str(), [single, bytes](benchmark::State& state) {
                long extra = -1;
                for (auto _ : state) {
                    rss_job job{single, bytes, 0};
                    extra = in_child(rss_body, &job);
                }
                state.counters["peak_growth_kib"] = static_cast<double>(extra);
            })->Iterations(1);
        }
        auto model = std::make_shared<sql::value_model>(bytes, data->data());
        for (sql::mode mode : {sql::mode::autocommit_full, sql::mode::wal_off}) {
            const std::string tail = std::string("/sqlite-") + sql::mode_name(mode) + "/-/" + m;
            // Pieces through SQLite take seconds per pass at 64 MiB: those
            // run as Google Benchmark sizes them, without a warm-up pass.
            auto reg = [&](const std::string& name, std::function<void()> op) {
                benchmark::RegisterBenchmark(name.c_str(), [op, bytes](benchmark::State& state) {
                    for (auto _ : state) op();
                    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
                })->Unit(benchmark::kMillisecond);
            };
            register_steady("values" + tail + "/write-whole", [model, mode, data] { model->write_whole(mode, data->data()); },
                            bytes, opts.quick);
            register_steady("values" + tail + "/read-whole", [model, mode, out] { model->read_whole(mode, out->data()); },
                            bytes, opts.quick);
            reg("values" + tail + "/write-pieces", [model, mode, data] { model->write_pieces(mode, data->data()); });
            reg("values" + tail + "/read-pieces", [model, mode, out] { model->read_pieces(mode, out->data()); });
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (lib_value& v : keep_lib) {
        ODB_obj_close_ctx(v.ctx);
        ODB_close(v.db);
    }
    return 0;
}
