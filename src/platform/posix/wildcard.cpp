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
}

bool wildcard::has_wildcards(const std::u16string& pattern) {
    return pattern.find_first_of(u"*?") != std::u16string::npos;
}

bool wildcard::matches(const std::u16string& name) const {
    const std::size_t count = tokens_.size();
    const std::size_t length = name.size();
    const std::size_t last_dot = name.rfind(u'.');
    // A listing matches every entry, so the two state sets live on the
    // stack for any pattern of usual length rather than on the heap.
    char small[2][64];
    std::vector<char> large;
    char* live = small[0];
    char* next = small[1];
    if (count + 1 > sizeof small[0]) {
        large.resize(2 * (count + 1));
        live = large.data();
        next = live + count + 1;
    }
    std::fill(live, live + count + 1, 0);

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
