// The multi-process helper runs one command per process:
//   odb_test_helper COMMAND ARGS...
// Each file in tests/helper registers its commands with ODB_HELPER_COMMAND,
// so a suite adds what it needs without touching the others.
#pragma once

#include <string>
#include <vector>

namespace helper {

using command_function = int (*)(const std::vector<std::string>& args);

struct command {
    const char* name;
    command_function run;
    const char* usage;
};

bool register_command(const command& entry);
const std::vector<command>& commands();

}  // namespace helper

#define ODB_HELPER_COMMAND(name, function, usage) \
    static const bool registered_##function = ::helper::register_command({name, function, usage})
