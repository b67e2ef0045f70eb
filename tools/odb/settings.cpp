#include "settings.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace odbtool {

const std::vector<setting_info>& known_settings() {
    static const std::vector<setting_info> settings = [] {
        std::vector<setting_info> out;
        for (const setting_info* info : odb::settings::database_settings) out.push_back(*info);
        return out;
    }();
    return settings;
}

const setting_info* find_setting(const std::string& dotted) {
    for (const setting_info& info : known_settings())
        if (iequals(dotted, dotted_name(info))) return &info;
    return nullptr;
}

std::string dotted_name(const setting_info& info) {
    return std::string(info.section) + "." + info.key;
}

std::string default_text(const setting_info& info) {
    switch (info.kind) {
    case setting_kind::yes_no: return info.default_value ? "Yes" : "No";
    case setting_kind::integer: return std::to_string(info.default_value);
    case setting_kind::hex_id: return hex8(info.default_value);
    }
    return "";
}

// ---- INI files ----------------------------------------------------------------

namespace {

std::string trim(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 0x20) ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 0x20) --end;
    return text.substr(begin, end - begin);
}

bool section_line(const std::string& line, std::string& name) {
    std::string text = trim(line);
    if (text.empty() || text[0] != '[') return false;
    std::size_t close = text.find(']');
    name = trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

bool key_line(const std::string& line, std::string& key, std::string& value) {
    std::string text = trim(line);
    if (text.empty() || text[0] == ';' || text[0] == '[') return false;
    std::size_t equals = text.find('=');
    if (equals == std::string::npos) return false;
    key = trim(text.substr(0, equals));
    value = trim(text.substr(equals + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
    return true;
}

}  // namespace

ini_file ini_file::load(const fs::path& path) {
    ini_file ini;
    std::ifstream in(path, std::ios::binary);
    if (!in) return ini;
    std::ostringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            ini.lines_.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) ini.lines_.push_back(line);
    return ini;
}

std::optional<std::string> ini_file::get(const std::string& section, const std::string& key) const {
    bool inside = false, seen = false;
    for (const std::string& line : lines_) {
        std::string name, k, v;
        if (section_line(line, name)) {
            if (inside) return std::nullopt;  // only the first matching section counts
            inside = !seen && iequals(name, section);
            seen = seen || inside;
        } else if (inside && key_line(line, k, v) && iequals(k, key)) {
            return v;
        }
    }
    return std::nullopt;
}

void ini_file::set(const std::string& section, const std::string& key, const std::string& value) {
    const std::string entry = key + "=" + value;
    std::size_t i = 0;
    for (; i < lines_.size(); ++i) {
        std::string name;
        if (section_line(lines_[i], name) && iequals(name, section)) break;
    }
    if (i == lines_.size()) {
        lines_.push_back("[" + section + "]");
        lines_.push_back(entry);
        return;
    }
    std::size_t last = i;  // the last non-blank line of the section
    for (std::size_t j = i + 1; j < lines_.size(); ++j) {
        std::string name, k, v;
        if (section_line(lines_[j], name)) break;
        if (key_line(lines_[j], k, v) && iequals(k, key)) {
            lines_[j] = entry;
            return;
        }
        if (!trim(lines_[j]).empty()) last = j;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last + 1), entry);
}

std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>
ini_file::entries() const {
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> out;
    for (const std::string& line : lines_) {
        std::string name, k, v;
        if (section_line(line, name)) {
            out.push_back({name, {}});
        } else if (!out.empty() && key_line(line, k, v)) {
            out.back().second.push_back({k, v});
        }
    }
    return out;
}

void ini_file::save(const fs::path& path) const {
    fs::path temporary = path;
    temporary += ".odb-new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        for (const std::string& line : lines_) out << line << "\r\n";
        out.flush();
        if (!out) throw_file_error("cannot write", path_text(temporary));
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        throw tool_error("cannot replace " + path_text(path) + ": " + error.message());
    }
}

// ---- reading settings as the library does ---------------------------------------

namespace {

uint32_t profile_int(const std::string& text, uint32_t fallback) {
    if (text.empty()) return fallback;
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        ++i;
    }
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    return negative ? 0u - value : value;
}

bool leading_hex(const std::string& text, uint32_t& value) {
    value = 0;
    std::size_t digits = 0;
    for (char c : text) {
        int d = (c >= '0' && c <= '9') ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (d < 0 || digits == 8) break;
        value = value * 16 + static_cast<uint32_t>(d);
        ++digits;
    }
    return digits > 0;
}

}  // namespace

std::string effective_value(const setting_info& info, const std::optional<std::string>& raw) {
    switch (info.kind) {
    case setting_kind::yes_no:
        return (raw ? iequals(*raw, "yes") : info.default_value != 0) ? "yes" : "no";
    case setting_kind::integer:
        return std::to_string(
            odb::settings::clamped(info, raw ? profile_int(*raw, info.default_value) : info.default_value));
    case setting_kind::hex_id: {
        uint32_t value = 0;
        if (!raw || !leading_hex(*raw, value)) value = info.default_value;
        return hex8(value);
    }
    }
    return raw.value_or("");
}

bool setting_yes(const ini_file& ini, const setting_info& info) {
    return effective_value(info, ini.get(info)) == "yes";
}

uint32_t setting_id(const ini_file& ini, const setting_info& info) {
    return parse_hex32(effective_value(info, ini.get(info)), "identifier");
}

uint32_t setting_number(const ini_file& ini, const setting_info& info) {
    return static_cast<uint32_t>(std::stoul(effective_value(info, ini.get(info))));
}

setting_change parse_setting_change(const std::string& argument) {
    std::size_t equals = argument.find('=');
    if (equals == std::string::npos)
        throw usage_error("bad setting '" + argument + "': expected SECTION.KEY=VALUE");
    std::string name = argument.substr(0, equals), value = argument.substr(equals + 1);
    const setting_info* info = find_setting(name);
    if (info == nullptr)
        throw usage_error("unknown setting '" + name + "' (odb config --help lists them)");
    setting_change change{info->section, info->key, value};
    const std::string dotted = dotted_name(*info);
    switch (info->kind) {
    case setting_kind::yes_no:
        if (iequals(value, "yes")) change.value = "yes";
        else if (iequals(value, "no")) change.value = "no";
        else throw usage_error(dotted + " takes yes or no, not '" + value + "'");
        break;
    case setting_kind::integer: {
        uint32_t number = parse_u32(value, dotted.c_str());
        // Values the library would read as another one are refused.
        if (number < info->minimum || number > info->largest_effective)
            throw usage_error(dotted + " must lie between " + std::to_string(info->minimum) +
                              " and " + std::to_string(info->largest_effective));
        change.value = std::to_string(number);
        break;
    }
    case setting_kind::hex_id:
        if (value.size() != 8)
            throw usage_error(dotted + " takes 8 hexadecimal digits, not '" + value + "'");
        change.value = hex8(parse_hex32(value, dotted.c_str()));
        break;
    }
    return change;
}

fs::path settings_path(const database& db) { return db.root() / disk::settings_file; }

// ---- class counters -------------------------------------------------------------

class_counter read_class_counter(const fs::path& class_dir) {
    class_counter counter;
    std::ifstream in(class_dir / disk::id_file, std::ios::binary);
    if (!in) return counter;
    char text[257] = {};
    in.read(text, 256);
    std::size_t got = static_cast<std::size_t>(in.gcount());
    if (got == 0) {
        counter.state = class_counter::empty;
        return counter;
    }
    const std::string prefix = disk::next_id_prefix;
    if (got > prefix.size() && std::string(text, prefix.size()) == prefix &&
        leading_hex(std::string(text + prefix.size(), got - prefix.size()), counter.next)) {
        counter.state = class_counter::valid;
    } else {
        counter.state = class_counter::damaged;
    }
    return counter;
}

void write_class_counter(const fs::path& class_dir, const std::optional<uint32_t>& next) {
    const fs::path path = class_dir / disk::id_file;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (next) out << disk::next_id_prefix << hex8(*next);
    out.flush();
    if (!out) throw_file_error("cannot write", path_text(path));
}

}  // namespace odbtool
