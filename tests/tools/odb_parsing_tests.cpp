// The tool's own parsing and file handling, tested directly: the values and
// criteria people type, the text conversions between the library's UTF-16
// and the terminal's UTF-8, base64 in dumps, times, and the INI editing that
// must keep DBCFG.INI readable by the library's profile reader.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "errors.h"
#include "settings.h"
#include "support/temp_dir.h"
#include "text.h"
#include "values.h"

namespace {

using namespace odbtool;

TEST(OdbText, Utf8AndUtf16) {
    // Two, three and four bytes; the last one becomes a surrogate pair.
    const std::string text = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    const std::u16string units = utf8_to_utf16(text);
    EXPECT_EQ(units, (std::u16string{0x00E9, 0x20AC, 0xD83D, 0xDE00}));
    EXPECT_EQ(utf16_to_utf8(units), text);
    for (const char* bad : {"\xc0\x80", "\x80", "\xe2\x82", "\xed\xa0\x80", "\xf4\x90\x80\x80"})
        EXPECT_THROW(utf8_to_utf16(bad), usage_error) << bad;
    EXPECT_EQ(utf16_to_utf8(std::u16string{0xD800, u'a'}), "\xef\xbf\xbd" "a");

    // Values read the way the name index reads them: 8-bit bytes widened
    // with sign extension, UTF-16 after the byte-order mark, both cut at
    // their first zero.
    EXPECT_EQ(value_text_units({'A', 0xE9, 0, 'x'}), (std::u16string{u'A', 0xFFE9}));
    EXPECT_EQ(value_text_units({0xFF, 0xFE, 'H', 0, 'i', 0, 0, 0, 'x', 0}), u"Hi");
    EXPECT_EQ(value_text_units(bytes(600, 'a')).size(), 256u);
    EXPECT_EQ(value_text(utf16_value("Zo\xc3\xab")), "Zo\xc3\xab");
    EXPECT_TRUE(looks_like_text(text_value("plain")));
    EXPECT_TRUE(looks_like_text(utf16_value("wide")));
    EXPECT_FALSE(looks_like_text(u32_value(12)));
    EXPECT_FALSE(looks_like_text(u32_value(3390)));  // 3e 0d 00 00: '>', CR and two zeros
    EXPECT_FALSE(looks_like_text({'a', 0, 'b'}));
    EXPECT_EQ(value_preview(u32_value(12)), "hex 0c000000 (u32 12)");
    EXPECT_EQ(value_preview(text_value("a\"b")), "\"a\\\"b\"");
}

TEST(OdbText, NumbersHexAndBase64) {
    EXPECT_EQ(parse_hex32("0x1F", "class"), 0x1Fu);
    EXPECT_EQ(parse_hex32("ffffffff", "class"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_attribute("NAME"), ODB_NAME_ATTRIBUTE);
    for (const char* bad : {"", "0x", "123456789", "-1", "1g"})
        EXPECT_THROW(parse_hex32(bad, "class"), usage_error) << bad;
    EXPECT_EQ(parse_u32("4294967295", "n"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_u32("0x10", "n"), 16u);
    EXPECT_THROW(parse_u32("4294967296", "n"), usage_error);
    EXPECT_THROW(parse_u32("12k", "n"), usage_error);

    EXPECT_EQ(from_hex("0x00 ff:10"), (bytes{0x00, 0xFF, 0x10}));
    EXPECT_THROW(from_hex("abc"), usage_error);
    EXPECT_THROW(from_hex("zz"), usage_error);

    EXPECT_EQ(to_base64({'f'}), "Zg==");
    EXPECT_EQ(to_base64({'f', 'o'}), "Zm8=");
    EXPECT_EQ(to_base64({'f', 'o', 'o'}), "Zm9v");
    bytes every;
    for (int i = 0; i < 256; ++i) every.push_back(static_cast<unsigned char>(255 - i));
    for (std::size_t length = 0; length <= 7; ++length) {
        bytes value(every.begin(), every.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(from_base64(to_base64(value)), value) << length;
    }
    EXPECT_EQ(from_base64(to_base64(every)), every);
    for (const char* bad : {"Zg=", "Z===", "Zg==Zg==", "Zm9*"})
        EXPECT_THROW(from_base64(bad), tool_error) << bad;
}

TEST(OdbText, UtcTimes) {
    odb_systemtime leap = parse_utc_time("2024-02-29T23:59:59.5Z");
    EXPECT_EQ(leap.year, 2024);
    EXPECT_EQ(leap.day, 29);
    EXPECT_EQ(leap.day_of_week, 4);  // a Thursday
    EXPECT_EQ(leap.milliseconds, 500);
    EXPECT_EQ(format_utc_time(leap), "2024-02-29T23:59:59.500Z");
    odb_systemtime date = parse_utc_time("2026-12-08");
    EXPECT_EQ(date.hour + date.minute + date.second, 0);
    EXPECT_EQ(parse_utc_time("2026-12-08 04:05").minute, 5);
    for (const char* bad : {"2023-02-29", "2026-13-01", "2026-12-08T24:00", "2026-12-08T10:00+01:00",
                            "26-12-08", "2026-12-08T10:00:00."})
        EXPECT_THROW(parse_utc_time(bad), usage_error) << bad;
}

TEST(OdbValues, ValuesAndCriteria) {
    EXPECT_EQ(parse_value("abc"), (bytes{'a', 'b', 'c', 0}));
    EXPECT_EQ(parse_value("text:hex:1"), (bytes{'h', 'e', 'x', ':', '1', 0}));
    EXPECT_EQ(parse_value("utf16:A"), (bytes{0xFF, 0xFE, 'A', 0}));
    EXPECT_EQ(parse_value("u32:0x01020304"), (bytes{4, 3, 2, 1}));
    EXPECT_TRUE(parse_value("hex:").empty());
    auto assignment = parse_assignment("name=utf16:Bob=1");
    EXPECT_EQ(assignment.first, ODB_NAME_ATTRIBUTE);
    EXPECT_EQ(assignment.second.size(), 2u + 5 * 2);
    EXPECT_THROW(parse_assignment("=x"), usage_error);

    criteria list;
    list.where("10=Apple");
    list.where("11~a*");
    list.where("12<5");
    list.where("12>0x10");
    list.where("13=u32:7");
    list.where("14=hex:0001");
    list.has("15");
    list.lacks("name");
    list.any();
    odb_enum_filter filter = list.filter();
    ASSERT_EQ(filter.criteria_count, 8u);
    const uint32_t kinds[] = {ODB_MATCH_TEXT,  ODB_MATCH_WILDCARD, ODB_MATCH_LESS,    ODB_MATCH_GREATER,
                              ODB_MATCH_EQUAL, ODB_MATCH_BYTES,    ODB_MATCH_PRESENT, ODB_MATCH_ABSENT};
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(filter.criteria[i].operation, kinds[i] | ODB_MATCH_OR) << i;
    EXPECT_EQ(filter.criteria[0].value_length, 6u);  // "Apple" and its zero byte
    EXPECT_EQ(std::memcmp(filter.criteria[3].value, "\x10\0\0\0", 4), 0);
    EXPECT_EQ(filter.criteria[7].attribute, ODB_NAME_ATTRIBUTE);
    for (const char* bad : {"10", "=x", "10~", "10<x"}) EXPECT_THROW(list.where(bad), usage_error) << bad;
}

class OdbSettingsFile : public ::testing::Test {
protected:
    std::filesystem::path file(const std::string& content) {
        std::filesystem::path path = odb::test::narrow(temp_ / "DBCFG.INI");
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        return path;
    }
    static std::string read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    odb::test::temp_dir temp_;
};

TEST_F(OdbSettingsFile, ReadsAndEditsLikeTheProfileFunctions) {
    // LF and CR line ends, spaces, quotes, a comment, and a section and a
    // key that appear twice: the first of each counts.
    auto path = file("; settings\n[ nameindex ]\n enabled = \"Yes\" \nEnabled=no\rHashCount=40\n"
                     "[Attribs]\nSingleFile=yes\n[NameIndex]\nLifeTime=5\n");
    ini_file ini = ini_file::load(path);
    EXPECT_EQ(ini.get("NameIndex", "Enabled"), std::optional<std::string>("Yes"));
    EXPECT_EQ(ini.get("NAMEINDEX", "hashcount"), std::optional<std::string>("40"));
    EXPECT_FALSE(ini.get("NameIndex", "LifeTime"));
    EXPECT_FALSE(ini.get("Tracking", "ObjectChanges"));

    ini.set("NameIndex", "HashCount", "8");             // replaced in place
    ini.set("NameIndex", "MinEntrySize", "20");         // end of its section
    ini.set("Tracking", "ObjectChanges", "yes");        // new section at the end
    ini.save(path);
    EXPECT_EQ(read(path),
              "; settings\r\n[ nameindex ]\r\n enabled = \"Yes\" \r\nEnabled=no\r\nHashCount=8\r\n"
              "MinEntrySize=20\r\n[Attribs]\r\nSingleFile=yes\r\n[NameIndex]\r\nLifeTime=5\r\n"
              "[Tracking]\r\nObjectChanges=yes\r\n");
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".odb-new"));

    // What the library makes of the values.
    auto effective = [](const char* name, const char* raw) {
        return effective_value(*find_setting(name), raw ? std::optional<std::string>(raw) : std::nullopt);
    };
    EXPECT_EQ(effective("NameIndex.Enabled", "YES"), "yes");
    EXPECT_EQ(effective("NameIndex.Enabled", "true"), "no");
    EXPECT_EQ(effective("NameIndex.HashCount", "1000"), "256");
    EXPECT_EQ(effective("NameIndex.HashCount", "0"), "1");
    EXPECT_EQ(effective("NameIndex.MinEntrySize", "65556"), "20");
    EXPECT_EQ(effective("NameIndex.MinEntrySize", "300"), "256");
    EXPECT_EQ(effective("NameIndex.LockSleep", "-1"), "4294967295");
    EXPECT_EQ(effective("NameIndex.LifeTime", "42A9"), "42");
    EXPECT_EQ(effective("NameIndex.LifeTime", ""), "1800");
    EXPECT_EQ(effective("IdAssignment.LastId", "zz"), "fffffff0");
    EXPECT_EQ(effective("IdAssignment.FirstId", nullptr), "00000001");

    setting_change change = parse_setting_change("attribs.singlefile=YES");
    EXPECT_EQ(change.section + "." + change.key + "=" + change.value, "Attribs.SingleFile=yes");
    EXPECT_EQ(parse_setting_change("IdAssignment.LastId=0000ABCD").value, "0000abcd");
    EXPECT_THROW(parse_setting_change("NameIndex.MinEntrySize=128"), usage_error);
    EXPECT_EQ(parse_setting_change("NameIndex.MinEntrySize=127").value, "127");  // the largest room an entry has
}

TEST_F(OdbSettingsFile, ClassCounters) {
    const std::filesystem::path dir = odb::test::narrow(temp_.path());
    EXPECT_EQ(read_class_counter(dir).state, class_counter::missing);
    write_class_counter(dir, std::nullopt);
    EXPECT_EQ(read_class_counter(dir).state, class_counter::empty);
    write_class_counter(dir, 0x1F);
    EXPECT_EQ(read(dir / "OBJID.FDB"), "Next ID=0000001f");
    class_counter counter = read_class_counter(dir);
    EXPECT_EQ(counter.state, class_counter::valid);
    EXPECT_EQ(counter.next, 0x1Fu);
    std::ofstream(dir / "OBJID.FDB", std::ios::binary | std::ios::trunc) << "Next id=00000002";
    EXPECT_EQ(read_class_counter(dir).state, class_counter::damaged);
}

}  // namespace
