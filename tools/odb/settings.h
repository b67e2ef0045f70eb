// The files the tool reads and writes itself: the settings file DBCFG.INI
// and the classes' identifier counters OBJID.FDB. The library only reads
// DBCFG.INI (it writes FirstId and LastId), so the tool edits it as a plain
// INI file with CRLF line ends, the form every build reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/settings_table.h"
#include "database.h"

namespace odbtool {

using setting_kind = odb::settings::value_kind;
using setting_info = odb::settings::setting;

// Every setting the library reads from DBCFG.INI.
const std::vector<setting_info>& known_settings();
// "Section.Key", ignoring case; null when unknown.
const setting_info* find_setting(const std::string& dotted);
std::string dotted_name(const setting_info& info);
// The default as the file would hold it ("No", "16", "00000001").
std::string default_text(const setting_info& info);

// An INI file as lines, edited in place the way the Win32 profile functions
// edit one: the first matching section and key win, a new key goes to the
// end of its section, a new section to the end of the file.
class ini_file {
public:
    static ini_file load(const fs::path& path);  // a missing file is empty
    std::optional<std::string> get(const std::string& section, const std::string& key) const;
    void set(const std::string& section, const std::string& key, const std::string& value);
    std::optional<std::string> get(const setting_info& info) const { return get(info.section, info.key); }
    void set(const setting_info& info, const std::string& value) { set(info.section, info.key, value); }
    // Every section and key in file order (first of each only).
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>
    entries() const;
    // Written beside the file and renamed over it, so no reader sees half.
    void save(const fs::path& path) const;

private:
    std::vector<std::string> lines_;
};

// Reads a setting as the library does (a yes/no is "yes" in any case, an
// integer its leading digits, an identifier its leading hex digits).
std::string effective_value(const setting_info& info, const std::optional<std::string>& raw);
bool setting_yes(const ini_file& ini, const setting_info& info);
uint32_t setting_id(const ini_file& ini, const setting_info& info);  // FirstId or LastId
uint32_t setting_number(const ini_file& ini, const setting_info& info);

// Checks a SECTION.KEY=VALUE argument and returns the canonical section,
// key and value to write.
struct setting_change {
    std::string section, key, value;
};
setting_change parse_setting_change(const std::string& argument);

fs::path settings_path(const database& db);

// The identifier counter of a class, "Next ID=%08x" in OBJID.FDB.
struct class_counter {
    enum state_t { missing, empty, valid, damaged } state = missing;
    uint32_t next = 0;  // valid only
};
class_counter read_class_counter(const fs::path& class_dir);
// Writes the 16-byte counter, or an empty file for a class that never
// handed out an identifier.
void write_class_counter(const fs::path& class_dir, const std::optional<uint32_t>& next);

}  // namespace odbtool
