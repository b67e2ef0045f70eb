// The walk filter's wildcard matcher: one pass, no backtracking, so several
// results differ from a shell glob on purpose.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

#include "enum/object_walk.h"

namespace {

bool matches(const std::string& pattern, const std::string& text) {
    return odb::match_wildcard(pattern.c_str(), text.c_str());
}

std::string with_case(std::string text, int (*change)(int)) {
    for (char& c : text) c = static_cast<char>(change(static_cast<unsigned char>(c)));
    return text;
}

// Raw mt19937 output is the same on every platform; the distributions of
// <random> are not, so they are not used.
std::mt19937 random_source(20240611u);
std::string random_text(const std::string& alphabet, unsigned longest) {
    std::string out(random_source() % (longest + 1), ' ');
    for (char& c : out) c = alphabet[random_source() % alphabet.size()];
    return out;
}

TEST(Wildcard, DocumentedExamples) {
    struct example {
        const char* pattern;
        const char* text;
        bool matches;
    };
    const example examples[] = {
        {"ABC", "abc", true},    {"a\\*", "a*", true},   {"a\\*", "ab", false},
        {"*b", "b", true},       {"*b", "ac", true},     {"*b", "abc", false},
        {"*.txt", "a.b.txt", false},                     {"abc", "ab", true},
        {"a?c", "ab", true},     {"*", "", false},       {"", "", true},
        {"{abc}x", "bx", true},  {"{abc}x", "Bx", false}, {"{^abc}x", "dx", true},
        {"{^abc}x", "bx", false},
    };
    for (const example& e : examples) {
        EXPECT_EQ(odb::match_wildcard(e.pattern, e.text), e.matches)
            << "'" << e.pattern << "' against '" << e.text << "'";
    }
    // Bytes above 0x7F are not sign-folded or case-folded.
    EXPECT_TRUE(odb::match_wildcard("\xC9?", "\xC9x"));
    EXPECT_FALSE(odb::match_wildcard("\xC9", "\xE9"));
}

// Properties any matcher of these rules has, over random patterns and
// names (letters, and bytes special only inside a class).
TEST(Wildcard, RandomPatternsKeepTheMatchersProperties) {
    for (int i = 0; i < 20000 && !HasFailure(); ++i) {
        const std::string pattern = random_text("aAb*?\\{}^", 7), name = random_text("aAbB}^", 9);
        const std::string what = "'" + pattern + "' against '" + name + "'";
        EXPECT_EQ(matches(pattern, ""), pattern.empty()) << what;
        if (pattern.find('{') == std::string::npos) {  // classes alone compare exactly
            EXPECT_EQ(matches(with_case(pattern, toupper), with_case(name, tolower)),
                      matches(pattern, name)) << what;
        }
        if (!name.empty() && matches(pattern, name)) {  // the empty text is matched by "" only
            EXPECT_TRUE(matches(pattern + "*", name)) << what;
            if (std::isalpha(static_cast<unsigned char>(pattern[0]))) {
                EXPECT_TRUE(matches("*" + pattern, name)) << what;
            }
        }
        // Without special bytes, a pattern matches the names that equal one
        // of its beginnings, ignoring case.
        const std::string literal = name.substr(0, name.size() / 2), other = random_text("aAbB", 4);
        EXPECT_EQ(matches(literal, other),
                  other.empty() ? literal.empty()
                                : other.size() <= literal.size() &&
                                      with_case(literal.substr(0, other.size()), tolower) == with_case(other, tolower))
            << literal << " " << other;

        // ? or an escape for some bytes and * for some runs: as the matcher
        // does not backtrack, a run must not hold the byte after it.
        std::string made;
        for (std::size_t at = 0; at < name.size();) {
            const std::size_t end = at + 1 + random_source() % 3;
            const std::string run = with_case(name.substr(at, end - at), tolower);
            const unsigned choice = random_source() % 8;
            if (choice % 4 == 0 && end <= name.size() &&
                (end == name.size() || run.find(static_cast<char>(tolower(name[end]))) == std::string::npos)) {
                made += "*" + std::string(end < name.size() && choice == 4 ? "\\" : "") + name.substr(end, 1);
                at = end + 1;
            } else {
                made += choice % 4 == 1 ? std::string("?") : (choice % 4 == 2 ? "\\" : "") + name.substr(at, 1);
                ++at;
            }
        }
        EXPECT_TRUE(matches(made, name)) << "'" << made << "' against '" << name << "'";
    }
}

}  // namespace
