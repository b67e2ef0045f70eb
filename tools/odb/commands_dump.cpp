// dump, load: a whole database as JSON Lines, and back.
//
// The first line holds the settings of DBCFG.INI; then, class by class in
// rising order, a line for the class (its identifier counter) and one per
// object in rising identifier order, live, removed and wiped, each with its
// storage form and every attribute in base64; last, an end record with the
// number of classes and objects, so that a cut dump is refused. Times are
// left out, so a loaded database dumps exactly as the original did.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>

#include "cli.h"
#include "database.h"
#include "output.h"
#include "settings.h"
#include "values.h"

namespace odbtool {

namespace {

const char* const dump_type = "qmfiledb-dump";
// Version 1 dumps have no end record; they still load.
const int dump_version = 2;

json settings_json(const database& db) {
    json settings = json::object();
    for (const auto& section : ini_file::load(settings_path(db)).entries()) {
        json& keys = settings[section.first];
        if (keys.is_null()) keys = json::object();
        for (const auto& entry : section.second)
            if (!keys.contains(entry.first)) keys[entry.first] = entry.second;
    }
    return settings;
}

json object_json(const object& obj) {
    std::vector<attribute_entry> entries = obj.attributes();
    std::sort(entries.begin(), entries.end(),
              [](const attribute_entry& a, const attribute_entry& b) { return a.number < b.number; });
    json attributes = json::object();
    for (const attribute_entry& entry : entries)
        attributes[hex8(entry.number)] = to_base64(obj.read(entry.number));
    return {{"type", "object"},
            {"class", hex8(obj.cls())},
            {"id", hex8(obj.id())},
            {"form", form_name(obj.current_form())},
            {"storage", obj.single_file() ? "single" : "files"},
            {"attributes", attributes}};
}

// A failed write ends the dump at once.
void written(std::ostream& out) {
    if (&out == &std::cout) check_output();
    else if (!out) throw tool_error("cannot write the dump: " + std::string(std::strerror(errno)));
}

void dump(database& db, std::ostream& out) {
    out << json_line({{"type", dump_type}, {"version", dump_version}, {"settings", settings_json(db)}})
        << "\n";
    progress shown("dump");
    std::size_t classes = 0, objects_written = 0;
    for (uint32_t cls : db.classes()) {
        ++classes;
        json line = {{"type", "class"}, {"class", hex8(cls)}, {"next_id", nullptr}};
        class_counter counter = read_class_counter(db.class_dir(cls));
        if (counter.state == class_counter::valid) line["next_id"] = hex8(counter.next);
        // A damaged counter is kept as it is, byte for byte.
        if (counter.state == class_counter::damaged)
            line["counter_raw"] = to_base64(read_file_bytes(path_text(db.class_dir(cls) / disk::id_file)));
        out << json_line(line) << "\n";
        // All identifiers of the class in order, each in its forms: the
        // order a loaded copy dumps in too, whatever its directories' order.
        std::vector<std::pair<uint32_t, form>> objects;
        for (form f : all_forms)
            for (uint32_t id : list_ids(db, cls, f)) objects.push_back({id, f});
        std::sort(objects.begin(), objects.end());
        shown.stage("dump class " + hex8(cls), objects.size());
        for (const auto& entry : objects) {
            object obj(db, cls, entry.first, entry.second, false);
            out << json_line(object_json(obj)) << "\n";
            written(out);
            shown.tick();
            ++objects_written;
        }
    }
    out << json_line({{"type", "end"}, {"classes", classes}, {"objects", objects_written}}) << "\n";
    out.flush();
    written(out);
}

form parse_form(const std::string& name) {
    for (form f : all_forms)
        if (name == form_name(f)) return f;
    throw tool_error("unknown form '" + name + "'");
}

std::string text_field(const json& line, const char* key) {
    auto it = line.find(key);
    if (it == line.end() || !it->is_string()) throw tool_error(std::string("missing \"") + key + "\"");
    return it->get<std::string>();
}

// Set by SIGINT and SIGTERM while a load runs; the load stops at the next
// line and removes what it made.
volatile std::sig_atomic_t interrupted = 0;
extern "C" void on_interrupt(int) { interrupted = 1; }

struct interrupt_guard {
    interrupt_guard() {
        previous_int = std::signal(SIGINT, on_interrupt);
        previous_term = std::signal(SIGTERM, on_interrupt);
    }
    ~interrupt_guard() {
        std::signal(SIGINT, previous_int);
        std::signal(SIGTERM, previous_term);
    }
    void (*previous_int)(int);
    void (*previous_term)(int);
};

struct load_options {
    bool into = false, replace = false;
};

// A new database is loaded into a directory beside the target and renamed
// into place when complete, so that a load that fails or is interrupted
// leaves nothing behind. Two handles with different settings: objects are
// imported without ATTRIBS.FDB, and the first write through the
// single-file handle converts them, so each object ends in the storage
// form it was dumped in. The name index and change tracking stay off while
// loading; the index is built by its first use.
//
// Merged into an existing database (--into), objects take its settings and
// storage form; identifiers it holds already are skipped or replaced.
class loader {
public:
    loader(const std::string& dir, const json& header, const load_options& options)
        : settings_(header.at("settings")), options_(options) {
        target_ = database_path(dir);
        if (options.into) {
            single_.emplace(database::open(dir));
            root_ = target_;
            return;
        }
        std::error_code error;
        if (fs::exists(target_, error) && !(fs::is_directory(target_, error) && fs::is_empty(target_, error)))
            throw tool_error("cannot load into " + path_text(target_) +
                                 ": it exists and is not an empty directory (--into merges into a database)",
                             path_text(target_));
        root_ = target_;
        root_ += ".odb-load-" + std::to_string(static_cast<unsigned long>(
                                    std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007));
        database created = database::create(path_text(root_));
        created.close();
        write_load_settings(false);
        files_.emplace(database::open(path_text(root_)));
        write_load_settings(true);
        single_.emplace(database::open(path_text(root_)));
    }

    ~loader() {
        if (!done_ && !options_.into) {
            files_.reset();
            single_.reset();
            std::error_code error;
            fs::remove_all(root_, error);
        }
    }

    void load_class(const json& line) {
        uint32_t cls = parse_hex32(text_field(line, "class"), "class");
        ++classes_;
        // A class that never handed out an identifier gets an empty file.
        bytes counter;
        if (line.contains("counter_raw")) {
            counter = from_base64(text_field(line, "counter_raw"));
        } else if (!line.at("next_id").is_null()) {
            std::string text = disk::next_id_prefix + hex8(parse_hex32(text_field(line, "next_id"), "identifier"));
            counter.assign(text.begin(), text.end());
        }
        counters_[cls] = counter;
    }

    void load_object(const json& line) {
        uint32_t cls = parse_hex32(text_field(line, "class"), "class");
        uint32_t id = parse_hex32(text_field(line, "id"), "identifier");
        form f = parse_form(text_field(line, "form"));
        std::string storage = text_field(line, "storage");
        if (storage != "single" && storage != "files") throw tool_error("unknown storage '" + storage + "'");
        ++objects_;
        database& db = storage == "single" || options_.into ? *single_ : *files_;
        if (options_.into && !make_room(db, cls, id)) return;
        if (f != form::live) {
            object created = object::import(db, cls, id);
            created.remove(f == form::wiped ? ODB_REMOVE_WIPE : 0);
            created.close();
        }
        object obj = f == form::live ? object::import(db, cls, id) : object(db, cls, id, f, true);
        const json& attributes = line.at("attributes");
        for (auto it = attributes.begin(); it != attributes.end(); ++it)
            obj.write(parse_hex32(it.key(), "attribute number"), from_base64(it.value().get<std::string>()));
        // Deleting an absent attribute is still a write: it converts an
        // object that has no attributes to the single-file form.
        if (storage == "single" && attributes.empty() && !options_.into) obj.erase(1);
        obj.close();
        ++loaded_;
    }

    void check_end(const json& line) {
        const uint64_t classes = line.at("classes").get<uint64_t>(), objects = line.at("objects").get<uint64_t>();
        if (classes != classes_ || objects != objects_)
            throw tool_error("the end record counts " + std::to_string(classes) + " classes and " +
                             std::to_string(objects) + " objects, the dump holds " +
                             std::to_string(classes_) + " and " + std::to_string(objects_));
        ended_ = true;
    }

    bool ended() const { return ended_; }

    std::string finish() {
        files_.reset();
        single_.reset();
        for (const auto& entry : counters_) {
            fs::path dir = root_ / hex8(entry.first);
            std::error_code error;
            fs::create_directories(dir, error);
            bytes counter = entry.second;
            if (options_.into) {
                // The higher counter of the two, so neither side's
                // identifiers are handed out again.
                class_counter mine = read_class_counter(dir);
                std::string text(counter.begin(), counter.end());
                uint32_t next = 0;
                const std::string prefix = disk::next_id_prefix;
                if (text.size() == disk::next_id_size && text.compare(0, prefix.size(), prefix) == 0)
                    next = parse_hex32(text.substr(prefix.size()), "identifier");
                if (mine.state == class_counter::valid && mine.next >= next) continue;
                if (next == 0) continue;
            }
            write_file_bytes(path_text(dir / disk::id_file), counter);
        }
        if (options_.into) {
            done_ = true;
            return "merged " + std::to_string(loaded_) + " objects into " + path_text(target_) + " (" +
                   std::to_string(skipped_) + " skipped, " + std::to_string(replaced_) + " replaced)";
        }
        ini_file ini;
        for (auto section = settings_.begin(); section != settings_.end(); ++section)
            for (auto key = section.value().begin(); key != section.value().end(); ++key)
                ini.set(section.key(), key.key(), key.value().get<std::string>());
        ini.save(root_ / disk::settings_file);
        std::error_code error;
        if (fs::exists(target_, error)) fs::remove(target_, error);  // empty, checked above
        fs::rename(root_, target_, error);
        if (error)
            throw tool_error("cannot move the loaded database from " + path_text(root_) + " to " +
                                 path_text(target_) + ": " + error.message(),
                             path_text(target_));
        done_ = true;
        return "loaded " + std::to_string(loaded_) + " objects into " + path_text(target_);
    }

    const fs::path& target() const { return target_; }

private:
    // For a merge: false to skip an identifier the database holds already,
    // true once it is free (deleted first with --replace).
    bool make_room(database& db, uint32_t cls, uint32_t id) {
        for (form f : all_forms) {
            std::error_code error;
            if (!fs::exists(db.object_dir(cls, id, f), error)) continue;
            if (!options_.replace) {
                ++skipped_;
                return false;
            }
            object old(db, cls, id, f, true);
            old.remove(ODB_REMOVE_DELETE);
            old.close();
            ++replaced_;
            return true;
        }
        return true;
    }

    void write_load_settings(bool single) {
        ini_file ini;
        ini.set(odb::settings::name_index_enabled, "no");
        ini.set(odb::settings::track_attribute_changes, "no");
        ini.set(odb::settings::track_object_changes, "no");
        ini.set(odb::settings::single_file, single ? "yes" : "no");
        ini.set(odb::settings::auto_convert, single ? "yes" : "no");
        ini.save(root_ / disk::settings_file);
    }

    json settings_;
    load_options options_;
    fs::path target_, root_;
    std::optional<database> files_, single_;
    std::map<uint32_t, bytes> counters_;
    std::size_t classes_ = 0, objects_ = 0, loaded_ = 0, skipped_ = 0, replaced_ = 0;
    bool ended_ = false, done_ = false;
};

void load(const std::string& dir, std::istream& in, const load_options& options) {
    interrupt_guard guard;
    interrupted = 0;
    std::string text;
    std::size_t number = 0;
    std::optional<loader> target;
    bool versioned_end = true;
    const std::string nothing = options.into ? " (objects merged before it stay)" : " (nothing was loaded)";
    progress shown("load");
    while (!interrupted && std::getline(in, text)) {
        ++number;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.empty()) continue;
        try {
            json line = json::parse(text);
            std::string type = text_field(line, "type");
            if (target && target->ended()) throw tool_error("a line follows the end record");
            if (!target) {
                int version = line.value("version", 0);
                if (type != dump_type || version < 1 || version > dump_version)
                    throw tool_error("not a qmfiledb dump of version 1 to " + std::to_string(dump_version));
                versioned_end = version >= 2;
                target.emplace(dir, line, options);
            } else if (type == "class") {
                target->load_class(line);
            } else if (type == "object") {
                target->load_object(line);
                shown.tick();
            } else if (type == "end") {
                target->check_end(line);
            } else {
                throw tool_error("unknown line type '" + type + "'");
            }
        } catch (const std::exception& error) {
            throw tool_error("dump line " + std::to_string(number) + ": " + error.what() + nothing);
        }
    }
    shown.finish();
    if (interrupted)
        throw tool_error("load interrupted at dump line " + std::to_string(number) + nothing);
    if (!target) throw tool_error("the dump is empty");
    if (versioned_end && !target->ended())
        throw tool_error("the dump ends at line " + std::to_string(number) +
                         " without its end record: it was cut" + nothing);
    std::cout << target->finish() << "\n";
}

}  // namespace

void add_dump_commands(CLI::App& app) {
    struct options {
        std::string dir, file;
        load_options load;
    };
    {
        auto o = std::make_shared<options>();
        CLI::App* command = app.add_subcommand(
            "dump", "Write the whole database as JSON Lines: settings, classes, every object in "
                    "every form with all its attributes (base64)");
        add_dir(command, o->dir);
        command->add_option("--out", o->file, "write to this file instead of standard output")
            ->type_name("PATH");
        command->callback([o] {
            database db = database::open(o->dir);
            if (o->file.empty()) {
                dump(db, std::cout);
            } else {
                std::ofstream out(utf8_path(o->file), std::ios::binary | std::ios::trunc);
                if (!out) throw_file_error("cannot write", o->file);
                dump(db, out);
            }
        });
    }
    {
        auto o = std::make_shared<options>();
        CLI::App* command = app.add_subcommand(
            "load", "Create a database from a dump, with the same identifiers, forms and storage, or merge one into a database (--into)");
        add_dir(command, o->dir);
        command->add_option("--in", o->file, "read this file instead of standard input")->type_name("PATH");
        command->add_flag("--into", o->load.into,
                          "merge into an existing database: new identifiers are loaded, identifiers "
                          "it holds already are skipped (its settings and storage form are kept)");
        command->add_flag("--replace", o->load.replace,
                          "with --into, replace the objects it holds already instead of skipping them");
        command->footer("A new database is loaded beside DIR and renamed into place when complete: a "
                        "load that fails, is interrupted or reads a cut dump leaves nothing behind.");
        command->callback([o] {
            if (o->load.replace && !o->load.into) throw usage_error("--replace goes with --into");
            if (o->file.empty()) {
                load(o->dir, std::cin, o->load);
            } else {
                std::ifstream in(utf8_path(o->file), std::ios::binary);
                if (!in) throw_file_error("cannot read", o->file);
                load(o->dir, in, o->load);
            }
        });
    }
}

}  // namespace odbtool
