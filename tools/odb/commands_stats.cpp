// stats, changes, purge: what a database holds, what changed in it, and
// removed or wiped objects deleted for good.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <thread>

#include "cli.h"
#include "database.h"
#include "name_index.h"
#include "output.h"
#include "settings.h"

namespace odbtool {

namespace {

const int64_t epoch_1992 = 694224000;  // Unix time of 1992-01-01

int64_t unix_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Days since 1970-01-01 of a civil date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int64_t unix_time(const odb_systemtime& t) {
    return days_from_civil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

odb_systemtime system_time(int64_t unix) {
    int64_t days = unix / 86400, rest = unix % 86400;
    // Civil date from days since 1970 (the inverse of days_from_civil).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    odb_systemtime out = {};
    out.day = static_cast<uint16_t>(doy - (153 * mp + 2) / 5 + 1);
    out.month = static_cast<uint16_t>(mp < 10 ? mp + 3 : mp - 9);
    out.year = static_cast<uint16_t>(static_cast<int64_t>(yoe) + era * 400 + (out.month <= 2));
    out.hour = static_cast<uint16_t>(rest / 3600);
    out.minute = static_cast<uint16_t>(rest / 60 % 60);
    out.second = static_cast<uint16_t>(rest % 60);
    return out;
}

std::string unix_text(int64_t unix) {
    std::string text = format_utc_time(system_time(unix));
    return text.substr(0, 19) + "Z";  // whole seconds, as the files keep them
}

// 30d, 12h, 90m, 45s (a bare number is seconds).
int64_t parse_age(const std::string& text) {
    if (text.empty()) throw usage_error("empty age");
    char unit = text.back();
    int64_t scale = unit == 'd' ? 86400 : unit == 'h' ? 3600 : unit == 'm' ? 60 : 1;
    std::string digits = (unit >= '0' && unit <= '9') ? text : text.substr(0, text.size() - 1);
    if (unit != 's' && unit != 'm' && unit != 'h' && unit != 'd' && !(unit >= '0' && unit <= '9'))
        throw usage_error("bad age '" + text + "': expected a number with s, m, h or d");
    return static_cast<int64_t>(parse_u32(digits, "age")) * scale;
}

// ---- stats --------------------------------------------------------------------

struct class_stats {
    uint64_t forms[3] = {0, 0, 0};
    uint64_t attributes = 0, files = 0, bytes = 0;
};

void add_files(const fs::path& dir, class_stats& stats) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        std::error_code type_error;
        if (!it->is_regular_file(type_error)) continue;
        ++stats.files;
        stats.bytes += it->file_size(type_error);
    }
}

void show_stats(const std::string& dir, const std::string& only, bool as_json) {
    database db = database::open(dir);
    std::vector<uint32_t> classes;
    if (!only.empty()) {
        uint32_t cls = parse_hex32(only, "class");
        db.require_class(cls);
        classes.push_back(cls);
    } else {
        classes = db.classes();
    }
    const bool index_on = setting_yes(ini_file::load(settings_path(db)), odb::settings::name_index_enabled);
    const uint32_t lifetime = index_lifetime(db);
    const uint32_t now = index_clock_now();
    std::optional<stream_table> out;
    std::optional<json_stream> list;
    if (as_json) list.emplace(true);
    else out.emplace(std::vector<std::string>{"CLASS", "LIVE", "REMOVED", "WIPED", "ATTRS", "FILES", "BYTES", "INDEX"},
                     std::vector<std::size_t>{8, 8, 8, 8, 9, 9, 12});
    class_stats total;
    progress shown("stats");
    for (uint32_t cls : classes) {
        class_stats stats;
        for (form f : all_forms) {
            std::vector<uint32_t> ids = list_ids(db, cls, f);
            shown.stage("stats class " + hex8(cls) + " (" + form_name(f) + ")", ids.size());
            stats.forms[static_cast<int>(f)] = ids.size();
            for (uint32_t id : ids) {
                object obj(db, cls, id, f, false);
                stats.attributes += obj.attributes().size();
                shown.tick();
            }
        }
        add_files(db.class_dir(cls), stats);
        index_header index = read_index_header(db.class_dir(cls), lifetime, 0);
        std::string index_text = !index_on ? "off" : index_state_text(index);
        json index_json = {{"state", index_on ? json(index_text) : json("off")}, {"age_seconds", nullptr}};
        if (index_on && (index.state == index_header::fresh || index.state == index_header::stale)) {
            index_text += ", " + std::to_string(now > index.built ? now - index.built : 0) + " s old";
            index_json["age_seconds"] = now > index.built ? now - index.built : 0;
        }
        for (int i = 0; i < 3; ++i) total.forms[i] += stats.forms[i];
        total.attributes += stats.attributes;
        total.files += stats.files;
        total.bytes += stats.bytes;
        if (list)
            list->add({{"class", hex8(cls)}, {"live", stats.forms[0]}, {"removed", stats.forms[1]},
                       {"wiped", stats.forms[2]}, {"attributes", stats.attributes}, {"files", stats.files},
                       {"bytes", stats.bytes}, {"index", index_json}});
        else
            out->row({hex8(cls), std::to_string(stats.forms[0]), std::to_string(stats.forms[1]),
                      std::to_string(stats.forms[2]), std::to_string(stats.attributes),
                      std::to_string(stats.files), std::to_string(stats.bytes), index_text});
    }
    shown.finish();
    if (only.empty()) {
        class_stats root;
        add_files(db.root(), root);
        if (list)
            list->add({{"class", nullptr}, {"live", total.forms[0]}, {"removed", total.forms[1]},
                       {"wiped", total.forms[2]}, {"attributes", total.attributes}, {"files", root.files},
                       {"bytes", root.bytes}, {"index", nullptr}});
        else
            out->row({"total", std::to_string(total.forms[0]), std::to_string(total.forms[1]),
                      std::to_string(total.forms[2]), std::to_string(total.attributes),
                      std::to_string(root.files), std::to_string(root.bytes), ""});
    }
}

// ---- changes ------------------------------------------------------------------

// OBJCHGS.FDB: 8-byte records, object identifier and seconds since 1992
// of its latest change, one per object that ever changed.
std::map<uint32_t, uint32_t> read_changes(const fs::path& file) {
    std::map<uint32_t, uint32_t> out;
    std::ifstream in(file, std::ios::binary);
    unsigned char record[disk::object_change_record_size];
    while (in.read(reinterpret_cast<char*>(record), sizeof record)) {
        uint32_t id = record[0] | (record[1] << 8) | (record[2] << 16) | (static_cast<uint32_t>(record[3]) << 24);
        uint32_t when = record[4] | (record[5] << 8) | (record[6] << 16) | (static_cast<uint32_t>(record[7]) << 24);
        out[id] = when;
    }
    return out;
}

void show_changes(const std::string& dir, const std::string& class_text, const std::string& since,
                  bool follow, bool as_json) {
    uint32_t cls = parse_hex32(class_text, "class");
    int64_t after = since.empty() ? INT64_MIN : unix_time(parse_utc_time(since));
    database db = database::open(dir);
    db.require_class(cls);
    const fs::path file = db.class_dir(cls) / disk::object_changes_file;
    if (!setting_yes(ini_file::load(settings_path(db)), odb::settings::track_object_changes))
        note("object changes are recorded only with Tracking.ObjectChanges=yes");
    std::optional<stream_table> out;
    if (!as_json) out.emplace(std::vector<std::string>{"TIME", "ID"}, std::vector<std::size_t>{20});
    std::map<uint32_t, uint32_t> seen;
    for (;;) {
        std::map<uint32_t, uint32_t> now = read_changes(file);
        std::vector<std::pair<uint32_t, uint32_t>> fresh;  // (time, id)
        for (const auto& entry : now) {
            auto before = seen.find(entry.first);
            if (before != seen.end() && before->second == entry.second) continue;
            if (epoch_1992 + entry.second > after) fresh.push_back({entry.second, entry.first});
        }
        std::sort(fresh.begin(), fresh.end());
        for (const auto& change : fresh) {
            const std::string time = unix_text(epoch_1992 + change.first);
            if (as_json) std::cout << json_line({{"time", time}, {"class", hex8(cls)}, {"id", hex8(change.second)}}) << "\n";
            else out->row({time, hex8(change.second)});
        }
        flush_output();
        if (!follow) return;
        seen = std::move(now);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

// ---- purge --------------------------------------------------------------------

void purge(const std::string& dir, const std::string& class_text, bool removed, bool wiped,
           const std::string& older_than, bool yes) {
    uint32_t cls = parse_hex32(class_text, "class");
    if (removed == wiped) throw usage_error("choose one of --removed and --wiped");
    const form f = removed ? form::removed : form::wiped;
    const std::optional<int64_t> age = older_than.empty() ? std::nullopt : std::optional<int64_t>(parse_age(older_than));
    database db = database::open(dir);
    db.require_class(cls);
    std::vector<uint32_t> ids = list_ids(db, cls, f);
    if (age) {
        const int64_t limit = unix_now() - *age;
        std::vector<uint32_t> old;
        for (uint32_t id : ids) {
            object obj(db, cls, id, f, false);
            struct {
                odb_systemtime created, accessed, written;
                unsigned char rest[64];
            } times = {};
            uint32_t length = sizeof times;
            // The lock file's last write: the object's last change.
            if (ODB_obj_get_info(obj.handle(), ODB_INFO_TIMES, 0, &times, &length) == ODB_OK &&
                unix_time(times.written) <= limit)
                old.push_back(id);
        }
        ids.swap(old);
    }
    if (ids.empty()) {
        std::cout << "no " << form_name(f) << " objects of class " << hex8(cls) << " to purge\n";
        return;
    }
    if (!yes && stdin_is_terminal()) {
        std::cerr << "delete " << ids.size() << " " << form_name(f) << " objects of class " << hex8(cls)
                  << " in " << db.root_text() << " for good? [y/N] " << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        if (answer != "y" && answer != "Y" && answer != "yes") throw tool_error("nothing purged");
    }
    progress shown("purge class " + hex8(cls), ids.size());
    std::size_t purged = 0;
    for (uint32_t id : ids) {
        object obj(db, cls, id, f, true);
        obj.remove(ODB_REMOVE_DELETE);
        obj.close();
        ++purged;
        shown.tick();
    }
    shown.finish();
    std::cout << "purged " << purged << " " << form_name(f) << " objects of class " << hex8(cls) << "\n";
}

}  // namespace

void add_stats_commands(CLI::App& app) {
    struct options {
        std::string dir, cls, since, older_than;
        bool json = false, follow = false, removed = false, wiped = false, yes = false;
    };
    {
        auto o = std::make_shared<options>();
        CLI::App* command = app.add_subcommand(
            "stats", "Objects per form, attributes, files and bytes, and the name index's state and "
                     "age, per class and in total");
        add_dir(command, o->dir);
        command->add_option("CLASS", o->cls, "only this class (hexadecimal)")->type_name("");
        command->add_flag("--json", o->json, "print JSON Lines, one class per line (then the total)");
        command->callback([o] { show_stats(o->dir, o->cls, o->json); });
    }
    {
        auto o = std::make_shared<options>();
        CLI::App* command = app.add_subcommand(
            "changes", "The object changes a class records (Tracking.ObjectChanges), oldest first");
        add_dir(command, o->dir);
        add_class(command, o->cls);
        command->add_option("--since", o->since, "only changes after this time (ISO-8601 UTC)")->type_name("TIME");
        command->add_flag("--follow", o->follow, "keep printing changes as they are recorded");
        command->add_flag("--json", o->json, "print JSON Lines");
        command->callback([o] { show_changes(o->dir, o->cls, o->since, o->follow, o->json); });
    }
    {
        auto o = std::make_shared<options>();
        CLI::App* command = app.add_subcommand(
            "purge", "Delete removed (--removed) or wiped (--wiped) objects of a class for good");
        add_dir(command, o->dir);
        add_class(command, o->cls);
        command->add_flag("--removed", o->removed, "purge removed objects");
        command->add_flag("--wiped", o->wiped, "purge wiped objects");
        command->add_option("--older-than", o->older_than,
                            "only objects last changed longer ago than this (30d, 12h, 90m, 45s)")
            ->type_name("AGE");
        command->add_flag("-y,--yes", o->yes, "do not ask on a terminal");
        command->callback(
            [o] { purge(o->dir, o->cls, o->removed, o->wiped, o->older_than, o->yes); });
    }
}

}  // namespace odbtool
