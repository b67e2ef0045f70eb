// Opening, creating, destroying and closing databases; where a root lies.
#include <gtest/gtest.h>

#include <string>

#include "core/database.h"
#include "core/tree_ops.h"
#include "support/child_process.h"
#include "support/database_fixture.h"
#include "support/file_util.h"
#include "support/mount_point.h"

namespace {

using namespace odb::test;

const std::string marker("Quillmar Security System\0", 25);

// The root after a creation: the marker, and the configuration lock that
// reading the settings creates.
void expect_fresh_root(const wide_string& root) {
    for (const std::string& name : list_directory(root))
        EXPECT_TRUE(name == "QMFILEDB.FDB" || name == "DBCFG.FDB") << name;
    EXPECT_EQ(read_file(join(root, "QMFILEDB.FDB")), marker);
}

wide_string root_of(odb_database* db) { return wide_string(db->root); }

TEST(DatabaseLifecycle, CreationWritesTheMarkerAndNeverOverwritesADatabase) {
    scratch_database scratch;
    expect_fresh_root(scratch.root());

    ASSERT_TRUE(write_file(join(scratch.root(), "keep.txt"), "kept"));
    ASSERT_TRUE(make_dir(scratch.class_dir(5)));
    const auto before = list_directory(scratch.root());
    uint32_t version = 0;
    odb_database* db = nullptr;
    EXPECT_EQ(ODB_init_w(ODB_INIT_CREATE, odb_text(scratch.root()), &version, &db, 0),
              ODB_E_DATABASE_EXISTS);
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(list_directory(scratch.root()), before);
    EXPECT_EQ(read_file(join(scratch.root(), "keep.txt")), "kept");
}

TEST(DatabaseLifecycle, CreationWipesAForeignDirectory) {
    temp_dir dir;
    const wide_string root = dir / "db";
    ASSERT_TRUE(make_dir(root));
    ASSERT_TRUE(make_dir(join(root, "sub")));
    const std::string secret = "secret contents that must not survive";
    ASSERT_TRUE(write_file(join(root, "a.txt"), secret));
    ASSERT_TRUE(write_file(join(join(root, "sub"), "b.txt"), secret));
    // Not a marker: one letter differs in case.
    ASSERT_TRUE(write_file(join(root, "QMFILEDB.FDB"), std::string("quillmar Security System\0", 25)));
    const bool linked = make_hard_link(join(root, "a.txt"), dir / "a-link.txt");
    // Links lead out of the tree: they go, what they point to stays.
    const wide_string outside = dir / "outside";
    ASSERT_TRUE(make_dir(outside));
    ASSERT_TRUE(write_file(join(outside, "precious.txt"), secret));
    const bool symlinked = make_symbolic_link(outside, join(root, "dir-link")) &&
                           make_symbolic_link(join(outside, "precious.txt"), join(root, "file-link"));

    uint32_t version = 0;
    odb_database* db = nullptr;
    ASSERT_EQ(ODB_init_w(ODB_INIT_CREATE, odb_text(root), &version, &db, 0), ODB_OK);
    database_ptr owner(db);
    expect_fresh_root(root);

    // The contents were overwritten before the name went, so the second
    // link no longer holds them.
    if (linked) {
        const std::string survivor = read_file(dir / "a-link.txt");
        EXPECT_EQ(survivor.size(), secret.size());
        EXPECT_EQ(survivor.find("secret"), std::string::npos);
    }
    if (symlinked) {
        EXPECT_EQ(list_directory(outside), std::vector<std::string>{"precious.txt"});
        EXPECT_EQ(read_file(join(outside, "precious.txt")), secret);
    }
}

// A root that is a volume of its own cannot be removed: creation still
// wipes what it holds and uses it, and destroy empties it and succeeds.
TEST(DatabaseLifecycle, RootThatIsAMountPointIsUsedAndEmptied) {
    temp_dir dir;
    const wide_string root = dir / "volume";
    ASSERT_TRUE(make_dir(root));
    scoped_mount volume(root);
    if (!volume.mounted()) GTEST_SKIP() << volume.why();
    ASSERT_TRUE(write_file(join(root, "foreign.txt"), "foreign"));
    ASSERT_TRUE(make_dir(join(root, "sub")));

    uint32_t version = 0;
    odb_database* db = nullptr;
    ASSERT_EQ(ODB_init_w(ODB_INIT_CREATE, odb_text(root), &version, &db, 0), ODB_OK);
    expect_fresh_root(root);
    EXPECT_EQ(ODB_destroy(db), ODB_OK);
    EXPECT_EQ(ODB_close(db), ODB_OK);
    EXPECT_TRUE(list_directory(root).empty());
}

// A plain file where the root should be is no directory to hold a marker;
// it is left as it was.
TEST(DatabaseLifecycle, PlainFileAtTheRootCannotHoldAMarker) {
    temp_dir dir;
    const wide_string root = dir / "db";
    ASSERT_TRUE(write_file(root, "a file"));
    uint32_t version = 0;
    odb_database* db = nullptr;
    EXPECT_EQ(ODB_init_w(ODB_INIT_CREATE, odb_text(root), &version, &db, 0), ODB_E_MARKER_WRITE);
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(read_file(root), "a file");
}

TEST(DatabaseLifecycle, MarkerIsCheckedOnItsFirst24Bytes) {
    temp_dir dir;
    const wide_string root = dir / "db";
    ASSERT_TRUE(make_dir(root));
    const wide_string marker_file = join(root, "QMFILEDB.FDB");

    ASSERT_TRUE(write_file(marker_file, "Quillmar Security System, and more bytes after it"));
    odb_status status = ODB_OK;
    EXPECT_TRUE(open_database(root, &status)) << std::hex << status;

    ASSERT_TRUE(write_file(marker_file, std::string("Quillmar security System\0", 25)));
    EXPECT_FALSE(open_database(root, &status));
    EXPECT_EQ(status, ODB_E_NO_DATABASE);

    ASSERT_TRUE(write_file(marker_file, "Quillmar Security Syste"));
    EXPECT_FALSE(open_database(root, &status));
    EXPECT_EQ(status, ODB_E_NO_DATABASE);
}

TEST(DatabaseLifecycle, DestroyWaitsForEveryOtherHandle) {
    scratch_database scratch;
    database_ptr second = scratch.second_handle();
    ASSERT_TRUE(second);

    EXPECT_EQ(ODB_destroy(scratch.db()), ODB_E_DATABASE_IN_USE);
    EXPECT_EQ(ODB_destroy(second.get()), ODB_E_DATABASE_IN_USE);
    // Both handles still work, and each still counts as a user.
    for (odb_database* db : {scratch.db(), second.get()}) {
        uint32_t id = 0;
        odb_obj_ctx* ctx = nullptr;
        ASSERT_EQ(ODB_obj_new(db, 5, &id, &ctx), ODB_OK);
        EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
    }
    second.reset();

    // A handle held by another process counts the same.
    auto holder = child_process::start_helper({"hold-database", narrow(scratch.root())});
    ASSERT_EQ(holder->read_line(), "held");
    EXPECT_EQ(ODB_destroy(scratch.db()), ODB_E_DATABASE_IN_USE);
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_new(scratch.db(), 5, &id, &ctx), ODB_OK);
    EXPECT_EQ(id, 3u);
    EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
    holder->write_line("release");
    EXPECT_EQ(holder->wait(), 0);

    // The last handle may destroy; it stays allocated until closed.
    EXPECT_EQ(ODB_destroy(scratch.db()), ODB_OK);
    EXPECT_FALSE(path_exists(scratch.root()));
}

TEST(DatabaseLifecycle, CloseAfterDestroySucceeds) {
    temp_dir dir;
    uint32_t version = 0;
    odb_database* db = nullptr;
    ASSERT_EQ(ODB_init_w(ODB_INIT_CREATE, odb_text(dir / "db"), &version, &db, 0), ODB_OK);
    EXPECT_EQ(ODB_destroy(db), ODB_OK);
    EXPECT_EQ(ODB_close(db), ODB_OK);
    EXPECT_TRUE(list_directory(dir.path()).empty());
}

TEST(DatabaseRoot, BareNameLivesBesideTheExecutableAndOneTrailingSeparatorGoes) {
    const wide_string exe_dir(odb::executable_directory().c_str());
    ASSERT_FALSE(exe_dir.empty());
    // Unique among test runs that share the executable's directory.
    temp_dir unique;
    const std::string taken = narrow(unique.path());
    const std::string name = taken.substr(taken.find_last_of("\\/") + 1) + "-bare";

    uint32_t version = 0;
    odb_database* db = nullptr;
    ASSERT_EQ(ODB_init(ODB_INIT_CREATE, name.c_str(), &version, &db, 0), ODB_OK);
    EXPECT_EQ(root_of(db), exe_dir + widen(name));
    EXPECT_TRUE(path_exists(exe_dir + widen(name + std::string(1, ODB_PATH_SEPARATOR) + "QMFILEDB.FDB")));
    EXPECT_EQ(ODB_destroy(db), ODB_OK);
    EXPECT_EQ(ODB_close(db), ODB_OK);
    EXPECT_FALSE(path_exists(exe_dir + widen(name)));

    // An empty name, "." and ".." name no directory beside the executable:
    // resolved, they would be the executable's own directory or its parent.
    // (Opened, not created: were they accepted, nothing would be wiped.)
    for (const char* not_a_name : {"", ".", ".."}) {
        db = nullptr;
        EXPECT_EQ(ODB_init(0, not_a_name, &version, &db, 0), ODB_E_INVALID_PARAMETER) << not_a_name;
        EXPECT_EQ(db, nullptr);
    }

    scratch_database scratch;
    database_ptr trailing = open_database(scratch.root() + ODB_PATH_SEPARATOR);
    ASSERT_TRUE(trailing);
    EXPECT_EQ(root_of(trailing.get()), scratch.root());

    // The rules themselves, on paths that need not exist.
    auto resolved = [](const char* path) {
        odb::path_buffer root(widen(path).c_str());
        odb::resolve_root(root);
        return narrow(root.c_str());
    };
    EXPECT_EQ(resolved("mydb"), narrow(exe_dir) + "mydb");
    EXPECT_EQ(resolved("sub\\mydb"), "sub\\mydb");
    EXPECT_EQ(resolved("sub/mydb/"), "sub/mydb");
#ifdef _WIN32
    EXPECT_EQ(resolved("C:mydb"), "C:mydb");
#else
    // Drive letters are Windows's: here a colon is part of a bare name.
    EXPECT_EQ(resolved("x:db"), narrow(exe_dir) + "x:db");
#endif
    EXPECT_EQ(resolved("\\\\server\\share\\db\\"), "\\\\server\\share\\db");
    EXPECT_EQ(resolved("/"), "/");
#ifdef _WIN32
    EXPECT_EQ(resolved("C:\\"), "C:\\");
#endif
}

TEST(DatabaseRoot, PathsThatCannotFitAreRefused) {
    temp_dir dir;
    // The longest path built below a root is
    // root\class\bucket\slot.RMV\attribute.DAT: 44 units after the root, and
    // the terminator must still fit in 260.
    const std::size_t longest_root = 260 - 1 - 44;
    const wide_string base = dir.path() + ODB_PATH_SEPARATOR;
    ASSERT_LT(base.size() + 1, longest_root);
    const wide_string fits = base + wide_string(longest_root - base.size(), 'r');
    const wide_string too_long = fits + wide_string(1, 'r');

    uint32_t version = 0;
    odb_database* db = nullptr;
    EXPECT_EQ(ODB_init_w(ODB_INIT_CREATE, odb_text(too_long), &version, &db, 0), ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(db, nullptr);
    EXPECT_TRUE(list_directory(dir.path()).empty());
    const wide_string far_too_long = base + wide_string(400, 'r');
    EXPECT_EQ(ODB_init_w(ODB_INIT_CREATE, odb_text(far_too_long), &version, &db, 0),
              ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(ODB_init(ODB_INIT_CREATE, narrow(far_too_long).c_str(), &version, &db, 0),
              ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(db, nullptr);
    EXPECT_TRUE(list_directory(dir.path()).empty());

    // At the limit, the longest path works: a removed object's attribute file.
    ASSERT_EQ(ODB_init_w(ODB_INIT_CREATE, odb_text(fits), &version, &db, 0), ODB_OK);
    database_ptr owner(db);
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_new(db, 0xFFFFFFFF, &id, &ctx), ODB_OK);
    ctx_ptr object(ctx);
    ASSERT_EQ(ODB_obj_set_attribute(ctx, 0xFFFFFFFF, 0, "v", 1), ODB_OK);
    ASSERT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);
    char value[4] = {};
    uint32_t size = sizeof value;
    EXPECT_EQ(ODB_obj_get_attribute(ctx, 0xFFFFFFFF, 0, value, &size), ODB_OK);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(value[0], 'v');

#ifndef _WIN32
    // The 8-bit path is UTF-8 here; a path that is not valid UTF-8 is refused.
    const std::string invalid = narrow(dir.path()) + "/\xff\xfe";
    EXPECT_EQ(ODB_init(ODB_INIT_CREATE, invalid.c_str(), &version, &db, 0), ODB_E_INVALID_PARAMETER);
#endif
}

TEST(DatabaseDirectories, MakeDirectoryCreatesOneLevel) {
    temp_dir dir;
    const wide_string fresh = dir / "fresh";
    EXPECT_EQ(odb::guarded([&] { EXPECT_EQ(odb::make_directory(fresh.c_str()), 0); }), ODB_OK);
    EXPECT_EQ(odb::guarded([&] { EXPECT_EQ(odb::make_directory(fresh.c_str()), 1); }), ODB_OK);
    const wide_string orphan = join(dir / "missing", "child");
    EXPECT_EQ(odb::guarded([&] { odb::make_directory(orphan.c_str()); }), ODB_E_MAKE_DIRECTORY);
    EXPECT_FALSE(path_exists(dir / "missing"));
}

}  // namespace
