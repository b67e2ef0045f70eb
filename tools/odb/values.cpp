#include "values.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "database.h"
#include "errors.h"

namespace odbtool {

const char* const value_syntax_help =
    "A value is TEXT (stored as UTF-8 and a zero byte), or text:TEXT, utf16:TEXT (FF FE and "
    "UTF-16LE, the form names take), hex:HEX, u32:N (4 bytes little-endian) or file:PATH.";

const char* const where_syntax_help =
    "ATTR=TEXT (text equal, ASCII case ignored), ATTR=hex:..|utf16:..|file:.. (bytes equal), "
    "ATTR=u32:N (number equal), ATTR~PATTERN (wildcard: * ? {abc} {^abc} \\x), ATTR<N, ATTR>N "
    "(4-byte numbers). ATTR is a hexadecimal attribute number or 'name'.";

namespace {

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

bytes read_file_bytes(const std::string& path) {
    std::ifstream in(utf8_path(path), std::ios::binary);
    if (!in) throw_file_error("cannot read", path);
    std::ostringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    return bytes(text.begin(), text.end());
}

void write_file_bytes(const std::string& path, const bytes& value) {
    std::ofstream out(utf8_path(path), std::ios::binary | std::ios::trunc);
    if (!value.empty()) out.write(reinterpret_cast<const char*>(value.data()), static_cast<std::streamsize>(value.size()));
    out.flush();
    if (!out) throw_file_error("cannot write", path);
}

bytes parse_value(const std::string& value_text) {
    if (starts_with(value_text, "text:")) return text_value(value_text.substr(5));
    if (starts_with(value_text, "utf16:")) return utf16_value(value_text.substr(6));
    if (starts_with(value_text, "hex:")) return from_hex(value_text.substr(4));
    if (starts_with(value_text, "u32:")) return u32_value(parse_u32(value_text.substr(4), "u32 value"));
    if (starts_with(value_text, "file:")) return read_file_bytes(value_text.substr(5));
    return text_value(value_text);
}

bytes parse_value_for(uint32_t attribute, const std::string& value_text) {
    if (attribute == ODB_NAME_ATTRIBUTE) {
        if (starts_with(value_text, "text:")) return utf16_value(value_text.substr(5));
        if (!starts_with(value_text, "utf16:") && !starts_with(value_text, "hex:") &&
            !starts_with(value_text, "u32:") && !starts_with(value_text, "file:"))
            return utf16_value(value_text);
    }
    return parse_value(value_text);
}

std::pair<uint32_t, bytes> parse_assignment(const std::string& argument) {
    std::size_t equals = argument.find('=');
    if (equals == std::string::npos || equals == 0)
        throw usage_error("bad assignment '" + argument + "': expected ATTR=VALUE");
    uint32_t attribute = parse_attribute(argument.substr(0, equals));
    return {attribute, parse_value_for(attribute, argument.substr(equals + 1))};
}

namespace {

char16_t fold(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? unit - u'A' + u'a' : unit; }

// * any run, ? one character, {abc} one of, {^abc} none of, \x x itself;
// A-Z match either case outside sets.
bool glob(const char16_t* p, const char16_t* t) {
    for (; *p != 0; ++p, ++t) {
        if (*p == u'*') {
            for (;; ++t) {
                if (glob(p + 1, t)) return true;
                if (*t == 0) return false;
            }
        }
        if (*t == 0) return false;
        if (*p == u'?') continue;
        if (*p == u'{') {
            const char16_t* q = p + 1;
            const bool negated = *q == u'^';
            if (negated) ++q;
            bool member = false;
            for (; *q != 0 && *q != u'}'; ++q) member = member || *q == *t;
            if (member == negated) return false;
            p = *q == 0 ? q - 1 : q;
            continue;
        }
        if (*p == u'\\' && p[1] != 0) ++p;
        if (fold(*p) != fold(*t)) return false;
    }
    return *t == 0;
}

}  // namespace

bool criteria::name_passes(const bytes* name_value) const {
    if (names_.empty()) return true;
    const std::u16string name = name_value ? value_text_units(*name_value, name_value->size()) : u"";
    for (const name_criterion& criterion : names_) {
        const bool passed =
            name_value != nullptr &&
            (criterion.wildcard ? glob(criterion.text.c_str(), name.c_str())
                                : name.size() == criterion.text.size() &&
                                      std::equal(name.begin(), name.end(), criterion.text.begin(),
                                                 [](char16_t a, char16_t b) { return fold(a) == fold(b); }));
        if (passed == any_) return passed;
    }
    return !any_;
}

void criteria::add(uint32_t attribute, uint32_t kind, bytes value) {
    values_.push_back(std::move(value));
    const bytes& stored = values_.back();
    odb_enum_criterion criterion = {};
    criterion.attribute = attribute;
    criterion.operation = kind;
    criterion.value_length = static_cast<uint32_t>(stored.size());
    criterion.value = stored.empty() ? nullptr : stored.data();
    list_.push_back(criterion);
}

void criteria::where(const std::string& expression) {
    std::size_t at = expression.find_first_of("=~<>");
    if (at == std::string::npos || at == 0)
        throw usage_error("bad criterion '" + expression + "': " + where_syntax_help);
    uint32_t attribute = parse_attribute(expression.substr(0, at));
    std::string operand = expression.substr(at + 1);
    if (attribute == ODB_NAME_ATTRIBUTE && (expression[at] == '~' || expression[at] == '=') &&
        !starts_with(operand, "u32:") && !starts_with(operand, "hex:") && !starts_with(operand, "utf16:") &&
        !starts_with(operand, "file:")) {
        if (expression[at] == '~' && operand.empty()) throw usage_error("empty wildcard pattern in '" + expression + "'");
        if (starts_with(operand, "text:")) operand = operand.substr(5);
        names_.push_back({expression[at] == '~', utf8_to_utf16(operand)});
        return;
    }
    switch (expression[at]) {
    case '~':
        if (operand.empty()) throw usage_error("empty wildcard pattern in '" + expression + "'");
        add(attribute, ODB_MATCH_WILDCARD, text_value(operand));
        break;
    case '<':
        add(attribute, ODB_MATCH_LESS, u32_value(parse_u32(operand, "number")));
        break;
    case '>':
        add(attribute, ODB_MATCH_GREATER, u32_value(parse_u32(operand, "number")));
        break;
    default:
        if (starts_with(operand, "u32:"))
            add(attribute, ODB_MATCH_EQUAL, u32_value(parse_u32(operand.substr(4), "number")));
        else if (starts_with(operand, "hex:") || starts_with(operand, "utf16:") ||
                 starts_with(operand, "file:"))
            add(attribute, ODB_MATCH_BYTES, parse_value(operand));
        else
            add(attribute, ODB_MATCH_TEXT, parse_value(operand));
        break;
    }
}

void criteria::has(const std::string& attribute) { add(parse_attribute(attribute), ODB_MATCH_PRESENT, {}); }

void criteria::lacks(const std::string& attribute) { add(parse_attribute(attribute), ODB_MATCH_ABSENT, {}); }

odb_enum_filter criteria::filter() {
    if (any_)
        for (odb_enum_criterion& criterion : list_) criterion.operation |= ODB_MATCH_OR;
    odb_enum_filter filter;
    std::memset(&filter, 0, sizeof filter);
    filter.criteria = list_.empty() ? nullptr : list_.data();
    filter.criteria_count = static_cast<uint32_t>(list_.size());
    return filter;
}

}  // namespace odbtool
