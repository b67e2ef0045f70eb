// The command groups of the tool. Each adds its subcommands to the
// application; a subcommand's callback runs the command and throws
// usage_error or tool_error when it cannot be carried out.
#pragma once

#include <memory>
#include <string>

#include <CLI/CLI.hpp>

namespace odbtool {

void add_database_commands(CLI::App& app);   // create, config, destroy
void add_object_commands(CLI::App& app);     // new, import, rm, restore, stat
void add_attribute_commands(CLI::App& app);  // set, get, unset, attrs
void add_query_commands(CLI::App& app);      // classes, ls, count, lookup
void add_id_commands(CLI::App& app);         // ids
void add_check_command(CLI::App& app);       // check
void add_dump_commands(CLI::App& app);       // dump, load
void add_stats_commands(CLI::App& app);      // stats, changes, purge
void add_demo_command(CLI::App& app);        // demo
void add_doctor_command(CLI::App& app);      // doctor

class database;
// Runs the whole check and prints its report; true for a sound database.
bool check_database(database& db, bool repair, bool as_json);

// The exit code of a command that finished without throwing but still
// has to report failure (check finding problems, a lookup finding nothing).
void set_exit_code(int code);
int exit_code_set();

// Shared argument shapes.
inline CLI::Option* add_dir(CLI::App* command, std::string& dir) {
    return command->add_option("DIR", dir, "database directory")->required()->type_name("");
}
inline CLI::Option* add_class(CLI::App* command, std::string& cls) {
    return command->add_option("CLASS", cls, "object class (hexadecimal)")->required()->type_name("");
}
inline CLI::Option* add_id(CLI::App* command, std::string& id) {
    return command->add_option("ID", id, "object identifier (hexadecimal)")->required()->type_name("");
}
inline CLI::Option* add_json(CLI::App* command, bool& json) {
    return command->add_flag("--json", json, "print JSON instead of a table");
}

}  // namespace odbtool
