// File name wildcards with the meaning FindFirstFileW gives them. Before the
// search, Windows rewrites the pattern into DOS wildcards:
//
//   '?'                       DOS_QM:   one character; matches nothing at a
//                             '.' or at the end of the name (so "????????.*"
//                             matches "OBJID.FDB" and "00000001")
//   '.' before '?' or '*'     DOS_DOT:  a '.', or nothing at the end of the
//   or at the end             name (so "*.*" matches names without a dot)
//   '*' before '.'            DOS_STAR: any characters, but never the last
//                             '.' of the name
//   '*' elsewhere             any characters
//
// Letters are compared ignoring the case of A to Z, as NTFS compares them
// for names of that range. The match runs as a set of live pattern positions
// advanced one name character at a time, so no pattern makes it exponential.
// A listing matches every entry against its pattern, so for the patterns in
// use (fewer than 64 tokens) the set is one 64-bit word and each token kind
// a mask: a character moves every live position in a few word operations.
#include <algorithm>
#include <utility>
#include <vector>

#include "platform/posix/internal.h"

namespace odb::posix {
namespace {

constexpr uint32_t any_star = 0x10000;
constexpr uint32_t dos_star = 0x10001;
constexpr uint32_t dos_qm = 0x10002;
constexpr uint32_t dos_dot = 0x10003;

uint32_t fold(uint32_t c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

}  // namespace

wildcard::wildcard(const std::u16string& pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char16_t c = pattern[i];
        char16_t next = i + 1 < pattern.size() ? pattern[i + 1] : 0;
        if (c == u'?')
            tokens_.push_back(dos_qm);
        else if (c == u'*')
            tokens_.push_back(next == u'.' ? dos_star : any_star);
        else if (c == u'.' && (next == u'?' || next == u'*' || next == 0))
            tokens_.push_back(dos_dot);
        else
            tokens_.push_back(fold(c));
    }
    const std::size_t count = tokens_.size();
    every_name_ = (count == 1 && tokens_[0] == any_star) ||
                  (count == 3 && tokens_[0] == dos_star && tokens_[1] == dos_dot &&
                   tokens_[2] == any_star);
    // The '?'s consume the units before the first '.' one each, and only
    // there can the '.' (or the end) be met.
    std::size_t marks = 0;
    while (marks < count && tokens_[marks] == dos_qm) ++marks;
    if (marks > 0 && count == marks + 2 && tokens_[marks] == dos_dot &&
        tokens_[marks + 1] == any_star)
        stem_limit_ = marks;
    if (count >= 64) return;
    for (std::size_t p = 0; p < tokens_.size(); ++p) {
        const uint64_t bit = uint64_t{1} << p;
        const uint32_t t = tokens_[p];
        if (t == any_star)
            stars_ |= bit;
        else if (t == dos_star)
            dos_stars_ |= bit;
        else if (t == dos_qm)
            dos_qms_ |= bit;
        else if (t == dos_dot)
            dos_dots_ |= bit;
        else {
            auto same = std::find_if(letters_.begin(), letters_.end(),
                                     [t](const auto& letter) { return letter.first == t; });
            if (same == letters_.end())
                letters_.emplace_back(t, bit);
            else
                same->second |= bit;
        }
    }
}

bool wildcard::has_wildcards(const std::u16string& pattern) {
    return pattern.find_first_of(u"*?") != std::u16string::npos;
}

bool wildcard::matches(const WCHAR* name, std::size_t length) const {
    if (every_name_) return true;
    if (stem_limit_ != 0) {
        for (std::size_t at = 0; at < length && name[at] != u'.'; ++at)
            if (at == stem_limit_) return false;
        return true;
    }
    const std::size_t count = tokens_.size();
    if (count >= 64) return matches_long(name, length);
    std::size_t last_dot = length;  // none
    if (dos_stars_ != 0)
        for (std::size_t at = 0; at < length; ++at)
            if (name[at] == u'.') last_dot = at;

    // The positions reached from `live` by the moves that consume nothing
    // where the tokens in `free` allow them; they only go forward.
    const uint64_t stars = stars_ | dos_stars_;
    auto close = [&](uint64_t live, std::size_t at) {
        const uint64_t free = at == length         ? stars | dos_qms_ | dos_dots_
                              : name[at] == u'.'   ? stars | dos_qms_
                                                   : stars;
        for (;;) {
            const uint64_t more = live | ((live & free) << 1);
            if (more == live) return live;
            live = more;
        }
    };

    uint64_t live = close(1, 0);
    for (std::size_t at = 0; at < length; ++at) {
        const uint32_t c = name[at];
        const uint64_t stay = stars_ | (c == u'.' && at == last_dot ? 0 : dos_stars_);
        uint64_t advance = c == u'.' ? dos_dots_ : dos_qms_;
        const uint32_t folded = fold(c);
        for (const auto& letter : letters_)
            if (letter.first == folded) advance |= letter.second;
        live = (live & stay) | ((live & advance) << 1);
        if (live == 0) return false;
        live = close(live, at + 1);
    }
    return (live >> count) & 1;
}

// The same match with the positions as an array of flags, for any length.
bool wildcard::matches_long(const WCHAR* name, std::size_t length) const {
    const std::size_t count = tokens_.size();
    std::size_t last_dot = length;  // none
    for (std::size_t at = 0; at < length; ++at)
        if (name[at] == u'.') last_dot = at;
    std::vector<char> states(2 * (count + 1), 0);
    char* live = states.data();
    char* next = live + count + 1;

    // Follows the moves that consume nothing at name position `at`; they
    // only go forward, so one pass in order reaches all of them.
    auto close = [&](char* states, std::size_t at) {
        const bool at_end = at == length;
        const bool at_dot = !at_end && name[at] == u'.';
        for (std::size_t p = 0; p < count; ++p) {
            if (!states[p]) continue;
            uint32_t t = tokens_[p];
            if (t == any_star || t == dos_star || (t == dos_qm && (at_end || at_dot)) ||
                (t == dos_dot && at_end))
                states[p + 1] = 1;
        }
    };

    live[0] = 1;
    close(live, 0);
    for (std::size_t at = 0; at < length; ++at) {
        std::fill(next, next + count + 1, 0);
        const uint32_t c = name[at];
        bool any = false;
        for (std::size_t p = 0; p < count; ++p) {
            if (!live[p]) continue;
            uint32_t t = tokens_[p];
            bool stay = false, advance = false;
            if (t == any_star)
                stay = true;
            else if (t == dos_star)
                stay = !(c == u'.' && at == last_dot);
            else if (t == dos_qm)
                advance = c != u'.';
            else if (t == dos_dot)
                advance = c == u'.';
            else
                advance = fold(c) == t;
            if (stay) next[p] = 1;
            if (advance) next[p + 1] = 1;
            any = any || stay || advance;
        }
        if (!any) return false;
        std::swap(live, next);
        close(live, at + 1);
    }
    return live[count] != 0;
}

}  // namespace odb::posix
