// Checks of a database against the journals of the workers that used it
// (see workload.h), shared by the crash and stress tests.
#pragma once

#include <string>

#include "qmfiledb.h"
#include "reliability/workload.h"

namespace odb::reliability {

odb_status read_attribute(odb_database* db, uint32_t id, uint32_t attribute, uint32_t mode,
                          std::string& value);

// Everything the journal says is done is in the database. The key of the
// operation in flight is then deleted through the library, which must leave
// it absent: a moving rewrite cut short must not leave a second record that
// a delete uncovers. Afterwards the model knows that key absent.
void verify_model(odb_database* db, workload_model& model, const std::string& trace);

// Every live object's name, looked up, gives that object (unless its
// removal was in flight).
void verify_names(odb_database* db, const workload_model& model, const std::string& trace);

}  // namespace odb::reliability
