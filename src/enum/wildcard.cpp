// The walk's wildcard matcher: one pass, no backtracking. An active star
// accepts every text byte until one equals (folded) the pattern byte after
// the star, which ends the star and is matched against it. Pattern bytes
// left over when the text ends are not examined.
#include "enum/object_walk.h"

namespace odb {

namespace {
unsigned char fold(unsigned char byte) {
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + ('a' - 'A')) : byte;
}
}  // namespace

bool match_wildcard(const char* pattern, const char* text) {
    const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pattern);
    if (*t == 0) return *p == 0;
    bool star = false, ok = true;
    while (*t != 0) {
        if (*p == 0) break;
        if (!ok) return false;
        const unsigned char c = *t;
        bool accepted;
        switch (*p) {
        case '\\':
            ++p;  // to the escaped byte (or the terminator)
            accepted = fold(c) == fold(*p) || star;
            break;
        case '*':
            star = true;
            ++p;
            accepted = true;
            break;
        case '?':
            accepted = true;
            break;
        case '{': {
            ++p;
            bool negated = false;
            if (*p == '^') {
                negated = true;
                ++p;
            }
            bool member = false;
            for (; *p != 0 && *p != '}'; ++p)
                if (*p == c) member = true;  // exact, no folding
            accepted = negated ? !member : member;
            break;
        }
        default:
            accepted = fold(c) == fold(*p) || star;
            break;
        }
        ok = accepted;
        star = star && fold(*p) != fold(c);
        ++t;
        if (!star && *p != 0) ++p;
    }
    if (!ok) return false;
    return *t == 0 || star;
}

}  // namespace odb
