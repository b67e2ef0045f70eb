// Configuration: the process-wide lock timing from QMFILEDB.INI beside the
// executable, the per-database options from DBCFG.INI in the root, the
// configuration lock DBCFG.FDB, and the retrying open whose timing they set.
#pragma once

#include <cstdint>

#include "platform/handle.h"

struct odb_database;

namespace odb {

struct lock_timing {
    uint32_t timeout_ms;
    uint32_t sleep_ms;
};

// Loads QMFILEDB.INI once per process; later calls do nothing.
void load_lock_settings();
// The process-wide lock time-out and sleep (30,000 and 10 until loaded).
lock_timing process_lock_timing();

// Fills the settings fields of db from DBCFG.INI under the shared
// configuration lock.
void load_database_settings(odb_database& db);

// Opens a file, retrying every failure for as long as the lock time-out
// allows; raises ODB_E_LOCK_TIMEOUT when it gives up.
file_handle open_with_retry(const WCHAR* path, DWORD access, DWORD share, DWORD disposition);

// DBCFG.FDB in its shared (read, read sharing) or exclusive form.
file_handle open_config_lock(const WCHAR* root, bool exclusive);

uint32_t read_first_id(const odb_database& db);
uint32_t read_last_id(const odb_database& db);
void write_first_id(const odb_database& db, uint32_t value);
void write_last_id(const odb_database& db, uint32_t value);

}  // namespace odb
