// Directories and searches: the error codes the engine tells apart, and
// wildcards with their DOS meanings, matched without regard to case.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/extensions.h"
#include "platform/handle.h"
#include "support/database_fixture.h"
#include "support/child_process.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

namespace {

using namespace odb::test;
using odb::find_handle;

// The names a search returns, sorted (the order is the file system's).
std::vector<std::string> search(const wide_string& pattern, DWORD* error = nullptr) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    find_handle find(FindFirstFileW(pattern.c_str(), &data));
    if (!find) {
        if (error != nullptr) *error = GetLastError();
        return names;
    }
    do names.push_back(narrow(data.cFileName));
    while (FindNextFileW(find.get(), &data));
    if (error != nullptr) *error = GetLastError();
    std::sort(names.begin(), names.end());
    return names;
}

using names = std::vector<std::string>;

class Directories : public ::testing::Test {
protected:
    temp_dir dir;
};

TEST_F(Directories, CreateAndRemoveTellTheCasesApart) {
    const wide_string sub = dir / "sub", file = dir / "file.dat";
    ASSERT_TRUE(write_file(file, "x"));
    EXPECT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryW(sub.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(file.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(join(dir / "missing", "sub").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    ASSERT_TRUE(write_file(join(sub, "inner.dat"), "x"));
    EXPECT_FALSE(RemoveDirectoryW(sub.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_TRUE(DeleteFileW(join(sub, "inner.dat").c_str()));
    EXPECT_TRUE(RemoveDirectoryW(sub.c_str()));
    EXPECT_FALSE(RemoveDirectoryW(sub.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(RemoveDirectoryW(join(dir / "missing", "sub").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(RemoveDirectoryW(file.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
}

class Searches : public Directories {
protected:
    void SetUp() override {
        // Only names that are their own 8.3 short names (and "two.dots.dat",
        // whose short name matches what it matches): Windows and Wine also
        // match a pattern against the short name, which we do not make up.
        for (const char* name :
             {"00000001", "0000001f.RMV", "OBJID.FDB", "a.dat", "B.DAT", "two.dots.dat", "noext"})
            ASSERT_TRUE(write_file(dir / name, "12345"));
        ASSERT_TRUE(CreateDirectoryW((dir / "0000abcd").c_str(), nullptr));
    }
};

TEST_F(Searches, StarAndStarDotStarListEverythingWithDotAndDotDot) {
    const names all = {".",     "..",        "00000001", "0000001f.RMV", "0000abcd",
                       "B.DAT", "OBJID.FDB", "a.dat",    "noext",        "two.dots.dat"};
    EXPECT_EQ(search(dir / "*.*"), all);
    EXPECT_EQ(search(dir / "*"), all);
}

TEST_F(Searches, SuffixPatternsIgnoreCase) {
    EXPECT_EQ(search(dir / "*.dat"), (names{"B.DAT", "a.dat", "two.dots.dat"}));
    EXPECT_EQ(search(dir / "*.DAT"), (names{"B.DAT", "a.dat", "two.dots.dat"}));
    EXPECT_EQ(search(dir / "*.rmv"), (names{"0000001f.RMV"}));
}

TEST_F(Searches, QuestionMarksMatchUpToEightBeforeTheDot) {
    const names found = search(dir / "????????.*");
    for (const char* name : {"00000001", "0000001f.RMV", "0000abcd", "two.dots.dat"})
        EXPECT_NE(std::find(found.begin(), found.end(), name), found.end()) << name;
    EXPECT_EQ(search(dir / "0000000?"), (names{"00000001"}));
    if (running_under_wine())
        GTEST_SKIP()
            << "Wine's '?' always takes one character; Windows lets trailing ones match nothing";
    // Trailing '?'s and ".*" may match nothing, so shorter names and names
    // without an extension match too, and so do "." and "..".
    EXPECT_EQ(found, (names{".", "..", "00000001", "0000001f.RMV", "0000abcd", "B.DAT", "OBJID.FDB",
                            "a.dat", "noext", "two.dots.dat"}));
}

TEST_F(Searches, QuestionMarksRefuseALongerStem) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows matches their short names (123456~1) too";
#endif
    for (const char* name : {"123456789", "123456789.dat", "1234567.89"})
        ASSERT_TRUE(write_file(dir / name, "x"));
    const names found = search(dir / "????????.*");
    EXPECT_EQ(std::count(found.begin(), found.end(), "1234567.89"), 1);
    EXPECT_EQ(std::count(found.begin(), found.end(), "123456789"), 0);
    EXPECT_EQ(std::count(found.begin(), found.end(), "123456789.dat"), 0);
}

TEST_F(Searches, PatternsOfSixtyFourTokensOrMoreMatchAsShortOnes) {
    const std::string stem(70, 'x');
    for (const std::string& name : {stem + ".dat", stem + "y.dat"})
        ASSERT_TRUE(write_file(dir / name.c_str(), "x"));
    EXPECT_EQ(search(dir / (stem.substr(0, 66) + "*.DAT").c_str()),
              (names{stem + ".dat", stem + "y.dat"}));
    EXPECT_EQ(search(dir / (stem + "y*").c_str()), (names{stem + "y.dat"}));
    EXPECT_TRUE(search(dir / (stem + "z*").c_str()).empty());
}

TEST_F(Searches, NamesBeyondAsciiAreListedAsTheyWereMade) {
    wide_string name = widen("caf");
    for (unsigned unit : {0xE9u, 0xD83Du, 0xDE00u})  // e acute, U+1F600
        name += static_cast<WCHAR>(unit);
    name += widen(".dat");
    ASSERT_TRUE(write_file(join(dir.path(), name), "x"));
    WIN32_FIND_DATAW data;
    find_handle find(FindFirstFileW((dir / "caf*").c_str(), &data));
    ASSERT_TRUE(find.valid());
    EXPECT_EQ(wide_string(data.cFileName), name);
    EXPECT_FALSE(FindNextFileW(find.get(), &data));
}

TEST_F(Searches, EntriesCarryAttributesSizesAndTimes) {
    WIN32_FIND_DATAW data;
    find_handle find(FindFirstFileW((dir / "a.dat").c_str(), &data));
    ASSERT_TRUE(find.valid());
    EXPECT_EQ(narrow(data.cFileName), "a.dat");
    EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_NE(data.ftLastWriteTime.dwHighDateTime, 0u);
    EXPECT_FALSE(FindNextFileW(find.get(), &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);

    find.reset(FindFirstFileW((dir / "0000abcd").c_str(), &data));
    ASSERT_TRUE(find.valid());
    EXPECT_NE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// Each name with its directory and link bits, as a full listing or one that
// asks only for names and kinds gives them.
std::vector<std::pair<std::string, DWORD>> kinds(const wide_string& pattern, bool names_only) {
    std::vector<std::pair<std::string, DWORD>> found;
    WIN32_FIND_DATAW data;
    find_handle find(names_only ? FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                                   FindExSearchNameMatch, nullptr,
                                                   FIND_FIRST_EX_LARGE_FETCH |
                                                       odb::platform::FIND_FIRST_EX_NAMES_AND_KINDS)
                                : FindFirstFileW(pattern.c_str(), &data));
    if (!find) return found;
    do found.emplace_back(narrow(data.cFileName),
                          data.dwFileAttributes &
                              (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    while (FindNextFileW(find.get(), &data));
    std::sort(found.begin(), found.end());
    return found;
}

TEST_F(Searches, NamesAndKindsListingTellsWhatAFullOneTells) {
    // A link to a directory is a directory and a link, as its target
    // decides; a dangling one is a link only.
    const bool linked = make_symbolic_link(dir / "0000abcd", dir / "dirlink") &&
                        make_symbolic_link(dir / "absent", dir / "dangling");
    const auto listed = kinds(dir / "*", true);
    EXPECT_EQ(listed, kinds(dir / "*", false));
    EXPECT_EQ(listed.size(), linked ? 12u : 10u);
    const std::pair<std::string, DWORD> directory("0000abcd", FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_NE(std::find(listed.begin(), listed.end(), directory), listed.end());
    if (linked) {
        const std::pair<std::string, DWORD> link(
            "dirlink", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        EXPECT_NE(std::find(listed.begin(), listed.end(), link), listed.end());
    }
}

TEST_F(Searches, FailuresSayWhetherTheDirectoryExists) {
    DWORD error = 0;
    EXPECT_TRUE(search(dir / "*.xyz", &error).empty());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(search(dir / "absent.dat", &error).empty());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(search(join(dir / "missing", "*.*"), &error).empty());
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(search(join(dir / "missing", "absent.dat"), &error).empty());
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(search(dir / "*.dat", &error).size(), 3u);
    EXPECT_EQ(error, ERROR_NO_MORE_FILES);
}

TEST_F(Searches, PathExistsAnswersMissingAlikeWhereverTheGapIs) {
    EXPECT_TRUE(odb::platform::PathExistsW((dir / "a.dat").c_str()));
    EXPECT_TRUE(odb::platform::PathExistsW((dir / "0000abcd").c_str()));
    for (const wide_string& absent : {dir / "absent.dat", join(dir / "missing", "absent.dat")}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(odb::platform::PathExistsW(absent.c_str()));
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
}

}  // namespace
