// Configuration: the process-wide lock timing from QMFILEDB.INI beside the
// executable (used by the retrying open, retrying_open.h), the per-database
// options from DBCFG.INI in the root, and the configuration lock DBCFG.FDB.
#pragma once

#include <cstdint>

#include "core/retrying_open.h"
#include "platform/handle.h"

struct odb_database;

namespace odb {

// Loads QMFILEDB.INI once per process; later calls do nothing.
void load_lock_settings();

// Fills the settings fields of db from DBCFG.INI under the shared
// configuration lock.
void load_database_settings(odb_database& db);

// DBCFG.FDB in its shared (read, read sharing) or exclusive form.
file_handle open_config_lock(const WCHAR* root, bool exclusive);

uint32_t read_first_id(const odb_database& db);
uint32_t read_last_id(const odb_database& db);
void write_first_id(const odb_database& db, uint32_t value);
void write_last_id(const odb_database& db, uint32_t value);

}  // namespace odb
