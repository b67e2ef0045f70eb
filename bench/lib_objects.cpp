// Workload 1 through the public interface.
#include <cstring>
#include <vector>

#include "bench_support.h"
#include "objects.h"

namespace bench {

std::string object_name(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "object-%08d", i);
    return text;
}

uint32_t attribute_a_value(int i) { return static_cast<uint32_t>(i % 10); }

void attribute_b_value(int i, unsigned char out[16]) {
    for (int k = 0; k < 16; ++k) out[k] = static_cast<unsigned char>(i + k);
}

step_timer::step_timer(double& wall, double& cpu)
    : wall_(wall), cpu_(cpu), wall_start_(now_seconds()), cpu_start_(cpu_seconds()) {}

step_timer::~step_timer() {
    wall_ += now_seconds() - wall_start_;
    cpu_ += cpu_seconds() - cpu_start_;
}

namespace lib {

uint32_t create_object(odb_database* db, int i) {
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    check(ODB_obj_new(db, object_class, &id, &ctx), "ODB_obj_new");
    const std::string name = object_name(i);
    check(ODB_obj_set_attribute(ctx, ODB_NAME_ATTRIBUTE, 0, name.c_str(),
                                static_cast<uint32_t>(name.size() + 1)),
          "ODB_obj_set_attribute(name)");
    const uint32_t a = attribute_a_value(i);
    check(ODB_obj_set_attribute(ctx, small_attribute_a, 0, &a, sizeof a), "ODB_obj_set_attribute(a)");
    unsigned char b[16];
    attribute_b_value(i, b);
    check(ODB_obj_set_attribute(ctx, small_attribute_b, 0, b, sizeof b), "ODB_obj_set_attribute(b)");
    check(ODB_obj_close_ctx(ctx), "ODB_obj_close_ctx");
    return id;
}

void read_object(odb_database* db, uint32_t id) {
    odb_obj_ctx* ctx = nullptr;
    check(ODB_obj_create_ctx(db, object_class, id, ODB_MODE_READ, &ctx), "ODB_obj_create_ctx(read)");
    unsigned char buffer[64];
    const uint32_t attributes[3] = {ODB_NAME_ATTRIBUTE, small_attribute_a, small_attribute_b};
    for (uint32_t attribute : attributes) {
        uint32_t size = sizeof buffer;
        check(ODB_obj_get_attribute(ctx, attribute, 0, buffer, &size), "ODB_obj_get_attribute");
        benchmark::DoNotOptimize(buffer);
    }
    check(ODB_obj_close_ctx(ctx), "ODB_obj_close_ctx");
}

void rewrite_object(odb_database* db, uint32_t id, int i) {
    odb_obj_ctx* ctx = nullptr;
    check(ODB_obj_create_ctx(db, object_class, id, ODB_MODE_WRITE, &ctx), "ODB_obj_create_ctx(write)");
    unsigned char b[16];
    attribute_b_value(i + 1, b);
    check(ODB_obj_set_attribute(ctx, small_attribute_b, 0, b, sizeof b), "ODB_obj_set_attribute(b)");
    check(ODB_obj_close_ctx(ctx), "ODB_obj_close_ctx");
}

void remove_object(odb_database* db, uint32_t id) {
    odb_obj_ctx* ctx = nullptr;
    check(ODB_obj_create_ctx(db, object_class, id, ODB_MODE_WRITE, &ctx), "ODB_obj_create_ctx(write)");
    check(ODB_obj_remove_ex(ctx, 0), "ODB_obj_remove_ex");
    check(ODB_obj_close_ctx(ctx), "ODB_obj_close_ctx");
}

object_phases run_objects(const std::string& root, int count, bool single_file, bool durable) {
    db_settings settings;
    settings.single_file = single_file;
    settings.durable = durable;
    odb_database* db = create_database(root, settings);
    std::vector<uint32_t> ids(static_cast<std::size_t>(count));
    object_phases phases;

    {
        step_timer timer(phases.create, phases.create_cpu);
        for (int i = 0; i < count; ++i) ids[i] = create_object(db, i);
    }

    {
        step_timer timer(phases.read, phases.read_cpu);
        for (int i = 0; i < count; ++i) read_object(db, ids[i]);
    }

    {
        step_timer timer(phases.rewrite, phases.rewrite_cpu);
        for (int i = 0; i < count; ++i) rewrite_object(db, ids[i], i);
    }

    {
        step_timer timer(phases.remove, phases.remove_cpu);
        for (int i = 0; i < count; ++i) remove_object(db, ids[i]);
    }

    check(ODB_close(db), "ODB_close");
    return phases;
}

}  // namespace lib
}  // namespace bench
