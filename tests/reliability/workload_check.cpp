#include "reliability/workload_check.h"

#include <gtest/gtest.h>

#include "reliability/world.h"

namespace odb::reliability {

odb_status read_attribute(odb_database* db, uint32_t id, uint32_t attribute, uint32_t mode,
                          std::string& value) {
    odb_obj_ctx* ctx = nullptr;
    odb_status status = ODB_obj_create_ctx(db, workload_class, id, mode, &ctx);
    if (status != ODB_OK) return status;
    uint32_t size = 0;
    status = ODB_obj_get_attribute(ctx, attribute, 0, nullptr, &size);
    if (status == ODB_OK) {
        value.assign(size, '\0');
        status = ODB_obj_get_attribute(ctx, attribute, 0, value.data(), &size);
        value.resize(size < value.size() ? size : value.size());
    }
    ODB_obj_close_ctx(ctx);
    return status;
}

void verify_model(odb_database* db, workload_model& model, const std::string& trace) {
    SCOPED_TRACE(trace);
    for (uint32_t id : model.live) {
        if (model.uncertain_objects.count(id)) continue;
        odb_obj_ctx* ctx = nullptr;
        ASSERT_EQ(ODB_obj_create_ctx(db, workload_class, id, ODB_MODE_READ, &ctx), ODB_OK)
            << "object " << id << " lost";
        ODB_obj_close_ctx(ctx);
    }
    for (uint32_t id : model.removed) {
        if (model.uncertain_objects.count(id)) continue;
        odb_obj_ctx* ctx = nullptr;
        ASSERT_EQ(ODB_obj_create_ctx(db, workload_class, id, ODB_MODE_READ | ODB_MODE_REMOVED, &ctx),
                  ODB_OK)
            << "removed object " << id << " lost";
        ODB_obj_close_ctx(ctx);
    }
    // An object whose removal was in flight may be in either form: its values
    // are checked no further.
    auto settled = [&](uint32_t id) {
        return model.live.count(id) && !model.uncertain_objects.count(id);
    };
    for (const auto& [key, expected] : model.values) {
        if (model.uncertain.count(key) || !settled(key.first)) continue;
        std::string value;
        EXPECT_EQ(read_attribute(db, key.first, key.second, ODB_MODE_READ, value), ODB_OK)
            << "object " << key.first << " attribute " << key.second;
        EXPECT_TRUE(value == expected) << "object " << key.first << " attribute " << key.second
                                       << " changed";
    }
    for (const auto& key : model.deleted) {
        if (model.uncertain.count(key) || model.values.count(key) || !settled(key.first)) continue;
        std::string value;
        EXPECT_EQ(read_attribute(db, key.first, key.second, ODB_MODE_READ, value), ODB_E_NO_ATTRIBUTE)
            << "object " << key.first << " attribute " << key.second << " came back";
    }
    for (const auto& key : model.uncertain) {
        if (!settled(key.first)) continue;
        odb_obj_ctx* ctx = nullptr;
        ASSERT_EQ(ODB_obj_create_ctx(db, workload_class, key.first, ODB_MODE_WRITE, &ctx), ODB_OK);
        const odb_status status = ODB_obj_set_attribute(ctx, key.second, 0, nullptr, 0);
        EXPECT_TRUE(status == ODB_OK || status == ODB_E_NO_ATTRIBUTE) << status_text(status);
        ODB_obj_close_ctx(ctx);
        std::string value;
        EXPECT_EQ(read_attribute(db, key.first, key.second, ODB_MODE_READ, value), ODB_E_NO_ATTRIBUTE)
            << "object " << key.first << " attribute " << key.second
            << ": a value cut short by the kill survives its delete";
        model.values.erase(key);
        model.deleted.insert(key);
    }
    model.uncertain.clear();
}

void verify_names(odb_database* db, const workload_model& model, const std::string& trace) {
    SCOPED_TRACE(trace);
    for (uint32_t id : model.live) {
        // An object whose removal was in flight may be in either form, and
        // a removed object has no entry to find.
        if (model.uncertain_objects.count(id)) continue;
        auto name = model.values.find({id, name_attribute});
        if (name == model.values.end()) continue;
        const std::string text = name->second + '\0';
        uint32_t found = 0;
        EXPECT_EQ(ODB_obj_lookup_ex(db, workload_class, name_attribute, ODB_NAME_ANSI, text.data(),
                                    static_cast<uint32_t>(text.size()), &found),
                  ODB_OK)
            << name->second;
        EXPECT_EQ(found, id) << name->second;
    }
}

}  // namespace odb::reliability
