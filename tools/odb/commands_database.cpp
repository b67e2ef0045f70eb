// create, config, destroy: a database as a whole and its settings file.
#include <algorithm>
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
        std::string name = dotted_name(info);
        const char* kind = info.kind == setting_kind::yes_no    ? "yes|no"
                           : info.kind == setting_kind::integer ? "integer"
                                                                 : "8 hex digits";
        text += "  " + name + std::string(name.size() < 30 ? 30 - name.size() : 1, ' ') + kind +
                ", default " + default_text(info) + ": " + info.meaning + "\n";
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
    if (setting_id(after, odb::settings::first_id) > setting_id(after, odb::settings::last_id))
        throw usage_error(dotted_name(odb::settings::first_id) + " would lie above " +
                          dotted_name(odb::settings::last_id));
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
        std::optional<std::string> raw = ini.get(info);
        std::string name = dotted_name(info);
        std::string value = effective_value(info, raw);
        list.push_back({{"setting", name},
                        {"value", value},
                        {"in_file", raw ? json(*raw) : json(nullptr)},
                        {"default", default_text(info)}});
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

// What the root holds besides the marker, the settings and their lock, and
// class directories: the user's files, which destroying would take along.
std::vector<std::string> foreign_entries(const database& db) {
    std::vector<std::string> out;
    std::error_code error;
    for (fs::directory_iterator it(db.root(), error), end; !error && it != end; it.increment(error)) {
        std::string name = path_text(it->path().filename());
        std::error_code type_error;
        const bool directory = it->is_directory(type_error);
        bool own = !directory && (iequals(name, disk::marker_file) || iequals(name, disk::settings_file) ||
                                  iequals(name, disk::config_lock_file));
        if (directory && name.size() == 8 &&
            name.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
            own = true;
        if (!own) out.push_back(name + (directory ? "/" : ""));
    }
    if (error) throw tool_error("cannot list " + db.root_text() + ": " + error.message(), db.root_text());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

void add_database_commands(CLI::App& app) {
    struct options {
        std::string dir;
        std::vector<std::string> settings;
        bool json = false, force = false, yes = false;
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
            "config", std::string("Show the settings of ") + disk::settings_file +
                          ", or change them (SECTION.KEY=VALUE ...)");
        add_dir(command, o->dir);
        command->add_option("SETTING", o->settings, "settings to change, SECTION.KEY=VALUE")->type_name("");
        add_json(command, o->json);
        command->footer(settings_help() +
                        "Changes take effect for handles opened afterwards; the library reads " +
                        disk::settings_file + " when a database is opened.");
        command->callback([o] {
            database db = database::open(o->dir);
            if (o->settings.empty()) show_settings(db, o->json);
            else apply_changes(db, o->settings, false);
        });
    }
    {
        auto o = std::make_shared<options>();
        CLI::App* command = app.add_subcommand(
            "destroy", "Delete a database: every file is overwritten, then removed (asks first on a terminal)");
        add_dir(command, o->dir);
        command->add_flag("--force", o->force,
                          "destroy even when the directory holds files that are not the database's");
        command->add_flag("-y,--yes", o->yes, "do not ask on a terminal");
        command->callback([o] {
            database db = database::open(o->dir);
            std::vector<std::string> foreign = foreign_entries(db);
            if (!foreign.empty() && !o->force) {
                std::string list;
                for (const std::string& name : foreign) list += "\n  " + name;
                throw tool_error("not destroying " + db.root_text() +
                                     ": it holds what is not the database's own (--force destroys it too):" + list,
                                 db.root_text());
            }
            if (!o->yes && stdin_is_terminal()) {
                std::cerr << "destroy the database " << db.root_text() << " and everything in it"
                          << (foreign.empty() ? "" : ", with files that are not the database's") << "? [y/N] "
                          << std::flush;
                std::string answer;
                std::getline(std::cin, answer);
                if (answer != "y" && answer != "Y" && answer != "yes")
                    throw tool_error("not destroyed: " + db.root_text(), db.root_text());
            }
            db.destroy();
            std::cout << "destroyed database " << db.root_text() << "\n";
        });
    }
}

}  // namespace odbtool
