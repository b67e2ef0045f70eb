// Attribute reads and writes through the exports, the per-attribute form
// (one .DAT file per attribute) and the single-file form (ATTRIBS.FDB) side
// by side: where they agree and where they differ on purpose.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "attrs/attribute_io.h"
#include "attrs/record_file.h"
#include "store/context.h"
#include "store/object_path.h"
#include "support/attrs_fixture.h"
#include "support/child_process.h"

namespace odb::test {
namespace {

constexpr uint32_t cls = 0x21;

odb_status set(odb_obj_ctx* ctx, uint32_t attribute, uint32_t offset, const std::string& data) {
    return ODB_obj_set_attribute(ctx, attribute, offset, data.data(),
                                 static_cast<uint32_t>(data.size()));
}

odb_status erase(odb_obj_ctx* ctx, uint32_t attribute) {
    return ODB_obj_set_attribute(ctx, attribute, 0, nullptr, 0);
}

// The whole value from offset 0 (asking for its size first); "<status>"
// when it cannot be read.
std::string value(odb_obj_ctx* ctx, uint32_t attribute) {
    uint32_t size = 0;
    odb_status status = ODB_obj_get_attribute(ctx, attribute, 0, nullptr, &size);
    if (status != ODB_OK) return "<" + std::to_string(status) + ">";
    std::string out(size, '\0');
    status = ODB_obj_get_attribute(ctx, attribute, 0, &out[0], &size);
    if (status != ODB_OK) return "<" + std::to_string(status) + ">";
    EXPECT_EQ(size, out.size());
    return out;
}

class Attributes : public ::testing::Test {
protected:
    Attributes() : db(settings_text({false, false, true, false})) {
        // The per-attribute object is what ODB_obj_new makes with SingleFile
        // off; the single-file one differs only by its ATTRIBS.FDB.
        per_file = new_object(db.db(), cls, &per_file_id);
        single = new_object(db.db(), cls, &single_id);
        record_file attributes;
        attributes.create(object_file(db, cls, single_id, "ATTRIBS.FDB").c_str());
        // Made behind the back of the context's lock, which no writer can
        // do: the context takes its lock again, and so learns the form anew.
        EXPECT_EQ(ODB_obj_change_mode(single.get(), ODB_MODE_READ), ODB_OK);
        EXPECT_EQ(ODB_obj_change_mode(single.get(), ODB_MODE_WRITE), ODB_OK);
    }

    // An attribute's last change as ODB_obj_get_info reports it.
    odb_attribute_change_info change(odb_obj_ctx* ctx, uint32_t attribute) {
        odb_attribute_change_info info = {};
        uint32_t length = sizeof info;
        EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_ATTRIBUTE_CHANGES, attribute, &info, &length), ODB_OK);
        return info;
    }

    scratch_database db;
    uint32_t per_file_id = 0, single_id = 0;
    ctx_ptr per_file, single;
};

TEST_F(Attributes, ReadsReportTheWholeSizeWhateverTheBuffer) {
    for (odb_obj_ctx* ctx : {per_file.get(), single.get()}) {
        SCOPED_TRACE(ctx == single.get() ? "single file" : "per attribute");
        ASSERT_EQ(set(ctx, 7, 0, "0123456789"), ODB_OK);

        uint32_t size = 0xDEAD;
        EXPECT_EQ(ODB_obj_get_attribute(ctx, 7, 0, nullptr, &size), ODB_OK);
        EXPECT_EQ(size, 10u);

        char buffer[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
        size = 4;
        EXPECT_EQ(ODB_obj_get_attribute(ctx, 7, 0, buffer, &size), ODB_OK);
        EXPECT_EQ(size, 10u);
        EXPECT_EQ(std::string(buffer, 8), "0123####");

        size = 8;
        EXPECT_EQ(ODB_obj_get_attribute(ctx, 8, 0, buffer, &size), ODB_E_NO_ATTRIBUTE);
        EXPECT_EQ(size, 8u) << "a failed read leaves the size alone";
        EXPECT_EQ(ODB_obj_get_attribute(ctx, 7, 0, buffer, nullptr), ODB_E_INVALID_PARAMETER);
        EXPECT_EQ(ODB_obj_get_attribute(nullptr, 7, 0, buffer, &size), ODB_E_INVALID_CONTEXT);
    }
}

TEST_F(Attributes, OffsetsPerAttributeAndOnlyZeroForSingleFileReads) {
    ASSERT_EQ(set(per_file.get(), 7, 0, "0123456789"), ODB_OK);
    ASSERT_EQ(set(single.get(), 7, 0, "0123456789"), ODB_OK);

    char buffer[16] = {};
    uint32_t size = sizeof buffer;
    EXPECT_EQ(ODB_obj_get_attribute(per_file.get(), 7, 4, buffer, &size), ODB_OK);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    size = sizeof buffer;
    EXPECT_EQ(ODB_obj_get_attribute(per_file.get(), 7, 10, buffer, &size), ODB_OK);
    EXPECT_EQ(size, 0u);
    size = sizeof buffer;
    EXPECT_EQ(ODB_obj_get_attribute(per_file.get(), 7, 11, buffer, &size), ODB_E_OFFSET_BEYOND_END);
    EXPECT_EQ(ODB_obj_get_attribute(per_file.get(), 7, 0x80000000u, buffer, &size),
              ODB_E_ATTRIBUTE_SEEK);

    // A write that cannot reach its offset fails without leaving a value.
    EXPECT_EQ(set(per_file.get(), 8, 0x80000000u, "x"), ODB_E_ATTRIBUTE_SEEK);
    EXPECT_FALSE(attribute_exists(*per_file, 8));
    EXPECT_EQ(set(per_file.get(), 7, 0x80000000u, "x"), ODB_E_ATTRIBUTE_SEEK);
    EXPECT_EQ(value(per_file.get(), 7), "0123456789");

    for (uint32_t attribute : {7u, 8u}) {
        size = sizeof buffer;
        EXPECT_EQ(ODB_obj_get_attribute(single.get(), attribute, 1, buffer, &size), ODB_E_ATTRIBUTE_SEEK)
            << "attribute " << attribute << " (8 does not exist)";
        EXPECT_EQ(size, sizeof buffer);
    }
}

// A file no write of the new object's context made, put there by hand, is
// written over as in any other object: its start replaced, its tail kept.
TEST_F(Attributes, AFileFoundInANewObjectIsWrittenOverAsAnyOther) {
    ASSERT_TRUE(write_file(attribute_file(db, cls, per_file_id, 9), "planted!"));
    ASSERT_EQ(set(per_file.get(), 9, 0, "new"), ODB_OK);
    EXPECT_EQ(value(per_file.get(), 9), "newnted!");
}

TEST_F(Attributes, WritesAtOffsetsAndShorterRewrites) {
    // A missing attribute written at offset 8: the file form fills the gap,
    // the single-file form stores the value from byte 0.
    ASSERT_EQ(set(per_file.get(), 1, 8, "data"), ODB_OK);
    ASSERT_EQ(set(single.get(), 1, 8, "data"), ODB_OK);
    EXPECT_EQ(value(per_file.get(), 1), std::string(8, '\0') + "data");
    EXPECT_EQ(value(single.get(), 1), "data");

    for (odb_obj_ctx* ctx : {per_file.get(), single.get()}) {
        ASSERT_EQ(set(ctx, 2, 0, "0123456789"), ODB_OK);
        ASSERT_EQ(set(ctx, 3, 0, "0123456789"), ODB_OK);
        ASSERT_EQ(set(ctx, 4, 0, "0123456789"), ODB_OK);
    }
    // Fewer bytes at offset 0: both keep ten bytes, with different tails.
    ASSERT_EQ(set(per_file.get(), 2, 0, "abc"), ODB_OK);
    ASSERT_EQ(set(single.get(), 2, 0, "abc"), ODB_OK);
    EXPECT_EQ(value(per_file.get(), 2), "abc3456789");
    EXPECT_EQ(value(single.get(), 2), std::string("abc") + std::string(7, '\0'));

    // No bytes at offset 0: the file form is untouched, the record zeroed.
    ASSERT_EQ(set(per_file.get(), 3, 0, ""), ODB_OK);
    ASSERT_EQ(set(single.get(), 3, 0, ""), ODB_OK);
    EXPECT_EQ(value(per_file.get(), 3), "0123456789");
    EXPECT_EQ(value(single.get(), 3), std::string(10, '\0'));

    // Inside the value and past its end, both forms agree.
    for (odb_obj_ctx* ctx : {per_file.get(), single.get()}) {
        SCOPED_TRACE(ctx == single.get() ? "single file" : "per attribute");
        ASSERT_EQ(set(ctx, 4, 2, "XY"), ODB_OK);
        EXPECT_EQ(value(ctx, 4), "01XY456789");
        ASSERT_EQ(set(ctx, 4, 12, "Z"), ODB_OK);
        EXPECT_EQ(value(ctx, 4), std::string("01XY456789\0\0Z", 13));
    }
}

TEST_F(Attributes, DeletesInBothFormsAndHowTheyAreTracked) {
    for (odb_obj_ctx* ctx : {per_file.get(), single.get()}) {
        ASSERT_EQ(set(ctx, 5, 0, "gone soon"), ODB_OK);
        EXPECT_EQ(erase(ctx, 5), ODB_OK);
        EXPECT_FALSE(attribute_exists(*ctx, 5));
        EXPECT_EQ(value(ctx, 5), "<" + std::to_string(ODB_E_NO_ATTRIBUTE) + ">");
        EXPECT_EQ(change(ctx, 5).deleted, 1u);
    }
    EXPECT_FALSE(path_exists(attribute_file(db, cls, per_file_id, 5)));

    // Deleting what is not there succeeds in both forms; the single-file
    // form records it as an update, the file form as a deletion.
    EXPECT_EQ(erase(per_file.get(), 6), ODB_OK);
    EXPECT_EQ(erase(single.get(), 6), ODB_OK);
    EXPECT_EQ(change(per_file.get(), 6).deleted, 1u);
    EXPECT_EQ(change(single.get(), 6).deleted, 0u);
    EXPECT_NE(change(single.get(), 6).changed.year, 0u);
    EXPECT_FALSE(path_exists(attribute_file(db, cls, per_file_id, 6)));
}

TEST_F(Attributes, ReadOnlyContextsCannotWrite) {
    ASSERT_EQ(set(per_file.get(), 1, 0, "kept"), ODB_OK);
    ASSERT_EQ(set(single.get(), 1, 0, "kept"), ODB_OK);
    per_file.reset();
    single.reset();
    for (uint32_t id : {per_file_id, single_id}) {
        ctx_ptr reader = open_object(db.db(), cls, id, ODB_MODE_READ);
        ASSERT_TRUE(reader);
        EXPECT_EQ(set(reader.get(), 1, 0, "changed"), ODB_E_NOT_WRITABLE);
        EXPECT_EQ(set(reader.get(), 2, 0, "new"), ODB_E_NOT_WRITABLE);
        EXPECT_EQ(erase(reader.get(), 1), ODB_E_NOT_WRITABLE);
        EXPECT_EQ(value(reader.get(), 1), "kept");
        EXPECT_FALSE(attribute_exists(*reader, 2));
    }
}

TEST_F(Attributes, NumbersZeroAndAllOnesOnlyInTheFileForm) {
    // The single-file form cannot name them: 0 marks free records and
    // 0xFFFFFFFF matches every record. A free record leads the file and a
    // value follows, so a careless search would find one or the other.
    ASSERT_EQ(set(single.get(), 5, 0, "freed"), ODB_OK);
    ASSERT_EQ(set(single.get(), 6, 0, "in use"), ODB_OK);
    ASSERT_EQ(erase(single.get(), 5), ODB_OK);
    const wide_string fdb = object_file(db, cls, single_id, "ATTRIBS.FDB");
    const std::string before = read_file(fdb);
    for (uint32_t attribute : {0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(attribute);
        uint32_t size = 0;
        EXPECT_EQ(ODB_obj_get_attribute(single.get(), attribute, 0, nullptr, &size), ODB_E_NO_ATTRIBUTE);
        EXPECT_EQ(set(single.get(), attribute, 0, "x"), ODB_E_INVALID_PARAMETER);
        EXPECT_EQ(set(single.get(), attribute, 3, "x"), ODB_E_INVALID_PARAMETER);
        EXPECT_EQ(erase(single.get(), attribute), ODB_E_INVALID_PARAMETER);
        EXPECT_FALSE(attribute_exists(*single, attribute));

        EXPECT_EQ(set(per_file.get(), attribute, 0, "plain"), ODB_OK);
        EXPECT_EQ(value(per_file.get(), attribute), "plain");
        EXPECT_TRUE(attribute_exists(*per_file, attribute));
    }
    EXPECT_EQ(read_file(fdb), before);
    EXPECT_EQ(value(single.get(), 6), "in use");
    EXPECT_TRUE(path_exists(attribute_file(db, cls, per_file_id, 0)));
    EXPECT_TRUE(path_exists(object_file(db, cls, per_file_id, "ffffffff.DAT")));
}

TEST(AttributeText, ReadsUtf16AfterTheMarkAndWidensBytesWithSignExtension) {
    WCHAR out[5];
    attribute_text("\xFF\xFE" "A\0B\0C\0D\0E\0", 12, out, 5);
    EXPECT_EQ(narrow(out), "ABCD") << "cut to capacity - 1";
    attribute_text("\xFF\xFE" "x\0\0\0y\0", 8, out, 5);
    EXPECT_EQ(narrow(out), "x");
    attribute_text("a\x80\xFF", 3, out, 5);
    EXPECT_EQ(static_cast<unsigned>(out[0]), 'a');
    EXPECT_EQ(static_cast<unsigned>(out[1]), 0xFF80u);
    EXPECT_EQ(static_cast<unsigned>(out[2]), 0xFFFFu);
    EXPECT_EQ(static_cast<unsigned>(out[3]), 0u);
    attribute_text("\xFF", 1, out, 5);
    EXPECT_EQ(static_cast<unsigned>(out[0]), 0xFFFFu) << "a lone 0xFF is 8-bit text";
    attribute_text(nullptr, 4, out, 5);
    EXPECT_EQ(static_cast<unsigned>(out[0]), 0u);
}

// Values far larger than any block the engine copies with: written whole,
// rewritten in pieces at offsets (one growing past the end, which moves the
// record in the single-file form), and read back whole and in pieces.
TEST_F(Attributes, LargeValuesWholeAndInPieces) {
    const uint32_t mib = 1024 * 1024;
    const uint32_t total = 64 * mib, piece = 4 * mib;
    // Byte i of a value of the given seed; a byte at a wrong offset differs.
    auto pattern = [](uint32_t i, uint32_t seed) {
        return static_cast<char>((i >> 24) + (i >> 16) * 7 + (i >> 8) * 13 + i * 29 + seed);
    };
    const uint32_t pieces[] = {3, 33 * mib + 5, 62 * mib};
    const uint32_t grown = 62 * mib + piece;
    auto expected = [&](uint32_t i) {
        for (uint32_t at : pieces)
            if (i >= at && i - at < piece) return pattern(i, 2);
        return pattern(i, 1);
    };
    auto first_wrong = [&](const std::string& data, uint32_t from) -> uint32_t {
        for (uint32_t i = 0; i < data.size(); ++i)
            if (data[i] != expected(from + i)) return from + i;
        return 0xFFFFFFFFu;
    };

    std::string buffer;
    for (odb_obj_ctx* ctx : {per_file.get(), single.get()}) {
        SCOPED_TRACE(ctx == single.get() ? "single file" : "per attribute");
        buffer.assign(total, '\0');
        for (uint32_t i = 0; i < total; ++i) buffer[i] = pattern(i, 1);
        ASSERT_EQ(ODB_obj_set_attribute(ctx, 9, 0, buffer.data(), total), ODB_OK);
        std::string part(piece, '\0');
        for (uint32_t at : pieces) {
            for (uint32_t i = 0; i < piece; ++i) part[i] = pattern(at + i, 2);
            ASSERT_EQ(ODB_obj_set_attribute(ctx, 9, at, part.data(), piece), ODB_OK);
        }

        buffer.assign(grown, '\0');
        uint32_t size = grown;
        ASSERT_EQ(ODB_obj_get_attribute(ctx, 9, 0, &buffer[0], &size), ODB_OK);
        EXPECT_EQ(size, grown);
        EXPECT_EQ(first_wrong(buffer, 0), 0xFFFFFFFFu);

        // A short buffer from the start: the first bytes, the whole size.
        part.assign(mib, '\0');
        size = mib;
        ASSERT_EQ(ODB_obj_get_attribute(ctx, 9, 0, &part[0], &size), ODB_OK);
        EXPECT_EQ(size, grown);
        EXPECT_EQ(first_wrong(part, 0), 0xFFFFFFFFu);
    }
    buffer.clear();
    buffer.shrink_to_fit();

    // Pieces at offsets, where offsets can be read.
    std::string part(mib, '\0');
    for (uint32_t at : {1u, 33 * mib + 1, grown - mib / 2}) {
        uint32_t size = mib;
        ASSERT_EQ(ODB_obj_get_attribute(per_file.get(), 9, at, &part[0], &size), ODB_OK);
        EXPECT_EQ(size, grown - at);
        const uint32_t got = size < mib ? size : mib;
        EXPECT_EQ(first_wrong(part.substr(0, got), at), 0xFFFFFFFFu) << "at " << at;
    }
}

// A writer and a reader of one attribute in two processes. The writer (the
// helper) rewrites the value whole, alternately all 'A' and all 'B'; every
// read must give one of them whole, or report that the writer holds the
// value at that moment. Nothing waits on a clock: the reader makes a fixed
// number of reads while the writer runs, then tells it to stop.
TEST_F(Attributes, AConcurrentReaderNeverSeesATornValue) {
    const uint32_t size = 64 * 1024;
    per_file.reset();
    single.reset();
    struct form_case {
        const char* name;
        uint32_t id;
        odb_status busy;  // what a read returns while the writer holds the value
    };
    for (const form_case& form : {form_case{"per attribute", per_file_id, ODB_E_ATTRIBUTE_IN_USE},
                                  form_case{"single file", single_id, ODB_E_FILE_ACCESS}}) {
        SCOPED_TRACE(form.name);
        const wide_string stop = db.dir() / (std::string("stop-") + hex_name(form.id)).c_str();
        auto writer = child_process::start_helper(
            {"rewrite-attribute", narrow(db.root()), hex_name(cls), hex_name(form.id), "3e",
             std::to_string(size), narrow(stop), "200000"});
        ASSERT_EQ(writer->read_line(), "ready");

        // Mode 0: no object lock, so the writer's lock does not keep us out.
        ctx_ptr reader = open_object(db.db(), cls, form.id, 0);
        ASSERT_TRUE(reader);
        const std::string all_a(size, 'A'), all_b(size, 'B');
        std::string buffer(size, '\0');
        int refused = 0;
        for (int i = 0; i < 400; ++i) {
            uint32_t got = size;
            const odb_status status = ODB_obj_get_attribute(reader.get(), 0x3e, 0, &buffer[0], &got);
            if (status == form.busy) {
                ++refused;
                continue;
            }
            ASSERT_EQ(status, ODB_OK);
            ASSERT_EQ(got, size);
            ASSERT_TRUE(buffer == all_a || buffer == all_b) << "torn value at read " << i;
        }
        ASSERT_TRUE(write_file(stop, ""));
        const std::string done = writer->read_line();
        EXPECT_EQ(done.substr(0, 5), "done ") << done;
        EXPECT_EQ(writer->wait(), 0);
        // How many reads the writer refused is up to the scheduler; once it
        // is gone, the value reads whole.
        uint32_t got = size;
        ASSERT_EQ(ODB_obj_get_attribute(reader.get(), 0x3e, 0, &buffer[0], &got), ODB_OK);
        EXPECT_TRUE(got == size && (buffer == all_a || buffer == all_b));
        RecordProperty(std::string(form.name) == "single file" ? "single_file_refused"
                                                                : "per_attribute_refused",
                       refused);
    }
}

}  // namespace
}  // namespace odb::test
