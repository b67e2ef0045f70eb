// dump, load: a whole database as JSON Lines, and back.
//
// The first line holds the settings of DBCFG.INI; then, class by class in
// rising order, a line for the class (its identifier counter) and one per
// object in rising identifier order, live, removed and wiped, each with its
// storage form and every attribute in base64. Times are left out, so a
// loaded database dumps exactly as the original did.
#include <algorithm>
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
const int dump_version = 1;

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
    for (uint32_t cls : db.classes()) {
        json line = {{"type", "class"}, {"class", hex8(cls)}, {"next_id", nullptr}};
        class_counter counter = read_class_counter(db.class_dir(cls));
        if (counter.state == class_counter::valid) line["next_id"] = hex8(counter.next);
        // A damaged counter is kept as it is, byte for byte.
        if (counter.state == class_counter::damaged)
            line["counter_raw"] = to_base64(read_file_bytes(path_text(db.class_dir(cls) / "OBJID.FDB")));
        out << json_line(line) << "\n";
        // All identifiers of the class in order, each in its forms: the
        // order a loaded copy dumps in too, whatever its directories' order.
        std::vector<std::pair<uint32_t, form>> objects;
        for (form f : all_forms)
            for (uint32_t id : list_ids(db, cls, f)) objects.push_back({id, f});
        std::sort(objects.begin(), objects.end());
        for (const auto& entry : objects) {
            object obj(db, cls, entry.first, entry.second, false);
            out << json_line(object_json(obj)) << "\n";
            written(out);
            shown.tick();
        }
    }
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

// Two handles with different settings: objects are imported without
// ATTRIBS.FDB, and the first write through the single-file handle converts
// them, so each object ends in the storage form it was dumped in. The name
// index and change tracking stay off while loading; the index is built by
// its first use.
class loader {
public:
    loader(const std::string& dir, const json& header) : settings_(header.at("settings")) {
        database created = database::create(dir);
        root_ = created.root();
        created.close();
        write_load_settings(false);
        files_.emplace(database::open(dir));
        write_load_settings(true);
        single_.emplace(database::open(dir));
    }

    void load_class(const json& line) {
        uint32_t cls = parse_hex32(text_field(line, "class"), "class");
        // A class that never handed out an identifier gets an empty file.
        bytes counter;
        if (line.contains("counter_raw")) {
            counter = from_base64(text_field(line, "counter_raw"));
        } else if (!line.at("next_id").is_null()) {
            std::string text = "Next ID=" + hex8(parse_hex32(text_field(line, "next_id"), "identifier"));
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
        database& db = storage == "single" ? *single_ : *files_;
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
        if (storage == "single" && attributes.empty()) obj.erase(1);
        obj.close();
        ++objects_;
    }

    std::size_t finish() {
        files_.reset();
        single_.reset();
        for (const auto& entry : counters_) {
            fs::path dir = root_ / hex8(entry.first);
            std::error_code error;
            fs::create_directories(dir, error);
            const fs::path path = dir / "OBJID.FDB";
            write_file_bytes(path_text(path), entry.second);
        }
        ini_file ini;
        for (auto section = settings_.begin(); section != settings_.end(); ++section)
            for (auto key = section.value().begin(); key != section.value().end(); ++key)
                ini.set(section.key(), key.key(), key.value().get<std::string>());
        ini.save(root_ / "DBCFG.INI");
        return objects_;
    }

    const fs::path& root() const { return root_; }

private:
    void write_load_settings(bool single) {
        ini_file ini;
        ini.set("NameIndex", "Enabled", "no");
        ini.set("Tracking", "AttributeChanges", "no");
        ini.set("Tracking", "ObjectChanges", "no");
        ini.set("Attribs", "SingleFile", single ? "yes" : "no");
        ini.set("Attribs", "AutoConvert", single ? "yes" : "no");
        ini.save(root_ / "DBCFG.INI");
    }

    json settings_;
    fs::path root_;
    std::optional<database> files_, single_;
    std::map<uint32_t, bytes> counters_;
    std::size_t objects_ = 0;
};

void load(const std::string& dir, std::istream& in) {
    std::string text;
    std::size_t number = 0;
    std::optional<loader> target;
    progress shown("load");
    while (std::getline(in, text)) {
        ++number;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.empty()) continue;
        try {
            json line = json::parse(text);
            std::string type = text_field(line, "type");
            if (!target) {
                if (type != dump_type || line.value("version", 0) != dump_version)
                    throw tool_error("not a qmfiledb dump of version " + std::to_string(dump_version));
                target.emplace(dir, line);
            } else if (type == "class") {
                target->load_class(line);
            } else if (type == "object") {
                target->load_object(line);
                shown.tick();
            } else {
                throw tool_error("unknown line type '" + type + "'");
            }
        } catch (const std::exception& error) {
            // A database made before the failure stays, with the load's
            // own settings; say where it is.
            std::string message = "dump line " + std::to_string(number) + ": " + error.what();
            if (target) message += " (the partly loaded database is in " + path_text(target->root()) + ")";
            throw tool_error(message);
        }
    }
    if (!target) throw tool_error("the dump is empty");
    std::size_t objects = target->finish();
    shown.finish();
    std::cout << "loaded " << objects << " objects into " << path_text(target->root()) << "\n";
}

}  // namespace

void add_dump_commands(CLI::App& app) {
    struct options {
        std::string dir, file;
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
            "load", "Create a database from a dump, with the same identifiers, forms and storage");
        add_dir(command, o->dir);
        command->add_option("--in", o->file, "read this file instead of standard input")->type_name("PATH");
        command->callback([o] {
            if (o->file.empty()) {
                load(o->dir, std::cin);
            } else {
                std::ifstream in(utf8_path(o->file), std::ios::binary);
                if (!in) throw_file_error("cannot read", o->file);
                load(o->dir, in);
            }
        });
    }
}

}  // namespace odbtool
