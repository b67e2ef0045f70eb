// Lookup by name (the caller's name rules, folding, what is created) and
// counting a class by index or by walking.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "names/index_bytes.h"
#include "names/name_index.h"
#include "support/child_process.h"
#include "support/file_util.h"

namespace {

using namespace odb::test;

odb_status lookup_wide(walk_db& db, uint32_t cls, const std::u16string& name, uint32_t size,
                       uint32_t* id) {
    return ODB_obj_lookup_ex(db.db(), cls, ODB_NAME_ATTRIBUTE, ODB_NAME_UTF16, name.data(), size,
                             id);
}

uint32_t size_of(const std::u16string& name) { return 2 * static_cast<uint32_t>(name.size() + 1); }

TEST(Lookup, DisabledOrRefusedParameters) {
    walk_db off;
    uint32_t id = 0;
    EXPECT_EQ(off.lookup(1, "a", &id), ODB_E_INVALID_PARAMETER);
    EXPECT_FALSE(path_exists(off.class_dir(1)));

    walk_db db(index_on);
    const char name[] = "a";
    EXPECT_EQ(ODB_obj_lookup_ex(nullptr, 1, ODB_NAME_ATTRIBUTE, 2, name, 2, &id),
              ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, 5, 2, name, 2, &id), ODB_E_INVALID_PARAMETER);
    EXPECT_FALSE(path_exists(db.class_dir(1)));
    const odb_status refused = ODB_E_INVALID_PARAMETER;
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 4, name, 2, &id), refused);
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 2, nullptr, 2, &id), refused);
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 2, name, 0, &id), refused);
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 2, name, 2, nullptr), refused);
    EXPECT_EQ(id, 0u);
}

TEST(Lookup, EmptyClassGetsAnEmptyIndex) {
    walk_db db(index_on);
    uint32_t id = 0;
    EXPECT_EQ(db.lookup(3, "nothing", &id), ODB_E_NO_MORE_ITEMS);
    EXPECT_EQ(read_file(db.index_file(3, -1)).size(), 12u);
    for (int b = 0; b < 16; ++b) EXPECT_EQ(read_file(db.index_file(3, b)), bucket(0)) << b;
    EXPECT_FALSE(path_exists(db.index_file(3, 16)));
}

TEST(Lookup, NameSizeRules) {
    walk_db db(index_on);
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);  // builds the index
    db.make(1, 9, {{ODB_NAME_ATTRIBUTE, "abc"}});

    // Narrow names: the last byte of the caller's buffer must be zero.
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 2, "abc", 4, &id), ODB_OK);
    EXPECT_EQ(id, 9u);
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 2, "abc\0X", 5, &id),
              ODB_E_INVALID_PARAMETER);
    // UTF-16 names: the last whole unit must be zero, so an odd size
    // ignores its final byte.
    const std::u16string abc = u"abc";
    EXPECT_EQ(lookup_wide(db, 1, abc, 9, &id), ODB_OK);
    EXPECT_EQ(lookup_wide(db, 1, abc, 7, &id), ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(lookup_wide(db, 1, abc, 1, &id), ODB_E_INVALID_PARAMETER);

    // 256 characters are accepted (and never found: no entry holds them),
    // 257 are not.
    const std::string long256(256, 'n'), long257(257, 'n');
    EXPECT_EQ(db.lookup(1, long256, &id), ODB_E_NO_MORE_ITEMS);
    EXPECT_EQ(db.lookup(1, long257, &id), ODB_E_INVALID_PARAMETER);
    const std::u16string wide256(256, u'n'), wide257(257, u'n');
    EXPECT_EQ(lookup_wide(db, 1, wide256, size_of(wide256), &id), ODB_E_NO_MORE_ITEMS);
    EXPECT_EQ(lookup_wide(db, 1, wide257, size_of(wide257), &id), ODB_E_INVALID_PARAMETER);
}

TEST(Lookup, FoldsOnlyAToZ) {
    walk_db db(index_on);
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);
    db.make(1, 1, {{ODB_NAME_ATTRIBUTE, "Ab"}});
    db.make(1, 2, {{ODB_NAME_ATTRIBUTE, "aB"}});
    // U+00C9 stored as UTF-16 after a byte-order mark; U+00E9 is its lower
    // case, and both sum to bucket 9.
    db.make(1, 3, {{ODB_NAME_ATTRIBUTE, std::string("\xFF\xFE\xC9\x00", 4)}});

    const std::string names = read_file(db.index_file(1, 3));
    ASSERT_EQ(names.size(), 88u);
    for (const char* form : {"AB", "ab", "aB"}) {
        EXPECT_EQ(db.lookup(1, form, &id), ODB_OK);
        EXPECT_EQ(id, read_le32(names, 10));  // the first entry in the file wins
    }
    EXPECT_EQ(lookup_wide(db, 1, u"\u00C9", 4, &id), ODB_OK);
    EXPECT_EQ(id, 3u);
    EXPECT_EQ(lookup_wide(db, 1, u"\u00E9", 4, &id), ODB_E_NO_MORE_ITEMS);
}

TEST(Lookup, CaseIsFoldedBeforeHashing) {
    // With 16 buckets a change of case moves a sum by a multiple of 32 and
    // keeps the bucket; with 10 or 256 it would not.
    for (const char* hash_count : {"10", "256"}) {
        SCOPED_TRACE(hash_count);
        std::vector<ini_setting> settings = index_on;
        settings.push_back({"NameIndex", "HashCount", hash_count});
        walk_db db(settings);
        uint32_t id = 0;
        ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);
        db.make(1, 7, {{ODB_NAME_ATTRIBUTE, "Ab"}});
        for (const char* form : {"ab", "AB", "Ab"}) {
            id = 0;
            EXPECT_EQ(db.lookup(1, form, &id), ODB_OK) << form;
            EXPECT_EQ(id, 7u) << form;
        }
    }
}

TEST(Lookup, LongBucketsAreScannedWhole) {
    // More entries than one read of the bucket takes in: the match is the
    // last entry, and an update reuses the last free one.
    walk_db db(index_on);
    db.make(1, 5);
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);
    std::string entries;
    for (int i = 0; i < 2000; ++i) entries += free_entry(i % 2 == 0 ? 40 : 42);
    ASSERT_TRUE(write_file(db.index_file(1, 1), bucket(1, entries + entry(40, 77, "a"))));
    EXPECT_EQ(db.lookup(1, "A", &id), ODB_OK);
    EXPECT_EQ(id, 77u);

    odb_obj_ctx* ctx = db.open(1, 5, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_set_attribute(ctx, ODB_NAME_ATTRIBUTE, 0, "q", 1), ODB_OK);
    ODB_obj_close_ctx(ctx);
    const std::string after = read_file(db.index_file(1, 1));
    ASSERT_EQ(after.size(), 8 + entries.size() + 40);
    EXPECT_EQ(after.substr(0, 8), bucket(2));
    EXPECT_EQ(after.substr(8 + entries.size() - 42, 42), entry(42, 5, "q"));
}

TEST(Lookup, AnEntryMatchesOnlyWithEveryUnitAndItsEnd) {
    // Written straight into the buckets "ab" (3), 126 n (4) and 127 n (2)
    // hash to: near misses at either end, then the match last.
    walk_db db(index_on);
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);
    const std::string n126(126, 'n'), n127(127, 'n');
    ASSERT_TRUE(write_file(db.index_file(1, 3),
                           bucket(4, entry(40, 1, "xb") + entry(40, 2, "abc") + entry(40, 3, "b") +
                                         entry(12, 4, "aB"))));  // no room for a terminator
    ASSERT_TRUE(write_file(db.index_file(1, 4), bucket(1, entry(262, 5, n126))));
    ASSERT_TRUE(write_file(db.index_file(1, 2), bucket(1, entry(263, 6, n127))));  // stored cut
    EXPECT_EQ(db.lookup(1, "Ab", &id), ODB_OK);
    EXPECT_EQ(id, 4u);
    EXPECT_EQ(db.lookup(1, n126, &id), ODB_OK);
    EXPECT_EQ(id, 5u);
    EXPECT_EQ(db.lookup(1, n127, &id), ODB_E_NO_MORE_ITEMS);
}

class Count : public ::testing::Test {
protected:
    // Objects 1 ("a") and 2 ("B") indexed; 3 made after the rebuild
    // through a handle with the index off, so only a walk counts it.
    Count() : db_(index_on) {
        db_.make(1, 1, {{ODB_NAME_ATTRIBUTE, "a"}});
        db_.make(1, 2, {{ODB_NAME_ATTRIBUTE, "B"}});
        db_.reopen();  // the names above switched the index off; start over
        uint32_t id = 0;
        EXPECT_EQ(db_.lookup(1, "a", &id), ODB_OK);
        db_.reopen({{"NameIndex", "Enabled", "no"}});
        db_.make(1, 3);
        db_.reopen({{"NameIndex", "Enabled", "yes"}});
    }
    uint32_t count(uint32_t flags = 0) {
        uint32_t n = 0xDEAD;
        EXPECT_EQ(ODB_obj_count(db_.db(), 1, flags, &n), ODB_OK);
        return n;
    }
    walk_db db_;
};

TEST_F(Count, ByIndexOrByWalking) {
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(count(ODB_ENUM_LIVE), 3u);  // any flags walk the class
    EXPECT_EQ(count(ODB_ENUM_REMOVED), 0u);
    uint32_t n = 0;
    EXPECT_EQ(ODB_obj_count(db_.db(), 1, 0, nullptr), ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(ODB_obj_count(nullptr, 1, 0, &n), ODB_E_INVALID_DATABASE);

    // An empty class gets an index of empty buckets.
    EXPECT_EQ(ODB_obj_count(db_.db(), 8, 0, &n), ODB_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(read_file(db_.index_file(8, 15)), bucket(0));

    db_.reopen({{"NameIndex", "Enabled", "no"}});
    EXPECT_EQ(count(), 3u);
}

TEST_F(Count, ARebuildingCountAnswersWhatTheRebuildWrote) {
    // Object 3 came while the index was off; ghosts fill a stale bucket.
    ASSERT_TRUE(write_file(db_.index_file(1, -1), index_header(0, 16, 0)));
    ASSERT_TRUE(write_file(db_.index_file(1, 7), bucket(2, entry(40, 77, "g") + entry(40, 78, "g"))));
    EXPECT_EQ(count(), 3u);
    EXPECT_EQ(read_file(db_.index_file(1, 7)), bucket(0));
    EXPECT_EQ(count(), 3u);  // read back from the rebuilt buckets
}

TEST_F(Count, DamagedBuckets) {
    // A wrong magic makes the count walk the class, and the file is left alone.
    const std::string wrong = le32(0x12345678u) + le32(1) + entry(40, 2, "B");
    ASSERT_TRUE(write_file(db_.index_file(1, 2), wrong));
    EXPECT_EQ(count(), 3u);
    EXPECT_EQ(read_file(db_.index_file(1, 2)), wrong);

    // A bucket shorter than its header adds nothing and is no reason to walk.
    ASSERT_TRUE(write_file(db_.index_file(1, 2), "\x04\x00[["));
    EXPECT_EQ(count(), 1u);

    // Nor does a missing one, which the count creates empty.
    ASSERT_TRUE(DeleteFileW(db_.index_file(1, 2).c_str()));
    EXPECT_EQ(count(), 1u);
    bool exists = false;
    EXPECT_EQ(read_file(db_.index_file(1, 2), &exists), "");
    EXPECT_TRUE(exists);
}

// A seeded random run of everything that makes, names, unnames, removes
// and restores objects, in both storage forms: the index keeps one entry
// per live object, so its count is the walk's and every name finds its
// object.
class IndexFollowsEveryChange : public ::testing::TestWithParam<const char*> {};

TEST_P(IndexFollowsEveryChange, CountAndLookupsAgreeWithTheObjects) {
    std::vector<ini_setting> settings = index_on;
    settings.push_back({"Attribs", "SingleFile", GetParam()});
    settings.push_back({"Attribs", "AutoConvert", "yes"});
    walk_db db(settings);
    std::mt19937 random(20261209);
    std::map<uint32_t, std::string> live, removed;  // identifier -> name ("" for none)
    auto pick = [&](std::map<uint32_t, std::string>& from) {
        auto it = from.begin();
        std::advance(it, random() % from.size());
        return it->first;
    };
    auto check = [&](int step) {
        SCOPED_TRACE("step " + std::to_string(step));
        ASSERT_TRUE(odb::name_index_on(*db.db()));
        uint32_t by_index = 0, by_walk = 0, id = 0;
        EXPECT_EQ(ODB_obj_count(db.db(), 1, 0, &by_index), ODB_OK);
        EXPECT_EQ(ODB_obj_count(db.db(), 1, ODB_ENUM_LIVE, &by_walk), ODB_OK);
        EXPECT_EQ(by_walk, live.size());
        EXPECT_EQ(by_index, by_walk);
        for (const auto& [object, name] : live) {
            if (name.empty()) continue;
            EXPECT_EQ(db.lookup(1, name, &id), ODB_OK) << name;
            EXPECT_EQ(id, object) << name;
        }
    };
    uint32_t id = 0, next_import = 0x1000;
    ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);  // builds the index
    for (int step = 1; step <= 240; ++step) {
        odb_obj_ctx* ctx = nullptr;
        const uint32_t op = random() % 7;
        if (op == 0 || live.empty()) {
            ASSERT_EQ(ODB_obj_new(db.db(), 1, &id, &ctx), ODB_OK);
            live[id] = "";
        } else if (op == 1) {
            id = next_import++;
            ASSERT_EQ(ODB_obj_import(db.db(), 1, id, &ctx), ODB_OK);
            live[id] = "";
        } else if (op == 2 || op == 3) {  // named, or the name deleted, live or removed
            const bool of_removed = !removed.empty() && random() % 2 == 0;
            std::map<uint32_t, std::string>& objects = of_removed ? removed : live;
            id = pick(objects);
            const std::string name = op == 2 ? "Name" + std::to_string(step) : "";
            ctx = db.open(1, id, ODB_MODE_WRITE | (of_removed ? ODB_MODE_REMOVED : 0));
            ASSERT_EQ(ODB_obj_set_attribute(ctx, ODB_NAME_ATTRIBUTE, 0,
                                            op == 2 ? name.data() : nullptr,
                                            static_cast<uint32_t>(name.size())),
                      ODB_OK);
            objects[id] = name;
        } else if (op == 4 || op == 5) {  // removed with any option, live or removed
            const bool again = op == 5 && !removed.empty();
            id = again ? pick(removed) : pick(live);
            // Half of them keep the removed form, to be named or restored.
            const uint32_t options = random() % 2 == 0 ? 0 : 1 + random() % 3;
            ctx = db.open(1, id, ODB_MODE_WRITE | (again ? ODB_MODE_REMOVED : 0));
            ASSERT_EQ(ODB_obj_remove_ex(ctx, options), ODB_OK);
            const std::string name = again ? removed[id] : live[id];
            live.erase(id);
            removed.erase(id);
            if (options == 0) removed[id] = name;
        } else if (!removed.empty()) {
            id = pick(removed);
            ctx = db.open(1, id, ODB_MODE_WRITE | ODB_MODE_REMOVED);
            ASSERT_EQ(ODB_obj_restore(ctx), ODB_OK);
            live[id] = removed[id];
            removed.erase(id);
        }
        if (ctx != nullptr) ODB_obj_close_ctx(ctx);
        if (step % 60 == 0) check(step);
    }
}

INSTANTIATE_TEST_SUITE_P(StorageForms, IndexFollowsEveryChange, ::testing::Values("yes", "no"),
                         [](const auto& info) {
                             return std::string(info.param[0] == 'y' ? "SingleFile"
                                                                      : "PerAttribute");
                         });

TEST(Lookup, RebuildBlockedByAWriterLeavesNoIndex) {
    walk_db db(index_on);
    db.make(1, 1, {{ODB_NAME_ATTRIBUTE, "one"}});
    db.make(1, 2, {{ODB_NAME_ATTRIBUTE, "two"}});
    db.reopen();  // the names above switched the index off
    auto writer = child_process::start_helper(
        {"hold-object", narrow(db.root()), "1", "2", std::to_string(ODB_MODE_WRITE)});
    ASSERT_EQ(writer->read_line(), "held");

    // The rebuild cannot read object 2: it deletes what it built, the
    // lookup fails and the count walks the class instead.
    uint32_t id = 0, count = 0;
    EXPECT_EQ(db.lookup(1, "one", &id), ODB_E_INVALID_PARAMETER);
    EXPECT_FALSE(path_exists(db.index_file(1, 0)));
    EXPECT_EQ(ODB_obj_count(db.db(), 1, 0, &count), ODB_OK);
    EXPECT_EQ(count, 2u);

    writer->close_input();
    EXPECT_EQ(writer->wait(), 0);
    EXPECT_EQ(db.lookup(1, "two", &id), ODB_OK);
    EXPECT_EQ(id, 2u);
}

}  // namespace
