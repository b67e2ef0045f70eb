// create, config, destroy: a database as a whole and its settings file.
#include <iostream>

#include "cli.h"
#include "database.h"
#include "output.h"
#include "settings.h"

namespace odbtool {

namespace {

std::string settings_help() {
    std::string text = "Settings (SECTION.KEY=VALUE):\n";
    for (const setting_info& info : known_settings()) {
        std::string name = std::string(info.section) + "." + info.key;
        const char* kind = info.kind == setting_kind::yes_no    ? "yes|no"
                           : info.kind == setting_kind::integer ? "integer"
                                                                 : "8 hex digits";
        text += "  " + name + std::string(name.size() < 30 ? 30 - name.size() : 1, ' ') + kind +
                ", default " + info.default_value + ": " + info.meaning + "\n";
    }
    return text;
}

// Checks every change before any is written, including the range they
// leave behind.
std::vector<setting_change> parse_changes(const std::vector<std::string>& arguments,
                                          const ini_file& current) {
    std::vector<setting_change> changes;
    for (const std::string& argument : arguments) changes.push_back(parse_setting_change(argument));
    ini_file after = current;
    for (const setting_change& change : changes) after.set(change.section, change.key, change.value);
    if (setting_id(after, "FirstId") > setting_id(after, "LastId"))
        throw usage_error("IdAssignment.FirstId would lie above IdAssignment.LastId");
    return changes;
}

void apply_changes(const database& db, const std::vector<std::string>& arguments, bool quiet) {
    const fs::path path = settings_path(db);
    ini_file ini = ini_file::load(path);
    std::vector<setting_change> changes = parse_changes(arguments, ini);
    if (changes.empty()) return;
    for (const setting_change& change : changes) ini.set(change.section, change.key, change.value);
    ini.save(path);
    if (quiet) return;
    for (const setting_change& change : changes)
        std::cout << change.section << "." << change.key << " = " << change.value << "\n";
}

void show_settings(const database& db, bool as_json) {
    const ini_file ini = ini_file::load(settings_path(db));
    json list = json::array();
    table out({"SETTING", "VALUE", "FROM", "MEANING"});
    for (const setting_info& info : known_settings()) {
        std::optional<std::string> raw = ini.get(info.section, info.key);
        std::string name = std::string(info.section) + "." + info.key;
        std::string value = effective_value(info, raw);
        list.push_back({{"setting", name},
                        {"value", value},
                        {"in_file", raw ? json(*raw) : json(nullptr)},
                        {"default", info.default_value}});
        std::string from = raw ? (*raw == value ? "file" : "file: " + *raw) : "default";
        out.add({name, value, from, info.meaning});
    }
    // Keys the library does not read are shown, since they do nothing.
    json unknown = json::array();
    for (const auto& section : ini.entries())
        for (const auto& entry : section.second)
            if (find_setting(section.first + "." + entry.first) == nullptr) {
                unknown.push_back(section.first + "." + entry.first + "=" + entry.second);
                out.add({section.first + "." + entry.first, entry.second, "file", "(not a setting)"});
            }
    if (as_json) {
        print_json({{"database", db.root_text()}, {"settings", list}, {"unknown", unknown}});
    } else {
        out.print(std::cout);
    }
}

}  // namespace

void add_database_commands(CLI::App& app) {
    struct options {
        std::string dir;
        std::vector<std::string> settings;
        bool json = false;
    };

    {
        auto o = std::make_shared<options>();
        CLI::App* command = app.add_subcommand("create", "Create a database in a new or empty directory");
        add_dir(command, o->dir);
        command->add_option("SETTING", o->settings, "settings to write, SECTION.KEY=VALUE")->type_name("");
        command->footer(settings_help());
        command->callback([o] {
            // Settings are checked before anything is created.
            parse_changes(o->settings, ini_file());
            database db = database::create(o->dir);
            std::cout << "created database " << db.root_text() << "\n";
            apply_changes(db, o->settings, false);
        });
    }
    {
        auto o = std::make_shared<options>();
        CLI::App* command = app.add_subcommand(
            "config", "Show the settings of DBCFG.INI, or change them (SECTION.KEY=VALUE ...)");
        add_dir(command, o->dir);
        command->add_option("SETTING", o->settings, "settings to change, SECTION.KEY=VALUE")->type_name("");
        add_json(command, o->json);
        command->footer(settings_help() +
                        "Changes take effect for handles opened afterwards; the library reads "
                        "DBCFG.INI when a database is opened.");
        command->callback([o] {
            database db = database::open(o->dir);
            if (o->settings.empty()) show_settings(db, o->json);
            else apply_changes(db, o->settings, false);
        });
    }
    {
        auto o = std::make_shared<options>();
        CLI::App* command = app.add_subcommand(
            "destroy", "Delete a database: every file is overwritten, then removed");
        add_dir(command, o->dir);
        command->callback([o] {
            database db = database::open(o->dir);
            db.destroy();
            std::cout << "destroyed database " << db.root_text() << "\n";
        });
    }
}

}  // namespace odbtool
