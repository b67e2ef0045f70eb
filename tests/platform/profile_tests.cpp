// Private-profile files byte for byte: what the writes produce (the same
// bytes from KERNEL32 and from our layer, so a database moves between the
// two), and what the reads make of files written by hand.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/handle.h"
#include "support/file_util.h"
#ifndef _WIN32
#include "support/forked_child.h"
#endif
#include "support/open_forms.h"
#include "support/temp_dir.h"

namespace {

using namespace odb::test;

class Profiles : public ::testing::Test {
protected:
    std::string get(const char* section, const char* key, const char* fallback = "",
                    DWORD size = 256) {
        std::basic_string<WCHAR> buffer(size + 1, WCHAR('#'));
        DWORD length =
            GetPrivateProfileStringW(widen(section).c_str(), widen(key).c_str(),
                                     widen(fallback).c_str(), &buffer[0], size, ini.c_str());
        EXPECT_EQ(buffer[length], WCHAR(0));
        return narrow(buffer.substr(0, length));
    }
    UINT get_int(const char* section, const char* key, int fallback = 7) {
        return GetPrivateProfileIntW(widen(section).c_str(), widen(key).c_str(), fallback,
                                     ini.c_str());
    }
    bool put(const char* section, const char* key, const char* value) {
        wide_string k = key ? widen(key) : wide_string(), v = value ? widen(value) : wide_string();
        return WritePrivateProfileStringW(widen(section).c_str(), key ? k.c_str() : nullptr,
                                          value ? v.c_str() : nullptr, ini.c_str()) != FALSE;
    }

    temp_dir dir;
    wide_string ini = dir / "TEST.INI";
};

TEST_F(Profiles, WritesProduceTheCanonicalBytes) {
    EXPECT_EQ(get("First", "b", "absent"), "absent");  // a missing file reads as empty
    EXPECT_EQ(get_int("First", "b", 5), 5u);
    ASSERT_TRUE(put("First", "b", "2"));
    ASSERT_TRUE(put("First", "a", "1"));
    ASSERT_TRUE(put("Second", "key", "value"));
    ASSERT_TRUE(put("first", "B", "3"));         // sections and keys match ignoring case
    ASSERT_TRUE(put("First", "c", "  spaced"));  // leading spaces of a value are dropped
    unsigned char abacus[] = "abacus";           // with its NUL: 7 bytes
    ASSERT_TRUE(WritePrivateProfileStructW(ODB_W("Third"), ODB_W("Bin"), abacus, sizeof abacus,
                                           ini.c_str()));
    EXPECT_EQ(read_file(ini),
              "[First]\r\nb=3\r\na=1\r\nc=spaced\r\n"
              "[Second]\r\nkey=value\r\n"
              "[Third]\r\nBin=616261637573006F\r\n");

    ASSERT_TRUE(put("First", "a", nullptr));       // no value: the key goes
    ASSERT_TRUE(put("SECOND", nullptr, nullptr));  // no key: the section goes
    ASSERT_TRUE(put("Third", "new", "x"));
    EXPECT_EQ(read_file(ini),
              "[First]\r\nb=3\r\nc=spaced\r\n[Third]\r\nBin=616261637573006F\r\nnew=x\r\n");
}

TEST_F(Profiles, ReadsTrimUnquoteAndTakeTheFirstMatch) {
    ASSERT_TRUE(write_file(ini,
                           "; comment=1\r\n"
                           "  [Sec]  \r"  // CR-only line ends
                           "  key1 =  value one  \r\n"
                           "KEY2=\"quoted\"\n"  // LF-only
                           "key3='single'\n"
                           "key4=\"unbalanced\n"
                           "key5=mid;not a comment\n"
                           "bare line\n"
                           "key1=second\n"
                           "[sec]\n"
                           "key6=in a later section of the same name\n"));
    EXPECT_EQ(get("Sec", "key1"), "value one");
    EXPECT_EQ(get("SEC", "Key2"), "quoted");
    EXPECT_EQ(get("Sec", "key3"), "single");
    EXPECT_EQ(get("Sec", "key4"), "\"unbalanced");
    EXPECT_EQ(get("Sec", "key5"), "mid;not a comment");
    EXPECT_EQ(get("Sec", "bare line", "none"), "none");
    EXPECT_EQ(get("Sec", "key6", "none"), "none");
    EXPECT_EQ(get("Sec", "missing", "fallback  "), "fallback");  // a default loses trailing spaces
    EXPECT_EQ(get("Nowhere", "key1", "fallback"), "fallback");
    EXPECT_EQ(get(" Sec ", " key1 "), "value one");
}

TEST_F(Profiles, StringsThatDoNotFitAreCut) {
    ASSERT_TRUE(put("S", "k", "abcdef"));
    EXPECT_EQ(get("S", "k", "", 4), "abc");
    EXPECT_EQ(get("S", "k", "", 6), "abcde");
    EXPECT_EQ(get("S", "k", "", 7), "abcdef");
    EXPECT_EQ(get("S", "missing", "default", 4), "def");
}

TEST_F(Profiles, IntegersWrapAndStopAtTheFirstNonDigit) {
    ASSERT_TRUE(write_file(ini,
                           "[N]\r\nminus=-1\r\nmixed=42A9\r\nletter=B42\r\nempty=\r\nplus=+12\r\n"
                           "big=4294967297\r\nspaced=  17  \r\n"));
    EXPECT_EQ(get_int("N", "minus"), 4294967295u);
    EXPECT_EQ(get_int("N", "mixed"), 42u);
    EXPECT_EQ(get_int("N", "letter"), 0u);
    EXPECT_EQ(get_int("N", "empty"), 7u);
    EXPECT_EQ(get_int("N", "plus"), 12u);
    EXPECT_EQ(get_int("N", "big"), 1u);
    EXPECT_EQ(get_int("N", "spaced"), 17u);
    EXPECT_EQ(get_int("N", "missing", -2), 4294967294u);
    EXPECT_EQ(get_int("Missing", "minus"), 7u);
}

TEST_F(Profiles, SectionNamesAreADoubleNulListCutToSizeMinusTwo) {
    ASSERT_TRUE(write_file(ini, "[a]\r\nk=v\r\n[bb]\r\n[ccc]\r\nx=y\r\n"));
    WCHAR buffer[32];
    DWORD length = GetPrivateProfileSectionNamesW(buffer, 32, ini.c_str());
    ASSERT_EQ(length, 9u);
    EXPECT_EQ(wide_string(buffer, 10), wide_string(ODB_W("a\0bb\0ccc\0\0"), 10));

    length = GetPrivateProfileSectionNamesW(buffer, 5, ini.c_str());
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(wide_string(buffer, 5), wide_string(ODB_W("a\0b\0\0"), 5));

    buffer[0] = 'x';
    EXPECT_EQ(GetPrivateProfileSectionNamesW(buffer, 32, (dir / "MISSING.INI").c_str()), 0u);
    EXPECT_EQ(buffer[0], WCHAR(0));
}

TEST_F(Profiles, StructuresCarryAChecksumThatReadsVerify) {
    unsigned char written[16], read[16];
    for (int i = 0; i < 16; ++i) written[i] = static_cast<unsigned char>(i * 37 + 200);
    ASSERT_TRUE(WritePrivateProfileStructW(ODB_W("S"), ODB_W("Time"), written, 16, ini.c_str()));
    ASSERT_TRUE(GetPrivateProfileStructW(ODB_W("S"), ODB_W("Time"), read, 16, ini.c_str()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(read), 16),
              std::string(reinterpret_cast<char*>(written), 16));

    ASSERT_TRUE(write_file(
        ini,
        "[S]\r\nlower=616261637573006f\r\nsum=616261637573006E\r\nshort=6162616375736F\r\n"
        "long=616261637573000000\r\nhex=61626163757300G0\r\n"));
    unsigned char abacus[7] = {};
    EXPECT_TRUE(GetPrivateProfileStructW(ODB_W("S"), ODB_W("lower"), abacus, 7, ini.c_str()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(abacus), 7), std::string("abacus", 7));
    for (const char* key : {"sum", "short", "long", "hex", "missing"}) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(
            GetPrivateProfileStructW(ODB_W("S"), widen(key).c_str(), abacus, 7, ini.c_str()));
    }
}

TEST_F(Profiles, KeyListsLeaveOutLinesWithoutAnEqualsSign) {
    ASSERT_TRUE(write_file(ini, "[S]\r\nname1=val1\r\nname2=\r\nname3\r\nname4=val4\r\n"));
    WCHAR buffer[64];
    DWORD length = GetPrivateProfileStringW(ODB_W("S"), nullptr, ODB_W(""), buffer, 64, ini.c_str());
    ASSERT_EQ(length, 18u);
    EXPECT_EQ(wide_string(buffer, 19), wide_string(ODB_W("name1\0name2\0name4\0\0"), 19));
}

// UTF-16LE with its mark, as Windows editors save a file.
std::string utf16le_with_mark(const std::string& ascii) {
    std::string bytes = "\xFF\xFE";
    for (char c : ascii) bytes += std::string{c, '\0'};
    return bytes;
}

TEST_F(Profiles, Utf16FilesAreReadAndWrittenBackAsUtf16) {
    ASSERT_TRUE(write_file(ini, utf16le_with_mark("[NameIndex]\r\nEnabled=yes\r\nName=Zo") +
                                    std::string("\xEB\0\r\0\n\0", 6)));
    EXPECT_EQ(get("NameIndex", "Enabled"), "yes");
    WCHAR name[8];
    ASSERT_EQ(GetPrivateProfileStringW(ODB_W("NameIndex"), ODB_W("Name"), ODB_W(""), name, 8,
                                       ini.c_str()),
              3u);
    EXPECT_EQ(wide_string(name, 3), wide_string(ODB_W("Zo\x00EB")));
    ASSERT_TRUE(put("NameIndex", "HashCount", "10"));
    EXPECT_EQ(read_file(ini), utf16le_with_mark("[NameIndex]\r\nEnabled=yes\r\nName=Zo") +
                                  std::string("\xEB\0\r\0\n\0", 6) +
                                  utf16le_with_mark("HashCount=10\r\n").substr(2));
}

// The profile functions open the file as any other open does: a handle
// that does not share writing refuses a write, one that does not share
// reading refuses a read too, and a refused write leaves the file alone.
TEST_F(Profiles, FilesHeldOpenRefuseWhatTheirHolderDoesNotShare) {
    const std::string text = "[S]\r\nk=v\r\n";
    ASSERT_TRUE(write_file(ini, text));
    EXPECT_EQ(get("S", "k", "default"), "v");  // read before: a holder refuses it all the same
    {
        odb::file_handle holder(open_in_form(ini.c_str(), *find_open_form("exclusive")));
        ASSERT_TRUE(holder.valid());
        EXPECT_EQ(get("S", "k", "default"), "default");
        EXPECT_FALSE(put("S", "k", "new"));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(get("S", "k", "default"), "default");
    }
    {
        odb::file_handle holder(open_in_form(ini.c_str(), *find_open_form("read")));
        ASSERT_TRUE(holder.valid());
        EXPECT_FALSE(put("S", "added", "x"));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(get("S", "k", "default"), "v");
    }
    EXPECT_EQ(read_file(ini), text);
}

// Within one process the calls never refuse each other: a read that meets
// a write sees the value before it or after it, never the default.
TEST_F(Profiles, ReadsAndWritesOfOneProcessNeverRefuseEachOther) {
    ASSERT_TRUE(put("S", "k", "0"));
    std::thread writer([this] {
        for (int i = 1; i <= 300; ++i) put("S", "k", std::to_string(i).c_str());
    });
    int defaults = 0;
    for (int i = 0; i < 300; ++i)
        if (get("S", "k", "default") == "default") ++defaults;
    writer.join();
    EXPECT_EQ(defaults, 0);
    EXPECT_EQ(get("S", "k"), "300");
}

// A file changed behind the profile functions' back is read as it is now,
// however little changed: replaced by one of the same size, rewritten in
// place with the same size, deleted.
TEST_F(Profiles, ReadsSeeEveryChangeMadeSinceTheLastRead) {
    namespace fs = std::filesystem;
    const fs::path path(narrow(ini)), other(narrow(dir / "OTHER.INI"));
    ASSERT_TRUE(write_file(ini, "[S]\r\nk=1\r\n"));
    EXPECT_EQ(get("S", "k"), "1");
    ASSERT_TRUE(write_file(dir / "OTHER.INI", "[S]\r\nk=2\r\n"));
    fs::rename(other, path);
    EXPECT_EQ(get("S", "k"), "2");
    ASSERT_TRUE(write_file(ini, "[S]\r\nk=3\r\n"));
    fs::last_write_time(path, fs::last_write_time(path) - std::chrono::hours(1));
    EXPECT_EQ(get("S", "k"), "3");
    fs::remove(path);
    EXPECT_EQ(get("S", "k", "gone"), "gone");
}

#ifndef _WIN32
// The files read are kept open (see profile.cpp); none is left open once
// this layer deletes it, or in a forked child.
TEST_F(Profiles, NoDescriptorOfAFileOutlivesItsDeleteOrAFork) {
    ASSERT_TRUE(write_file(ini, "[S]\r\nk=1\r\n"));
    EXPECT_EQ(get("S", "k"), "1");
    forked_child child([&] { return std::to_string(descriptors_on(ini)); });
    EXPECT_EQ(child.answer(), "0");
    EXPECT_EQ(child.finish(), 0);
    ASSERT_TRUE(DeleteFileW(ini.c_str()));
    EXPECT_EQ(descriptors_on(ini), 0);
}
#endif

TEST_F(Profiles, WritesWithoutASectionOrAFileNameAreRefused) {
    EXPECT_FALSE(WritePrivateProfileStringW(nullptr, ODB_W("k"), ODB_W("v"), ini.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(WritePrivateProfileStringW(ODB_W("S"), ODB_W("k"), ODB_W("v"), ODB_W("")));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(path_exists(ini));
}

TEST_F(Profiles, RewritingKeepsCommentsAndDropsBlankLines) {
    ASSERT_TRUE(write_file(ini, "; top\r\n\r\n[S]\r\n  a = 1 \r\n\r\n;note\r\nb=2\r\n"));
    ASSERT_TRUE(put("S", "a", "9"));
    EXPECT_EQ(read_file(ini), "; top\r\n[S]\r\na=9\r\n;note\r\nb=2\r\n");
}

}  // namespace
