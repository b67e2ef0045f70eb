// The attribute filter of object walks: every comparison kind and the
// rules by which criteria with and without the or-flag combine, on objects
// kept in either storage form.
#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/walk_fixture.h"

namespace {

using namespace odb::test;
using ids = std::vector<uint32_t>;

class AttributeFilter : public ::testing::TestWithParam<const char*> {
protected:
    // Imported objects start in the per-attribute form; AutoConvert moves
    // them into ATTRIBS.FDB at their first write.
    AttributeFilter()
        : db_({{"Attribs", "SingleFile", GetParam()}, {"Attribs", "AutoConvert", "yes"}}) {
        // 1: text "abc", number 5, an empty value. 2: text "ABD", number
        // 10, a 3-byte value. 3: nothing at all.
        db_.make(1, 1, {{1, std::string("abc\0", 4)}, {2, le32(5)}, {3, ""}});
        db_.make(1, 2, {{1, std::string("ABD\0", 4)}, {2, le32(10)}, {4, "xyz"}});
        db_.make(1, 3);
        const bool single_file = GetParam()[0] == 'y';
        EXPECT_EQ(!list_dir(db_.object_dir(1, 2)).empty() &&
                      list_dir(db_.object_dir(1, 2))[0] == "ATTRIBS.FDB",
                  single_file);
    }

    ids matching(std::vector<odb_enum_criterion> criteria, uint32_t flags = ODB_ENUM_LIVE) {
        odb_enum_filter filter = {};
        filter.criteria = criteria.data();
        filter.criteria_count = static_cast<uint32_t>(criteria.size());
        return db_.walk(1, flags | ODB_ENUM_MATCH, &filter);
    }

    static odb_enum_criterion on(uint32_t attribute, uint32_t operation, const std::string& value) {
        return {attribute, operation, static_cast<uint32_t>(value.size()), value.data()};
    }

    walk_db db_;
};

TEST_P(AttributeFilter, EachComparisonKind) {
    const std::string abc("abc\0", 4), upper_abc("ABC\0", 4), abc_two_zeros("abc\0\0", 5);
    const std::string seven = le32(7), ten = le32(10), pattern_a("a*\0", 3), pattern_class("{a}*\0", 5);
    const std::string xyz = "xyz", empty;

    EXPECT_EQ(matching({on(1, ODB_MATCH_PRESENT, empty)}), (ids{1, 2}));
    EXPECT_EQ(matching({on(1, ODB_MATCH_ABSENT, empty)}), (ids{3}));
    EXPECT_EQ(matching({on(3, ODB_MATCH_BYTES, empty)}), (ids{1}));  // two empty values
    EXPECT_EQ(matching({on(1, ODB_MATCH_BYTES, abc)}), (ids{1}));
    EXPECT_EQ(matching({on(1, ODB_MATCH_BYTES, upper_abc)}), ids{});
    EXPECT_EQ(matching({on(1, ODB_MATCH_TEXT, upper_abc)}), (ids{1}));
    EXPECT_EQ(matching({on(1, ODB_MATCH_TEXT, abc_two_zeros)}), ids{});  // lengths differ
    EXPECT_EQ(matching({on(1, ODB_MATCH_TEXT, "abc")}), ids{});          // no terminator
    EXPECT_EQ(matching({on(2, ODB_MATCH_LESS, seven)}), (ids{1}));
    EXPECT_EQ(matching({on(2, ODB_MATCH_GREATER, seven)}), (ids{2}));
    EXPECT_EQ(matching({on(2, ODB_MATCH_EQUAL, ten)}), (ids{2}));
    // The criterion's length is not consulted for numbers; a 3-byte
    // attribute is never a number.
    EXPECT_EQ(matching({{2, ODB_MATCH_EQUAL, 0, ten.data()}}), (ids{2}));
    EXPECT_EQ(matching({on(4, ODB_MATCH_EQUAL, "xyz\0")}), ids{});
    EXPECT_EQ(matching({on(1, ODB_MATCH_WILDCARD, pattern_a)}), (ids{1, 2}));
    EXPECT_EQ(matching({on(1, ODB_MATCH_WILDCARD, pattern_class)}), (ids{1}));  // classes do not fold
    EXPECT_EQ(matching({on(4, ODB_MATCH_WILDCARD, pattern_a)}), ids{});  // value without zero
    // Unknown kinds pass whenever the attribute exists; bits above the
    // or-flag are ignored.
    EXPECT_EQ(matching({on(3, 64, empty)}), (ids{1}));
    EXPECT_EQ(matching({on(4, 0xFE000000u | ODB_MATCH_BYTES, xyz)}), (ids{2}));
}

TEST_P(AttributeFilter, LessAndGreaterExcludeTheLimit) {
    const std::string five = le32(5), ten = le32(10);
    EXPECT_EQ(matching({on(2, ODB_MATCH_LESS, ten)}), (ids{1}));
    EXPECT_EQ(matching({on(2, ODB_MATCH_LESS, five)}), ids{});
    EXPECT_EQ(matching({on(2, ODB_MATCH_GREATER, five)}), (ids{2}));
    EXPECT_EQ(matching({on(2, ODB_MATCH_GREATER, ten)}), ids{});
}

TEST_P(AttributeFilter, CriteriaCombine) {
    const std::string ten = le32(10);
    const odb_enum_criterion a = on(3, ODB_MATCH_PRESENT, "");      // object 1 only
    const odb_enum_criterion b = on(2, ODB_MATCH_EQUAL, ten);       // object 2 only
    odb_enum_criterion a_or = a, b_or = b;
    a_or.operation |= ODB_MATCH_OR;
    b_or.operation |= ODB_MATCH_OR;

    EXPECT_EQ(matching({a, b_or}), (ids{1}));     // the plain criterion decides
    EXPECT_EQ(matching({a_or, b_or}), (ids{1, 2}));  // any one of them
    EXPECT_EQ(matching({a_or, b}), (ids{2}));     // the plain one decides again
    EXPECT_EQ(matching({a, b}), ids{});
    EXPECT_EQ(matching({}), (ids{1, 2, 3}));      // the empty list passes everything
    EXPECT_EQ(db_.walk(1, ODB_ENUM_LIVE | ODB_ENUM_MATCH, nullptr), (ids{1, 2, 3}));

    // Candidates are opened in the one kind the walk's flags name (here
    // removed): live ones fail to open and pass only the empty list.
    odb_obj_ctx* ctx = db_.open(1, 2, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);
    ODB_obj_close_ctx(ctx);
    const uint32_t both = ODB_ENUM_LIVE | ODB_ENUM_REMOVED;
    EXPECT_EQ(matching({}, both), (ids{1, 2, 3}));
    EXPECT_EQ(matching({on(1, ODB_MATCH_PRESENT, "")}, both), (ids{2}));
}

TEST_P(AttributeFilter, CandidateHeldByAWriterIsPassedOver) {
    auto writer = child_process::start_helper(
        {"hold-object", narrow(db_.root()), "1", "2", std::to_string(ODB_MODE_WRITE)});
    ASSERT_EQ(writer->read_line(), "held");
    // Its read-only open waits out the lock time-out and fails: rejected,
    // unless the list is empty.
    EXPECT_EQ(matching({on(1, ODB_MATCH_PRESENT, "")}), (ids{1}));
    EXPECT_EQ(matching({}), (ids{1, 2, 3}));
    writer->close_input();
    EXPECT_EQ(writer->wait(), 0);
    EXPECT_EQ(matching({on(1, ODB_MATCH_PRESENT, "")}), (ids{1, 2}));
}

INSTANTIATE_TEST_SUITE_P(StorageForms, AttributeFilter, ::testing::Values("yes", "no"),
                         [](const auto& info) {
                             return std::string(info.param[0] == 'y' ? "SingleFile"
                                                                      : "PerAttribute");
                         });

}  // namespace
