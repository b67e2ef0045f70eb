// classes, ls, count, lookup: finding objects.
#include <algorithm>
#include <iostream>
#include <optional>

#include "cli.h"
#include "database.h"
#include "name_index.h"
#include "output.h"
#include "settings.h"
#include "values.h"

namespace odbtool {

namespace {

struct query_options {
    std::string dir, cls, name, changed_after;
    std::vector<std::string> where, has, lacks;
    bool removed = false, wiped = false, all = false, any = false, ids_only = false, json = false,
         rebuild_index = false;
};

std::vector<form> chosen_forms(const query_options& o) {
    if (o.all) return {form::live, form::removed, form::wiped};
    std::vector<form> forms;
    if (o.removed) forms.push_back(form::removed);
    if (o.wiped) forms.push_back(form::wiped);
    if (forms.empty()) forms.push_back(form::live);
    return forms;
}

void add_form_flags(CLI::App* command, query_options& o) {
    command->add_flag("--removed", o.removed, "removed objects (instead of live ones)");
    command->add_flag("--wiped", o.wiped, "wiped objects (instead of live ones)");
    command->add_flag("--all", o.all, "live, removed and wiped objects");
}

void add_rebuild_flag(CLI::App* command, query_options& o) {
    command->add_flag("--rebuild-index", o.rebuild_index,
                      "let the library rebuild a name index that is missing, stale or damaged "
                      "(this writes to the database; without it the class is walked instead)");
}

// The name as the index sees it, for display; empty when there is none.
std::string object_name(database& db, uint32_t cls, uint32_t id, form f, bool& failed) {
    try {
        object obj(db, cls, id, f, false);
        bytes value;
        odb_status status = obj.try_read(ODB_NAME_ATTRIBUTE, value);
        if (status == ODB_E_NO_ATTRIBUTE) return "";
        check(status, "cannot read the name of object " + obj.label() + " at", obj.where());
        return value_text(value);
    } catch (const tool_error& error) {
        std::cerr << "odb: warning: " << error.what() << "\n";
        failed = true;
        return "?";
    }
}

struct listed {
    uint32_t id;
    form f;
};

void list_objects(const query_options& o) {
    uint32_t cls = parse_hex32(o.cls, "class");
    criteria filter_criteria;
    for (const std::string& expression : o.where) filter_criteria.where(expression);
    for (const std::string& attribute : o.has) filter_criteria.has(attribute);
    for (const std::string& attribute : o.lacks) filter_criteria.lacks(attribute);
    if (o.any) {
        if (filter_criteria.empty()) throw usage_error("--any needs --where, --has or --lacks");
        filter_criteria.any();
    }
    odb_enum_filter filter = filter_criteria.filter();
    uint32_t extra_flags = filter_criteria.empty() ? 0u : ODB_ENUM_MATCH;
    if (!o.changed_after.empty()) {
        filter.changed_after = parse_utc_time(o.changed_after);
        extra_flags |= ODB_ENUM_CHANGED_AFTER;
    }

    database db = database::open(o.dir);
    db.require_class(cls);
    std::vector<listed> found;
    bool failed = false;
    // One walk per form, so each object is tested (by the filters) and
    // labelled in its own form.
    for (form f : chosen_forms(o)) {
        walk objects(db, cls, form_enum_flag(f) | extra_flags, &filter);
        for (;;) {
            uint32_t id = 0;
            odb_status status = objects.step(id);
            if (status == ODB_E_NO_MORE_ITEMS) break;
            if (status != ODB_OK) {
                // The walk has moved past the candidate that failed.
                std::cerr << "odb: warning: skipped an object of class " << hex8(cls) << ": "
                          << describe_status(status) << "\n";
                failed = true;
                continue;
            }
            found.push_back({id, f});
        }
    }
    std::sort(found.begin(), found.end(), [](const listed& a, const listed& b) {
        return a.id != b.id ? a.id < b.id : a.f < b.f;
    });

    json list = json::array();
    table out({"ID", "FORM", "NAME"});
    for (const listed& entry : found) {
        if (o.ids_only) {
            std::cout << hex8(entry.id) << "\n";
            continue;
        }
        std::string name = object_name(db, cls, entry.id, entry.f, failed);
        list.push_back({{"id", hex8(entry.id)}, {"form", form_name(entry.f)}, {"name", name}});
        out.add({hex8(entry.id), form_name(entry.f), name});
    }
    if (o.ids_only) {
    } else if (o.json) {
        print_json(list);
    } else {
        out.print(std::cout);
    }
    if (failed) set_exit_code(exit_failure);
}

void list_classes(const query_options& o) {
    database db = database::open(o.dir);
    json list = json::array();
    table out({"CLASS", "LIVE", "REMOVED", "WIPED", "NEXT ID"});
    for (uint32_t cls : db.classes()) {
        std::size_t counts[3];
        for (form f : all_forms) counts[static_cast<int>(f)] = list_ids(db, cls, f).size();
        class_counter counter = read_class_counter(db.class_dir(cls));
        std::string next = counter.state == class_counter::valid     ? hex8(counter.next)
                           : counter.state == class_counter::damaged ? "damaged"
                                                                      : "-";
        list.push_back({{"class", hex8(cls)},
                        {"live", counts[0]},
                        {"removed", counts[1]},
                        {"wiped", counts[2]},
                        {"next_id", counter.state == class_counter::valid ? json(hex8(counter.next)) : json(nullptr)}});
        out.add({hex8(cls), std::to_string(counts[0]), std::to_string(counts[1]),
                 std::to_string(counts[2]), next});
    }
    if (o.json) print_json(list);
    else out.print(std::cout);
}

// Why the library's index cannot be used by a command that only reads, or
// empty when it can.
std::string index_unusable(database& db, uint32_t cls, const std::u16string* name) {
    if (!setting_yes(ini_file::load(settings_path(db)), "NameIndex", "Enabled")) return "";
    const fs::path dir = db.class_dir(cls);
    const uint32_t lifetime = index_lifetime(db);
    if (name ? index_readable_for_name(dir, lifetime, *name) : index_readable_for_count(dir, lifetime))
        return "";
    index_header header = read_index_header(dir, lifetime);
    std::string state = header.state == index_header::fresh ? "damaged in a bucket file" : index_state_text(header);
    return "the name index of class " + hex8(cls) + " is " + state;
}

void count_objects(const query_options& o) {
    uint32_t cls = parse_hex32(o.cls, "class");
    // No flags asks for the library's own count: by the name index when it
    // is on, otherwise by a walk.
    uint32_t flags = 0;
    if (o.all || o.removed || o.wiped)
        for (form f : chosen_forms(o)) flags |= form_enum_flag(f);
    database db = database::open(o.dir);
    db.require_class(cls);
    if (flags == 0 && !o.rebuild_index) {
        // The library would rebuild an index it cannot read as it is.
        std::string why = index_unusable(db, cls, nullptr);
        if (!why.empty()) {
            flags = ODB_ENUM_LIVE;
            note(why + ": counted by walking the class (--rebuild-index rebuilds it)");
        }
    }
    uint32_t count = 0;
    check(ODB_obj_count(db.handle(), cls, flags, &count), "cannot count class",
          path_text(db.class_dir(cls)));
    if (o.json) print_json({{"class", hex8(cls)}, {"count", count}});
    else std::cout << count << "\n";
}

// The first live object whose name reads as `wanted` (A-Z in either case).
std::optional<uint32_t> find_by_walking(database& db, uint32_t cls, const std::u16string& wanted) {
    walk objects(db, cls, ODB_ENUM_LIVE);
    for (;;) {
        uint32_t id = 0;
        odb_status status = objects.step(id);
        if (status == ODB_E_NO_MORE_ITEMS) return std::nullopt;
        check(status, "cannot walk class", path_text(db.class_dir(cls)));
        object obj(db, cls, id, form::live, false);
        bytes value;
        status = obj.try_read(ODB_NAME_ATTRIBUTE, value);
        if (status == ODB_E_NO_ATTRIBUTE) continue;
        check(status, "cannot read the name of object " + obj.label() + " at", obj.where());
        if (same_name(value_text_units(value), wanted)) return id;
    }
}

void lookup_name(const query_options& o) {
    uint32_t cls = parse_hex32(o.cls, "class");
    std::u16string name = utf8_to_utf16(o.name);
    if (name.size() > 256) throw usage_error("a name has at most 256 characters");
    database db = database::open(o.dir);
    db.require_class(cls);
    const bool index_on = setting_yes(ini_file::load(settings_path(db)), "NameIndex", "Enabled");
    std::string why = index_on ? index_unusable(db, cls, &name) : "the name index is off";
    std::optional<uint32_t> found;
    if (o.rebuild_index || why.empty()) {
        uint32_t id = 0;
        odb_status status = ODB_obj_lookup_ex(db.handle(), cls, ODB_NAME_ATTRIBUTE, ODB_NAME_UTF16,
                                              reinterpret_cast<const odb_wchar*>(name.c_str()),
                                              static_cast<uint32_t>((name.size() + 1) * 2), &id);
        if (status == ODB_E_INVALID_PARAMETER && !index_on)
            throw tool_error("cannot look up names in " + db.root_text() +
                             ": the name index is off (odb config DIR NameIndex.Enabled=yes)");
        if (status != ODB_E_NO_MORE_ITEMS) {
            check(status, "cannot look up a name in class", path_text(db.class_dir(cls)));
            found = id;
        }
    } else {
        note(why + ": looked up by walking the class" +
             (index_on ? " (--rebuild-index rebuilds it)" : ""));
        found = find_by_walking(db, cls, name);
    }
    if (!found) {
        if (o.json) print_json({{"class", hex8(cls)}, {"name", o.name}, {"id", nullptr}});
        std::cerr << "odb: no object of class " << hex8(cls) << " is named '" << o.name << "'\n";
        set_exit_code(exit_failure);
        return;
    }
    if (o.json) print_json({{"class", hex8(cls)}, {"name", o.name}, {"id", hex8(*found)}});
    else std::cout << hex8(*found) << "\n";
}

}  // namespace

void add_query_commands(CLI::App& app) {
    {
        auto o = std::make_shared<query_options>();
        CLI::App* command = app.add_subcommand(
            "classes", "List the object classes with their object counts and identifier counters");
        add_dir(command, o->dir);
        add_json(command, o->json);
        command->callback([o] { list_classes(*o); });
    }
    {
        auto o = std::make_shared<query_options>();
        CLI::App* command = app.add_subcommand("ls", "List the objects of a class, optionally filtered");
        add_dir(command, o->dir);
        add_class(command, o->cls);
        add_form_flags(command, *o);
        command->add_option("--changed-after", o->changed_after,
                            "only objects changed after this time (ISO-8601 UTC)")
            ->type_name("TIME");
        command->add_option("--where", o->where, "attribute criterion; repeatable")
            ->allow_extra_args(false)
            ->type_name("EXPR");
        command->add_option("--has", o->has, "only objects with this attribute; repeatable")
            ->allow_extra_args(false)
            ->type_name("ATTR");
        command->add_option("--lacks", o->lacks, "only objects without this attribute; repeatable")
            ->allow_extra_args(false)
            ->type_name("ATTR");
        command->add_flag("--any", o->any, "pass objects meeting any criterion (default: all)");
        command->add_flag("--ids", o->ids_only, "print only the identifiers");
        add_json(command, o->json);
        command->footer(std::string("Criteria: ") + where_syntax_help +
                        "\nText and wildcard criteria compare 8-bit values that end in a zero byte "
                        "(as odb set stores text), not UTF-16 values such as names.");
        command->callback([o] { list_objects(*o); });
    }
    {
        auto o = std::make_shared<query_options>();
        CLI::App* command = app.add_subcommand(
            "count", "Count the objects of a class (by the name index when it is on and current)");
        add_dir(command, o->dir);
        add_class(command, o->cls);
        add_form_flags(command, *o);
        add_rebuild_flag(command, *o);
        add_json(command, o->json);
        command->callback([o] { count_objects(*o); });
    }
    {
        auto o = std::make_shared<query_options>();
        CLI::App* command = app.add_subcommand(
            "lookup", "Find an object by its name through the name index (or by walking the class when the "
                      "index cannot be read as it is); prints its identifier");
        add_dir(command, o->dir);
        add_class(command, o->cls);
        command->add_option("NAME", o->name, "the name (letters A-Z match either case)")
            ->required()
            ->type_name("");
        add_rebuild_flag(command, *o);
        add_json(command, o->json);
        command->callback([o] { lookup_name(*o); });
    }
}

}  // namespace odbtool
