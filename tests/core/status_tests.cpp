// How statuses reach the caller: handle checks before any work, failed opens
// that leave nothing behind, and memory exhaustion at every allocation.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/allocator.h"
#include "store/context.h"
#include "support/database_fixture.h"
#include "support/file_util.h"

namespace {

using namespace odb::test;

odb_database* const untouched_db = reinterpret_cast<odb_database*>(0x1234);
odb_obj_ctx* const untouched_ctx = reinterpret_cast<odb_obj_ctx*>(0x5678);

// Every export that takes a database handle, called with db; each must
// answer ODB_E_INVALID_DATABASE and leave its out-parameters alone.
void expect_every_database_export_refuses(odb_database* db) {
    uint32_t id = 77, first = 77, last = 77, count = 77;
    odb_obj_ctx* ctx = untouched_ctx;
    odb_enum_ctx* walk = nullptr;
    EXPECT_EQ(ODB_obj_new(db, 5, &id, &ctx), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ODB_obj_import(db, 5, 9, &ctx), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ctx, untouched_ctx);
    EXPECT_EQ(ODB_obj_create_ctx(db, 5, 1, ODB_MODE_READ, &ctx), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_EQ(ODB_obj_enum_init(db, 5, ODB_ENUM_LIVE, nullptr, &walk), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ODB_obj_enum(db, &walk, 5, &id), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(walk, nullptr);
    EXPECT_EQ(ODB_obj_lookup_ex(db, 5, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI, "x", 1, &id),
              ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ODB_obj_count(db, 5, ODB_ENUM_LIVE, &count), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ODB_get_free_ids(db, &first, &last), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ODB_steal_ids(db, 10, &first, &last), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ODB_assign_ids(db, 0x100, 0x1ff), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ODB_destroy(db), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ODB_close(db), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(first, 77u);
    EXPECT_EQ(last, 77u);
    EXPECT_EQ(count, 77u);
}

// Every export that takes a context or a walk handle.
void expect_every_context_export_refuses(odb_obj_ctx* ctx, odb_status expected) {
    char buffer[16];
    uint32_t size = sizeof buffer, attribute = 0, length = 0;
    EXPECT_EQ(ODB_obj_change_mode(ctx, ODB_MODE_READ), expected);
    EXPECT_EQ(ODB_obj_get_attribute(ctx, 1, 0, buffer, &size), expected);
    EXPECT_EQ(ODB_obj_set_attribute(ctx, 1, 0, "v", 1), expected);
    EXPECT_EQ(ODB_obj_attribute_enum(ctx, &attribute, &length), expected);
    EXPECT_EQ(ODB_obj_remove(ctx), expected);
    EXPECT_EQ(ODB_obj_remove_ex(ctx, ODB_REMOVE_WIPE), expected);
    EXPECT_EQ(ODB_obj_restore(ctx), expected);
    EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_SIZE, 0, buffer, &size), expected);
    EXPECT_EQ(ODB_obj_close_ctx(ctx), expected);
}

TEST(StatusPropagation, InvalidDatabaseHandleIsRefusedBeforeAnyFileIsTouched) {
    scratch_database scratch;
    make_dir(scratch.class_dir(5));
    const std::vector<std::string> before = list_directory(scratch.root());

    expect_every_database_export_refuses(nullptr);

    // A record that differs from a live handle only in its magic: were its
    // root used, the files would appear in the live database.
    std::vector<unsigned char> forged(sizeof(odb_database));
    std::memcpy(forged.data(), static_cast<const void*>(scratch.db()), forged.size());
    forged[0] ^= 1;
    expect_every_database_export_refuses(reinterpret_cast<odb_database*>(forged.data()));

    EXPECT_EQ(list_directory(scratch.root()), before);
    EXPECT_TRUE(list_directory(scratch.class_dir(5)).empty());
}

TEST(StatusPropagation, NullOrClosedContextIsRefused) {
    scratch_database scratch;
    expect_every_context_export_refuses(nullptr, ODB_E_INVALID_CONTEXT);
    uint32_t id = 0;
    EXPECT_EQ(ODB_obj_enum_ids(nullptr, &id), ODB_E_INVALID_CONTEXT);
    EXPECT_EQ(ODB_obj_enum_close(nullptr), ODB_E_INVALID_CONTEXT);

    // What a closed context looks like: the record cleared to zero.
    odb_obj_ctx closed;
    std::memset(&closed, 0, sizeof closed);
    expect_every_context_export_refuses(&closed, ODB_E_INVALID_CONTEXT);

    // An open context whose database handle is no longer valid.
    std::vector<unsigned char> forged(sizeof(odb_database));
    std::memcpy(forged.data(), static_cast<const void*>(scratch.db()), forged.size());
    forged[0] = forged[1] = 0;
    odb_obj_ctx orphan;
    odb::init_context(orphan, reinterpret_cast<odb_database*>(forged.data()), 5, 1);
    expect_every_context_export_refuses(&orphan, ODB_E_INVALID_DATABASE);
}

TEST(StatusPropagation, HandleOfTheWrongKindIsRefusedAndLeftAsItWas) {
    scratch_database scratch;
    uint32_t id = 0, found = 0;
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_new(scratch.db(), 5, &id, &ctx), ODB_OK);
    odb_enum_ctx* walk = nullptr;
    ASSERT_EQ(ODB_obj_enum_init(scratch.db(), 5, ODB_ENUM_LIVE, nullptr, &walk), ODB_OK);

    expect_every_context_export_refuses(reinterpret_cast<odb_obj_ctx*>(walk), ODB_E_INVALID_CONTEXT);
    odb_enum_ctx* ctx_as_walk = reinterpret_cast<odb_enum_ctx*>(ctx);
    EXPECT_EQ(ODB_obj_enum_ids(ctx_as_walk, &found), ODB_E_INVALID_CONTEXT);
    EXPECT_EQ(ODB_obj_enum(scratch.db(), &ctx_as_walk, 5, &found), ODB_E_INVALID_CONTEXT);
    EXPECT_EQ(ODB_obj_enum(scratch.db(), &ctx_as_walk, 5, nullptr), ODB_E_INVALID_CONTEXT);
    EXPECT_EQ(ODB_obj_enum_close(ctx_as_walk), ODB_E_INVALID_CONTEXT);
    EXPECT_EQ(found, 0u);
    // Nor are database handles and contexts taken for each other.
    expect_every_context_export_refuses(reinterpret_cast<odb_obj_ctx*>(scratch.db()),
                                        ODB_E_INVALID_CONTEXT);
    expect_every_database_export_refuses(reinterpret_cast<odb_database*>(ctx));

    // Both work on as before: the walk from its start, the context with
    // its write lock.
    EXPECT_EQ(ODB_obj_enum_ids(walk, &found), ODB_OK);
    EXPECT_EQ(found, id);
    EXPECT_EQ(ODB_obj_enum_close(walk), ODB_OK);
    EXPECT_EQ(ODB_obj_set_attribute(ctx, 1, 0, "v", 1), ODB_OK);
    EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
}

TEST(StatusPropagation, FailedOpenWritesTheVersionOnly) {
    temp_dir dir;
    const wide_string missing = dir / "missing";
    uint32_t version = 0;
    odb_database* db = untouched_db;
    EXPECT_EQ(ODB_init_w(0, odb_text(missing), &version, &db, 0), ODB_E_NO_DATABASE);
    EXPECT_EQ(version, ODB_VERSION);
    EXPECT_EQ(db, untouched_db);
    EXPECT_FALSE(path_exists(missing));
    // A creation makes the root only, not its missing parents.
    EXPECT_EQ(ODB_init_w(ODB_INIT_CREATE, odb_text(join(missing, "db")), &version, &db, 0),
              ODB_E_MAKE_DIRECTORY);
    EXPECT_EQ(db, untouched_db);
    EXPECT_FALSE(path_exists(missing));

    // A directory without a marker: refused, and nothing is created in it
    // (no configuration lock, no settings file).
    const wide_string empty = dir / "empty";
    ASSERT_TRUE(make_dir(empty));
    version = 0;
    EXPECT_EQ(ODB_init(0, narrow(empty).c_str(), &version, &db, 0), ODB_E_NO_DATABASE);
    EXPECT_EQ(version, ODB_VERSION);
    EXPECT_EQ(db, untouched_db);
    EXPECT_TRUE(list_directory(empty).empty());
}

TEST(StatusPropagation, VersionQueryTouchesNothing) {
    temp_dir dir;
    const wide_string missing = dir / "missing";
    for (uint32_t flags : {ODB_INIT_QUERY_VERSION, ODB_INIT_QUERY_VERSION | ODB_INIT_CREATE}) {
        uint32_t version = 0;
        odb_database* db = untouched_db;
        EXPECT_EQ(ODB_init_w(flags, odb_text(missing), &version, &db, 0), ODB_OK);
        EXPECT_EQ(version, 958u);
        EXPECT_EQ(db, untouched_db);
        version = 0;
        EXPECT_EQ(ODB_init(flags, narrow(missing).c_str(), &version, &db, 0), ODB_OK);
        EXPECT_EQ(version, 958u);
        EXPECT_EQ(db, untouched_db);
    }
    EXPECT_TRUE(list_directory(dir.path()).empty());
}

// What the C++ library throws inside a call (out of memory, a size it
// cannot hold) reaches the caller as a status; the process goes on.
TEST(StatusPropagation, LibraryExceptionsBecomeAStatus) {
    EXPECT_EQ(odb::guarded([] { throw std::length_error("too long"); }), ODB_E_NO_MEMORY);
    EXPECT_EQ(odb::guarded([] { throw std::bad_alloc(); }), ODB_E_NO_MEMORY);
    EXPECT_EQ(odb::guarded_status([]() -> odb_status { throw std::runtime_error("other"); }),
              ODB_E_NO_MEMORY);
}

// Every allocation of the call fails in turn; each failure is reported as
// memory exhaustion, leaves the out-parameters alone, and (checked by the
// leak sanitizer) leaks nothing. The last round succeeds.
TEST(StatusPropagation, MemoryExhaustionIsReportedAndReleasesEverything) {
    scratch_database scratch("[Attribs]\nSingleFile=yes\n");
    struct stop_failing {
        ~stop_failing() { odb::fail_allocation_at(0); }
    } stop;

    unsigned failures = 0;
    for (unsigned k = 1;; ++k) {
        uint32_t version = 0;
        odb_database* db = untouched_db;
        odb::fail_allocation_at(k);
        odb_status status = ODB_init_w(0, odb_text(scratch.root()), &version, &db, 0);
        odb::fail_allocation_at(0);
        EXPECT_EQ(version, ODB_VERSION);
        if (status == ODB_OK) {
            ODB_close(db);
            break;
        }
        ASSERT_EQ(status, ODB_E_NO_MEMORY) << "allocation " << k;
        EXPECT_EQ(db, untouched_db);
        ++failures;
    }
    EXPECT_GE(failures, 1u);

    failures = 0;
    for (unsigned k = 1;; ++k) {
        uint32_t id = 0;
        odb_obj_ctx* ctx = untouched_ctx;
        odb::fail_allocation_at(k);
        odb_status status = ODB_obj_new(scratch.db(), 5, &id, &ctx);
        odb::fail_allocation_at(0);
        if (status == ODB_OK) {
            EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
            break;
        }
        ASSERT_EQ(status, ODB_E_NO_MEMORY) << "allocation " << k;
        EXPECT_EQ(ctx, untouched_ctx);
        ++failures;
    }
    EXPECT_GE(failures, 1u);

    odb_obj_ctx* ctx = untouched_ctx;
    odb::fail_allocation_at(1);
    EXPECT_EQ(ODB_obj_create_ctx(scratch.db(), 5, 1, ODB_MODE_WRITE, &ctx), ODB_E_NO_MEMORY);
    odb::fail_allocation_at(0);
    EXPECT_EQ(ctx, nullptr);
    // Nothing half-made holds the object: a writer gets it at once.
    ASSERT_EQ(ODB_obj_create_ctx(scratch.db(), 5, 1, ODB_MODE_WRITE, &ctx), ODB_OK);
    EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
}

}  // namespace
