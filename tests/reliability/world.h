// A small database with objects in every form, built once and copied for
// each run of a hostile test, and the checks that decide whether a run lost
// anything: every value stored before reads back, no object vanished, no
// identifier is in use twice, and the name index (rebuilt if it must be)
// answers every name with its object.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qmfiledb.h"
#include "support/database_fixture.h"

namespace odb::reliability {

using test::wide_string;

constexpr uint32_t world_class = 7;

// Objects of the template. Single-file objects keep ATTRIBS.FDB, the
// others one .DAT file per attribute.
constexpr uint32_t single_object = 1;     // attributes 1, 2 (300 bytes), 3 (4 bytes), name
constexpr uint32_t file_object = 2;       // attributes 1, 2 (200 bytes), name
constexpr uint32_t removed_object = 3;    // removed (.RMV), single-file, name
constexpr uint32_t unconverted_object = 4;  // per-attribute, attributes 5, 6, name

// DBCFG.INI of the template: the index on and never stale (so a wrong but
// valid index would never heal by age and is caught), tracking on.
std::string world_settings(bool auto_convert = false);

using value_key = std::pair<uint32_t, uint32_t>;  // object, attribute

struct world_model {
    std::map<value_key, std::string> values;  // of live objects
    std::map<value_key, std::string> removed_values;  // of removed objects
    std::set<uint32_t> live, removed;
    std::map<uint32_t, std::string> names;  // of live objects
};

// The model of the template as built.
const world_model& template_model();

// A fresh copy of the template at <dir>/db; returns its root.
wide_string copy_world(const test::temp_dir& dir);

// ODB_init_w without flags.
odb_database* open_world(const wide_string& root, odb_status* status = nullptr);

// Value of one attribute through a context of its own; the status.
odb_status read_value(odb_database* db, uint32_t id, uint32_t attribute, uint32_t mode,
                      std::string& out);
odb_status write_value(odb_obj_ctx* ctx, uint32_t attribute, const std::string& bytes,
                       uint32_t offset = 0);

// Identifiers of a class in the forms of flags (ODB_ENUM_*).
std::vector<uint32_t> list_ids(odb_database* db, uint32_t cls, uint32_t flags,
                               odb_status* status = nullptr);

// What a run may have changed, beyond which everything of the model must be
// as it was.
struct expected_change {
    // Values the run wrote or deleted: after success the new value (absent
    // when empty optional), after failure the old or the new one.
    struct value_change {
        std::string after;
        bool deleted = false;
        bool torn_ok = false;  // an in-place rewrite may be cut short on failure
    };
    std::map<value_key, value_change> values;
    // Objects the run moved (remove, restore, wipe, delete): their values
    // are not checked, only that the object stays in one form.
    std::set<uint32_t> moved;
    // Moved objects that may also be gone altogether (a delete).
    std::set<uint32_t> may_vanish;
    // Objects the run created: on success they must exist.
    std::set<uint32_t> created;
    // Names the run set: id -> new name (old or new after a failure).
    std::map<uint32_t, std::string> renamed;
};

// Checks a world after a run (with a fresh handle): every model value not
// in `change` reads back unchanged, changes obey the rule above, no
// identifier is live and removed at once, and the name index answers each
// live name with its object. `succeeded` tells how the run ended. Failures
// are reported through the test framework with `trace` in the message.
void verify_world(const wide_string& root, const expected_change& change, bool succeeded,
                  const std::string& trace);

// A readable status.
std::string status_text(odb_status status);

}  // namespace odb::reliability
