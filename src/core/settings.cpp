#include "core/settings.h"

#include <atomic>

#include "core/database.h"
#include "core/disk_format.h"
#include "core/durability.h"
#include "core/failure_trace.h"
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

bool read_yes_no(const WCHAR* section, const WCHAR* key, const WCHAR* file) {
    WCHAR value[80] = {};  // read as empty should the call write nothing
    GetPrivateProfileStringW(section, key, ODB_W("No"), value, 80, file);
    return equal_ignoring_ascii_case(value, ODB_W("yes"));
}

uint32_t read_hex_setting(const odb_database& db, const WCHAR* key, const WCHAR* default_text,
                          uint32_t fallback) {
    WCHAR value[80] = {};  // read as empty should the call write nothing
    GetPrivateProfileStringW(ODB_W("IdAssignment"), key, default_text, value, 80,
                             settings_file(db));
    uint32_t result;
    return scan_hex8(value, result) ? result : fallback;
}

void write_hex_setting(const odb_database& db, const WCHAR* key, uint32_t value) {
    path_buffer text(9);
    text.hex(value, 8);
    // A range change that did not reach the file must not be reported: the
    // identifiers handed out by ODB_steal_ids would stay free and be handed
    // out again.
    const path_buffer file = settings_file(db);
    if (!write_profile_string(db, ODB_W("IdAssignment"), key, text, file)) {
        note_failure("write", file, GetLastError());
        raise(ODB_E_FILE_WRITE);
    }
}

}  // namespace

void load_lock_settings() {
    if (lock_settings_loaded.load()) return;
    path_buffer path = executable_directory();
    path.append(disk::lock_settings_file);
    lock_timeout_ms = GetPrivateProfileIntW(ODB_W("LockOptions"), ODB_W("Timeout"), 3000, path) * 10u;
    lock_sleep_ms = GetPrivateProfileIntW(ODB_W("LockOptions"), ODB_W("Sleep"), 10, path);
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
    const WCHAR* index = ODB_W("NameIndex");

    db.name_index_enabled = read_yes_no(index, ODB_W("Enabled"), file);
    db.index_lock_timeout = GetPrivateProfileIntW(index, ODB_W("LockTimeout"), 3000, file) * 10u;
    db.index_lock_sleep = GetPrivateProfileIntW(index, ODB_W("LockSleep"), 10, file);
    uint32_t hash_count = GetPrivateProfileIntW(index, ODB_W("HashCount"), 16, file);
    db.lifetime = GetPrivateProfileIntW(index, ODB_W("LifeTime"), 1800, file);
    uint16_t min_entry = static_cast<uint16_t>(GetPrivateProfileIntW(index, ODB_W("MinEntrySize"), 16, file));

    db.hash_count = hash_count < 1 ? 1 : hash_count > 256 ? 256 : hash_count;
    db.min_entry_size = min_entry < 1 ? 1 : min_entry > 256 ? 256 : min_entry;

    db.single_file = read_yes_no(ODB_W("Attribs"), ODB_W("SingleFile"), file);
    db.auto_convert = db.single_file && read_yes_no(ODB_W("Attribs"), ODB_W("AutoConvert"), file);
    db.track_attribute_changes = read_yes_no(ODB_W("Tracking"), ODB_W("AttributeChanges"), file);
    db.track_object_changes = read_yes_no(ODB_W("Tracking"), ODB_W("ObjectChanges"), file);
    db.durable = read_yes_no(ODB_W("Durability"), ODB_W("Flush"), file);
}

uint32_t read_first_id(const odb_database& db) {
    return read_hex_setting(db, ODB_W("FirstId"), ODB_W("00000001"), 1);
}

uint32_t read_last_id(const odb_database& db) {
    return read_hex_setting(db, ODB_W("LastId"), ODB_W("fffffff0"), 0xFFFFFFF0u);
}

void write_first_id(const odb_database& db, uint32_t value) {
    write_hex_setting(db, ODB_W("FirstId"), value);
}

void write_last_id(const odb_database& db, uint32_t value) {
    write_hex_setting(db, ODB_W("LastId"), value);
}

}  // namespace odb
