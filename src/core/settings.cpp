#include "core/settings.h"

#include <atomic>

#include "core/database.h"
#include "core/disk_format.h"
#include "core/durability.h"
#include "core/failure_trace.h"
#include "core/settings_table.h"
#include "core/wide_text.h"

namespace odb {

namespace {

// Until QMFILEDB.INI is read the defaults already hold. The one-time load
// is guarded by a flag only: two threads that race here read the same file
// and store the same values.
std::atomic<uint32_t> lock_timeout_ms{30000};
std::atomic<uint32_t> lock_sleep_ms{10};
std::atomic<bool> lock_settings_loaded{false};

path_buffer settings_file(const odb_database& db) {
    path_buffer path(db.root);
    path.component(disk::settings_file);
    return path;
}

// The table's sections and keys are ASCII; the profile calls take them wide.
class wide_name {
public:
    explicit wide_name(const char* text) {
        std::size_t i = 0;
        for (; text[i] != 0 && i + 1 < capacity; ++i) text_[i] = static_cast<WCHAR>(text[i]);
        text_[i] = 0;
    }
    operator const WCHAR*() const { return text_; }

private:
    static constexpr std::size_t capacity = 32;
    WCHAR text_[capacity];
};

bool read_yes_no(const settings::setting& s, const WCHAR* file) {
    WCHAR value[80] = {};  // read as empty should the call write nothing
    GetPrivateProfileStringW(wide_name(s.section), wide_name(s.key),
                             s.default_value ? ODB_W("yes") : ODB_W("No"), value, 80, file);
    return equal_ignoring_ascii_case(value, ODB_W("yes"));
}

uint32_t read_integer(const settings::setting& s, const WCHAR* file) {
    const UINT value = GetPrivateProfileIntW(wide_name(s.section), wide_name(s.key),
                                             static_cast<int>(s.default_value), file);
    return settings::clamped(s, value);
}

// An identifier that does not read as hexadecimal digits, or is missing,
// is the default.
uint32_t read_hex_setting(const odb_database& db, const settings::setting& s) {
    WCHAR value[80] = {};  // read as empty should the call write nothing
    GetPrivateProfileStringW(wide_name(s.section), wide_name(s.key), ODB_W(""), value, 80,
                             settings_file(db));
    uint32_t result;
    return scan_hex8(value, result) ? result : s.default_value;
}

void write_hex_setting(const odb_database& db, const settings::setting& s, uint32_t value) {
    path_buffer text(9);
    text.hex(value, 8);
    // A range change that did not reach the file must not be reported: the
    // identifiers handed out by ODB_steal_ids would stay free and be handed
    // out again.
    const path_buffer file = settings_file(db);
    if (!write_profile_string(db, wide_name(s.section), wide_name(s.key), text, file)) {
        note_failure("write", file, GetLastError());
        raise(ODB_E_FILE_WRITE);
    }
}

}  // namespace

void load_lock_settings() {
    if (lock_settings_loaded.load()) return;
    path_buffer path = executable_directory();
    path.append(disk::lock_settings_file);
    lock_timeout_ms = read_integer(settings::lock_timeout, path) * 10u;
    lock_sleep_ms = read_integer(settings::lock_sleep, path);
    lock_settings_loaded = true;
}

lock_timing process_lock_timing() { return {lock_timeout_ms.load(), lock_sleep_ms.load()}; }

file_handle open_config_lock(const WCHAR* root, bool exclusive) {
    path_buffer path(root);
    path.component(disk::config_lock_file);
    if (exclusive) return open_with_retry(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
    return open_with_retry(path, GENERIC_READ, FILE_SHARE_READ, OPEN_ALWAYS);
}

void load_database_settings(odb_database& db) {
    file_handle config_lock = open_config_lock(db.root, false);
    const path_buffer file = settings_file(db);
    db.name_index_enabled = read_yes_no(settings::name_index_enabled, file);
    db.index_lock_timeout = read_integer(settings::index_lock_timeout, file) * 10u;
    db.index_lock_sleep = read_integer(settings::index_lock_sleep, file);
    db.hash_count = read_integer(settings::hash_count, file);
    db.lifetime = read_integer(settings::index_lifetime, file);
    db.min_entry_size = static_cast<uint16_t>(read_integer(settings::min_entry_size, file));

    db.single_file = read_yes_no(settings::single_file, file);
    db.auto_convert = db.single_file && read_yes_no(settings::auto_convert, file);
    db.track_attribute_changes = read_yes_no(settings::track_attribute_changes, file);
    db.track_object_changes = read_yes_no(settings::track_object_changes, file);
    db.durable = read_yes_no(settings::durability_flush, file);
}

uint32_t read_first_id(const odb_database& db) {
    return read_hex_setting(db, settings::first_id);
}

uint32_t read_last_id(const odb_database& db) {
    return read_hex_setting(db, settings::last_id);
}

void write_first_id(const odb_database& db, uint32_t value) {
    write_hex_setting(db, settings::first_id, value);
}

void write_last_id(const odb_database& db, uint32_t value) {
    write_hex_setting(db, settings::last_id, value);
}

}  // namespace odb
