// classes, ls, count, lookup: finding objects.
#include <algorithm>
#include <iostream>
#include <optional>

#include "cli.h"
#include "database.h"
#include "library_trace.h"
#include "name_index.h"
#include "output.h"
#include "settings.h"
#include "values.h"

namespace odbtool {

namespace {

struct query_options {
    std::string dir, cls, name, changed_after;
    std::vector<std::string> where, has, lacks;
    bool removed = false, wiped = false, all = false, any = false, ids_only = false, json = false, jsonl = false,
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

// The name for display; none when the object has none, "?" when it cannot
// be read (with a warning).
std::optional<std::string> object_name(database& db, uint32_t cls, uint32_t id, form f, bool& failed) {
    try {
        object obj(db, cls, id, f, false);
        bytes value;
        odb_status status = obj.try_read(ODB_NAME_ATTRIBUTE, value);
        if (status == ODB_E_NO_ATTRIBUTE) return std::nullopt;
        check(status, "cannot read the name of object " + obj.label() + " at", obj.where());
        return value_text(value);
    } catch (const tool_error& error) {
        std::cerr << "odb: warning: " << error.what() << "\n";
        print_trace(std::cerr, trace_of(error));
        failed = true;
        return std::string("?");
    }
}

bool name_matches(database& db, uint32_t cls, uint32_t id, form f, const criteria& tests) {
    object obj(db, cls, id, f, false);
    bytes value;
    odb_status status = obj.try_read(ODB_NAME_ATTRIBUTE, value);
    if (status == ODB_E_NO_ATTRIBUTE) return tests.name_passes(nullptr);
    check(status, "cannot read the name of object " + obj.label() + " at", obj.where());
    return tests.name_passes(&value);
}

// Prints the objects of one block of identifiers, in rising order.
class object_lister {
public:
    object_lister(database& db, uint32_t cls, const query_options& o, const std::vector<form>& forms)
        : db_(db), cls_(cls), o_(o) {
        if (o.ids_only) return;
        if (o.json || o.jsonl) {
            json_.emplace(o.jsonl);
            return;
        }
        std::size_t form_width = 4;
        for (form f : forms) form_width = std::max(form_width, std::string(form_name(f)).size());
        table_.emplace(std::vector<std::string>{"ID", "FORM", "NAME"}, std::vector<std::size_t>{8, form_width});
    }

    void add(uint32_t id) { block_.push_back(id); }

    // Walks yield a block directory (512 identifiers) at a time, in the
    // file system's order: each block is sorted and printed before the next
    // is read, so output starts at once and memory stays flat.
    void flush(form f) {
        std::sort(block_.begin(), block_.end());
        for (uint32_t id : block_) print(id, f);
        block_.clear();
        flush_output();
    }

    void finish() {
        if (json_) json_->finish();
    }

    bool failed = false;

private:
    void print(uint32_t id, form f) {
        if (o_.ids_only) {
            std::cout << hex8(id) << "\n";
            check_output();
            return;
        }
        std::optional<std::string> name = object_name(db_, cls_, id, f, failed);
        if (json_)
            json_->add({{"id", hex8(id)}, {"form", form_name(f)}, {"name", name ? json(*name) : json(nullptr)}});
        else
            table_->row({hex8(id), form_name(f), name ? *name : ""});
    }

    database& db_;
    uint32_t cls_;
    const query_options& o_;
    std::optional<stream_table> table_;
    std::optional<json_stream> json_;
    std::vector<uint32_t> block_;
};

void list_objects(const query_options& o) {
    uint32_t cls = parse_hex32(o.cls, "class");
    criteria filter_criteria;
    for (const std::string& expression : o.where) filter_criteria.where(expression);
    for (const std::string& attribute : o.has) filter_criteria.has(attribute);
    for (const std::string& attribute : o.lacks) filter_criteria.lacks(attribute);
    if (o.any) {
        if (filter_criteria.empty()) throw usage_error("--any needs --where, --has or --lacks");
        if (filter_criteria.has_name_criteria() &&
            o.where.size() + o.has.size() + o.lacks.size() != filter_criteria.name_criteria())
            throw usage_error("--any joins name=/name~ criteria only with each other");
        filter_criteria.any();
    }
    if (o.json && o.jsonl) throw usage_error("choose one of --json and --jsonl");
    odb_enum_filter filter = filter_criteria.filter();
    uint32_t extra_flags = filter.criteria_count == 0 ? 0u : ODB_ENUM_MATCH;
    if (!o.changed_after.empty()) {
        filter.changed_after = parse_utc_time(o.changed_after);
        extra_flags |= ODB_ENUM_CHANGED_AFTER;
    }

    database db = database::open(o.dir);
    db.require_class(cls);
    const std::vector<form> forms = chosen_forms(o);
    object_lister out(db, cls, o, forms);
    // One walk per form, so each object is tested (by the filters) and
    // labelled in its own form; with several forms, each comes in turn.
    for (form f : forms) {
        walk objects(db, cls, form_enum_flag(f) | extra_flags, &filter);
        uint32_t block = 0;
        for (;;) {
            uint32_t id = 0;
            odb_status status = objects.step(id);
            if (status == ODB_E_NO_MORE_ITEMS) break;
            if (status != ODB_OK) {
                // The walk has moved past the candidate that failed.
                std::cerr << "odb: warning: skipped an object of class " << hex8(cls) << ": "
                          << describe_status(status) << "\n";
                print_trace(std::cerr, take_library_trace(status));
                out.failed = true;
                continue;
            }
            if (filter_criteria.has_name_criteria() && !name_matches(db, cls, id, f, filter_criteria)) continue;
            if ((id >> 9) != block) {
                out.flush(f);
                block = id >> 9;
            }
            out.add(id);
        }
        out.flush(f);
    }
    out.finish();
    if (out.failed) set_exit_code(exit_failure);
}

void list_classes(const query_options& o) {
    if (o.json && o.jsonl) throw usage_error("choose one of --json and --jsonl");
    database db = database::open(o.dir);
    std::optional<json_stream> list;
    std::optional<stream_table> out;
    if (o.json || o.jsonl) list.emplace(o.jsonl);
    else out.emplace(std::vector<std::string>{"CLASS", "LIVE", "REMOVED", "WIPED", "NEXT ID"},
                     std::vector<std::size_t>{8, 8, 8, 8});
    for (uint32_t cls : db.classes()) {
        std::size_t counts[3];
        for (form f : all_forms) counts[static_cast<int>(f)] = count_ids(db, cls, f);
        class_counter counter = read_class_counter(db.class_dir(cls));
        std::string next = counter.state == class_counter::valid     ? hex8(counter.next)
                           : counter.state == class_counter::damaged ? "damaged"
                                                                      : "-";
        if (list)
            list->add({{"class", hex8(cls)},
                       {"live", counts[0]},
                       {"removed", counts[1]},
                       {"wiped", counts[2]},
                       {"next_id", counter.state == class_counter::valid ? json(hex8(counter.next)) : json(nullptr)}});
        else
            out->row({hex8(cls), std::to_string(counts[0]), std::to_string(counts[1]),
                      std::to_string(counts[2]), next});
        flush_output();
    }
    if (list) list->finish();
}

// Why the library's index cannot be used by a command that only reads, or
// empty when it can.
std::string index_unusable(database& db, uint32_t cls, const std::u16string* name) {
    if (!setting_yes(ini_file::load(settings_path(db)), odb::settings::name_index_enabled)) return "";
    const fs::path dir = db.class_dir(cls);
    const uint32_t lifetime = index_lifetime(db);
    if (name ? index_readable_for_name(dir, lifetime, *name) : index_readable_for_count(dir, lifetime))
        return "";
    index_header header = read_index_header(dir, lifetime);
    std::string state = header.state == index_header::fresh ? "damaged in a bucket file" : index_state_text(header);
    return "the name index of class " + hex8(cls) + " is " + state;
}

// While the library rebuilds an index it gives no progress; on a terminal
// a line says what is going on until it returns.
struct rebuild_notice {
    explicit rebuild_notice(const std::string& why) {
        if (why.empty() || quiet() || !stderr_is_terminal()) return;
        text_ = why + ": rebuilding it ...";
        std::cerr << text_ << std::flush;
    }
    ~rebuild_notice() {
        if (!text_.empty()) std::cerr << "\r" << std::string(text_.size(), ' ') << "\r" << std::flush;
    }
    std::string text_;
};

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
    if (flags != 0) {
        // A walk, counted here so that a long one shows its progress.
        progress shown("count class " + hex8(cls));
        for (form f : all_forms)
            if (flags & form_enum_flag(f)) {
                walk objects(db, cls, form_enum_flag(f));
                uint32_t id = 0;
                odb_status status;
                while ((status = objects.step(id)) == ODB_OK) {
                    ++count;
                    shown.tick();
                }
                if (status != ODB_E_NO_MORE_ITEMS)
                    throw_status(status, "cannot count class", path_text(db.class_dir(cls)));
            }
    } else {
        rebuild_notice shown(o.rebuild_index ? index_unusable(db, cls, nullptr) : "");
        check(ODB_obj_count(db.handle(), cls, flags, &count), "cannot count class",
              path_text(db.class_dir(cls)));
    }
    if (o.json) print_json({{"class", hex8(cls)}, {"count", count}});
    else std::cout << count << "\n";
}

// The first live object whose name reads as `wanted` (A-Z in either case).
std::optional<uint32_t> find_by_walking(database& db, uint32_t cls, const std::u16string& wanted) {
    walk objects(db, cls, ODB_ENUM_LIVE);
    progress shown("lookup by walking class " + hex8(cls));
    for (;; shown.tick()) {
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
    const bool index_on = setting_yes(ini_file::load(settings_path(db)), odb::settings::name_index_enabled);
    std::string why = index_on ? index_unusable(db, cls, &name) : "the name index is off";
    std::optional<uint32_t> found;
    if (o.rebuild_index || why.empty()) {
        rebuild_notice shown(index_on ? why : "");
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
        set_exit_code(exit_not_found);
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
        command->add_flag("--jsonl", o->jsonl, "print JSON Lines, one class per line");
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
        command->add_flag("--jsonl", o->jsonl, "print JSON Lines, one object per line");
        command->footer(std::string("Criteria: ") + where_syntax_help +
                        "\nText and wildcard criteria compare 8-bit values that end in a zero byte "
                        "(as odb set stores text); name=TEXT and name~PATTERN compare names in either "
                        "stored form (UTF-16 or 8-bit), and are tested by odb itself.");
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
        command->footer("Exit status: 0 found, 3 no object has that name, 1 failure, 2 usage error.");
        command->callback([o] { lookup_name(*o); });
    }
}

}  // namespace odbtool
