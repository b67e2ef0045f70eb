#include "values.h"

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

std::pair<uint32_t, bytes> parse_assignment(const std::string& argument) {
    std::size_t equals = argument.find('=');
    if (equals == std::string::npos || equals == 0)
        throw usage_error("bad assignment '" + argument + "': expected ATTR=VALUE");
    return {parse_attribute(argument.substr(0, equals)), parse_value(argument.substr(equals + 1))};
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
