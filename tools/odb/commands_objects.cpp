// new, import, rm, restore, stat: objects as a whole.
#include <iostream>
#include <optional>

#include "cli.h"
#include "database.h"
#include "output.h"
#include "values.h"

namespace odbtool {

namespace {

struct object_options {
    std::string dir, cls, id, attribute, name;
    std::vector<std::string> sets;
    bool wipe = false, erase = false, json = false;
};

void add_value_options(CLI::App* command, object_options& o) {
    command->add_option("--name", o.name, "the object's name (stored as UTF-16 with FF FE)")
        ->type_name("TEXT");
    command->add_option("--set", o.sets, "ATTR=VALUE to store; repeatable")
        ->allow_extra_args(false)
        ->type_name("ATTR=VALUE");
    command->footer(value_syntax_help);
}

// Stores the name and values of a new object; the object exists already,
// so a failure says so.
void fill_new_object(object& obj, const object_options& o,
                     const std::vector<std::pair<uint32_t, bytes>>& values) {
    try {
        if (!o.name.empty()) obj.write(ODB_NAME_ATTRIBUTE, utf16_value(o.name));
        for (const auto& value : values) obj.replace(value.first, value.second);
    } catch (const tool_error& error) {
        throw tool_error("object " + obj.label() + " was created, but " + error.what());
    }
}

void report_new_object(const object& obj, bool as_json) {
    if (as_json) print_json({{"class", hex8(obj.cls())}, {"id", hex8(obj.id())}});
    else std::cout << hex8(obj.id()) << "\n";
}

template <class T>
odb_status get_info(const object& obj, uint32_t info_class, uint32_t attribute, T& result) {
    uint32_t length = sizeof result;
    return ODB_obj_get_info(obj.handle(), info_class, attribute, &result, &length);
}

struct file_times {
    odb_systemtime created, accessed, written;
    unsigned char rest[64];
};

std::vector<odb_attribute_change_info> change_history(const object& obj) {
    uint32_t length = 0;
    check(ODB_obj_get_info(obj.handle(), ODB_INFO_ATTRIBUTE_CHANGES, 0, nullptr, &length),
          "cannot read the change history of object " + obj.label() + " at", obj.where());
    std::vector<odb_attribute_change_info> records(length / sizeof(odb_attribute_change_info));
    if (records.empty()) return records;
    length = static_cast<uint32_t>(records.size() * sizeof records[0]);
    check(ODB_obj_get_info(obj.handle(), ODB_INFO_ATTRIBUTE_CHANGES, 0, records.data(), &length),
          "cannot read the change history of object " + obj.label() + " at", obj.where());
    records.resize(length / sizeof(odb_attribute_change_info));
    return records;
}

void stat_object(const object& obj, bool as_json) {
    const bool single = obj.single_file();
    std::vector<attribute_entry> attributes = obj.attributes();
    uint64_t total = 0;
    for (const attribute_entry& entry : attributes) total += entry.length;
    file_times times = {};
    odb_status times_status = get_info(obj, ODB_INFO_TIMES, 0, times);
    std::vector<odb_attribute_change_info> changes = change_history(obj);

    auto time_text = [&](const odb_systemtime& t) {
        return times_status == ODB_OK ? format_utc_time(t) : std::string("-");
    };
    auto time_json = [&](const odb_systemtime& t) {
        return times_status == ODB_OK && t.year != 0 ? json(format_utc_time(t)) : json(nullptr);
    };
    if (as_json) {
        json history = json::array();
        for (const auto& change : changes)
            history.push_back({{"attr", hex8(change.attribute)},
                               {"action", change.deleted ? "deleted" : "updated"},
                               {"time", format_utc_time(change.changed)}});
        print_json({{"class", hex8(obj.cls())},
                    {"id", hex8(obj.id())},
                    {"form", form_name(obj.current_form())},
                    {"path", path_text(obj.directory())},
                    {"storage", single ? "single" : "files"},
                    {"attributes", attributes.size()},
                    {"size", total},
                    {"created", time_json(times.created)},
                    {"accessed", time_json(times.accessed)},
                    {"changed", time_json(times.written)},
                    {"history", history}});
        return;
    }
    table out({});
    out.add({"object", obj.label() + " (" + form_name(obj.current_form()) + ")"});
    out.add({"path", path_text(obj.directory())});
    out.add({"storage", single ? std::string("single file (") + disk::record_file_name + ")"
                               : std::string("one file per attribute (") + disk::attribute_file_suffix + ")"});
    out.add({"size", std::to_string(total) + " bytes in " + std::to_string(attributes.size()) +
                         " attributes"});
    // The lock file's times: created with the object, written at each change.
    out.add({"created", time_text(times.created)});
    out.add({"accessed", time_text(times.accessed)});
    out.add({"changed", time_text(times.written)});
    out.print(std::cout);
    if (!changes.empty()) {
        std::cout << "\nchange history:\n";
        table history({"ATTR", "ACTION", "TIME"});
        for (const auto& change : changes)
            history.add({hex8(change.attribute), change.deleted ? "deleted" : "updated",
                         format_utc_time(change.changed)});
        history.print(std::cout);
    }
}

void stat_attribute(const object& obj, uint32_t attribute, bool as_json) {
    const bool single = obj.single_file();
    bytes value;
    odb_status read_status = obj.try_read(attribute, value);
    if (read_status != ODB_OK && read_status != ODB_E_NO_ATTRIBUTE)
        throw_status(read_status, "cannot read attribute " + hex8(attribute) + " of object " + obj.label() + " at",
                     obj.where());
    const bool exists = read_status == ODB_OK;
    fs::path path = obj.directory() / (single ? std::string(disk::record_file_name)
                                              : hex8(attribute) + disk::attribute_file_suffix);
    // Per-attribute files have times of their own; records in ATTRIBS.FDB
    // keep theirs inside the file, where the interface does not reach.
    file_times times = {};
    odb_status times_status = ODB_E_NO_ATTRIBUTE;
    if (exists && !single) times_status = get_info(obj, ODB_INFO_TIMES, attribute, times);
    odb_attribute_change_info change = {};
    odb_status change_status = get_info(obj, ODB_INFO_ATTRIBUTE_CHANGES, attribute, change);
    const bool tracked = change_status == ODB_OK && change.changed.year != 0;
    auto time_text = [&](const odb_systemtime& t) {
        return times_status == ODB_OK ? format_utc_time(t) : std::string("-");
    };
    auto time_json = [&](const odb_systemtime& t) {
        return times_status == ODB_OK && t.year != 0 ? json(format_utc_time(t)) : json(nullptr);
    };
    std::string last_change = tracked ? std::string(change.deleted ? "deleted " : "updated ") +
                                            format_utc_time(change.changed)
                                      : "-";
    if (as_json) {
        print_json({{"class", hex8(obj.cls())},
                    {"id", hex8(obj.id())},
                    {"attr", hex8(attribute)},
                    {"exists", exists},
                    {"size", exists ? json(value.size()) : json(nullptr)},
                    {"value", exists ? value_json(value) : json(nullptr)},
                    {"path", path_text(path)},
                    {"created", time_json(times.created)},
                    {"accessed", time_json(times.accessed)},
                    {"written", time_json(times.written)},
                    {"last_change", tracked ? json({{"action", change.deleted ? "deleted" : "updated"},
                                                    {"time", format_utc_time(change.changed)}})
                                            : json(nullptr)}});
        return;
    }
    table out({});
    out.add({"attribute", hex8(attribute) + " of " + obj.label() + " (" + form_name(obj.current_form()) + ")"});
    out.add({"value", exists ? std::to_string(value.size()) + " bytes, " + value_preview(value) : "(none)"});
    out.add({"path", path_text(path)});
    out.add({"created", time_text(times.created)});
    out.add({"accessed", time_text(times.accessed)});
    out.add({"written", time_text(times.written)});
    out.add({"last change", last_change});
    out.print(std::cout);
}

}  // namespace

void add_object_commands(CLI::App& app) {
    {
        auto o = std::make_shared<object_options>();
        CLI::App* command = app.add_subcommand("new", "Create an object; prints its new identifier");
        add_dir(command, o->dir);
        add_class(command, o->cls);
        add_value_options(command, *o);
        add_json(command, o->json);
        command->callback([o] {
            uint32_t cls = parse_hex32(o->cls, "class");
            std::vector<std::pair<uint32_t, bytes>> values;
            for (const std::string& set : o->sets) values.push_back(parse_assignment(set));
            database db = database::open(o->dir);
            object obj = object::create(db, cls);
            fill_new_object(obj, *o, values);
            obj.close();
            report_new_object(obj, o->json);
        });
    }
    {
        auto o = std::make_shared<object_options>();
        CLI::App* command = app.add_subcommand("import", "Create an object under an identifier of your choice");
        add_dir(command, o->dir);
        add_class(command, o->cls);
        add_id(command, o->id);
        add_value_options(command, *o);
        add_json(command, o->json);
        command->callback([o] {
            uint32_t cls = parse_hex32(o->cls, "class"), id = parse_hex32(o->id, "identifier");
            std::vector<std::pair<uint32_t, bytes>> values;
            for (const std::string& set : o->sets) values.push_back(parse_assignment(set));
            database db = database::open(o->dir);
            object obj = object::import(db, cls, id);
            fill_new_object(obj, *o, values);
            obj.close();
            report_new_object(obj, o->json);
        });
    }
    {
        auto o = std::make_shared<object_options>();
        CLI::App* command = app.add_subcommand(
            "rm", "Remove an object (restorable), or wipe (--wipe) or delete (--delete) it");
        add_dir(command, o->dir);
        add_class(command, o->cls);
        add_id(command, o->id);
        command->add_flag("--wipe", o->wipe, "overwrite and delete its files; the identifier stays taken");
        command->add_flag("--delete", o->erase, "delete the object directory altogether");
        command->callback([o] {
            uint32_t cls = parse_hex32(o->cls, "class"), id = parse_hex32(o->id, "identifier");
            if (o->wipe && o->erase) throw usage_error("choose one of --wipe and --delete");
            database db = database::open(o->dir);
            object obj = object::open_any(db, cls, id, true);
            // Removing a removed object again, or wiping a wiped one, would
            // do nothing at best; a wiped object removed again would come
            // back under the removed name, as if it could be restored.
            const form now = obj.current_form();
            if (!o->erase && now != form::live && (now == form::wiped || !o->wipe))
                throw tool_error("object " + obj.label() + " is already " + form_name(now) + " (at " +
                                     obj.where() + ")" +
                                     (now == form::removed ? ": odb restore brings it back, --wipe or --delete end it"
                                                           : ": --delete deletes it for good"),
                                 obj.where());
            uint32_t options = (o->wipe ? ODB_REMOVE_WIPE : 0u) | (o->erase ? ODB_REMOVE_DELETE : 0u);
            obj.remove(options);
            obj.close();
            std::cout << obj.label() << " "
                      << (o->erase ? "deleted" : o->wipe ? "wiped" : "removed") << "\n";
        });
    }
    {
        auto o = std::make_shared<object_options>();
        CLI::App* command = app.add_subcommand("restore", "Bring a removed object back to life");
        add_dir(command, o->dir);
        add_class(command, o->cls);
        add_id(command, o->id);
        command->callback([o] {
            uint32_t cls = parse_hex32(o->cls, "class"), id = parse_hex32(o->id, "identifier");
            database db = database::open(o->dir);
            object obj(db, cls, id, form::removed, true);
            obj.restore();
            obj.close();
            std::cout << obj.label() << " restored\n";
        });
    }
    {
        auto o = std::make_shared<object_options>();
        CLI::App* command = app.add_subcommand(
            "stat", "Show an object's form, path, storage, times, size and change history, or "
                    "those of one attribute");
        add_dir(command, o->dir);
        add_class(command, o->cls);
        add_id(command, o->id);
        command->add_option("ATTR", o->attribute, "attribute number (hexadecimal) or 'name'")
            ->type_name("");
        add_json(command, o->json);
        command->callback([o] {
            uint32_t cls = parse_hex32(o->cls, "class"), id = parse_hex32(o->id, "identifier");
            std::optional<uint32_t> attribute;
            if (!o->attribute.empty()) attribute = parse_attribute(o->attribute);
            database db = database::open(o->dir);
            object obj = object::open_any(db, cls, id, false);
            if (attribute) stat_attribute(obj, *attribute, o->json);
            else stat_object(obj, o->json);
        });
    }
}

}  // namespace odbtool
