// check [--repair]: walks every class and object of a database and verifies
// what can be verified from outside the library: every object opens, every
// attribute lists and reads back at its listed length, record files are
// whole, class counters lie above the identifiers in use, and the name
// index agrees with the objects. Derived data (the index), counters and the
// record files a power cut leaves empty or cut are repaired on request;
// everything else is reported.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <tuple>

#include "cli.h"
#include "database.h"
#include "library_trace.h"
#include "name_index.h"
#include "output.h"
#include "platform/handle.h"
#include "platform/win32.h"
#include "settings.h"

namespace odbtool {

namespace {

enum class repair_kind { none, index, counter, record_header, record_tail };

const char* repair_text(repair_kind repair) {
    switch (repair) {
    case repair_kind::index: return "rebuild the name index";
    case repair_kind::counter: return "move the counter";
    case repair_kind::record_header: return "write the header of a record file without records";
    case repair_kind::record_tail: return "cut the torn record off";
    default: return nullptr;
    }
}

struct object_key {
    uint32_t cls, id;
    form f;
    bool operator<(const object_key& other) const {
        return std::tie(cls, id, f) < std::tie(other.cls, other.id, other.f);
    }
};

struct problem {
    std::string path, message;
    repair_kind repair;
    uint32_t cls;
    std::string trace;   // the library's line on the failure found (--verbose)
    object_key object;   // whose record file a record repair mends
};

// What could not be repaired, with the trace line of the failure that stopped it.
struct unrepaired {
    std::string text, trace;
};

// A record file found damaged by its own walk, and how it is mended.
struct record_damage {
    std::string message;
    repair_kind repair;
    uint64_t cut_at;  // record_tail: the end of the last whole record
};

const std::size_t lookups_reported = 10;  // per class, then a summary

uint32_t get32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bytes read_whole(const fs::path& path, bool& exists) {
    std::ifstream in(path, std::ios::binary);
    exists = static_cast<bool>(in);
    bytes content;
    if (!in) return content;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return content;
}

// Changes a record file in place through the platform layer the library
// uses: opened as the library's writers open it (no other writer shares
// it), and put on stable storage when the database asks that of every
// change. With a header, the file becomes that header alone; without, it
// is cut at `size`.
void change_record_file(const fs::path& path, uint64_t size, const bytes& header, bool flush) {
    const std::string text = path_text(path);
    const std::u16string units = utf8_to_utf16(text);
    const std::basic_string<WCHAR> name(units.begin(), units.end());
    auto failed = [&](const char* what) {
        return tool_error("cannot " + std::string(what) + " " + text + ": system error " +
                              std::to_string(GetLastError()),
                          text);
    };
    odb::file_handle file(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw failed("open");
    DWORD written = 0;
    if (!header.empty() && (!WriteFile(file.get(), header.data(), static_cast<DWORD>(header.size()), &written,
                                       nullptr) ||
                            written != header.size()))
        throw failed("write the header of");
    // Low half all ones is also the failure value: only a cleared last
    // error tells them apart.
    LONG high = static_cast<LONG>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    if (header.empty() &&
        SetFilePointer(file.get(), static_cast<LONG>(size & 0xFFFFFFFFu), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != ERROR_SUCCESS)
        throw failed("position in");
    if (!SetEndOfFile(file.get())) throw failed("cut");
    if (flush && !FlushFileBuffers(file.get())) throw failed("flush");
}

// The library ends a record chain quietly where the file is cut (the rest
// is unreachable, and its next change of the file cuts it off), so a cut
// file is found by walking it here. Check and repair both walk with this,
// so what is mended is what was found: a file too short for its header
// holds no record and gets the header a new object's file holds; a header
// or data area that runs past the end of the file ends the chain, and the
// file is cut where the library would cut it, after the last whole record.
std::vector<record_damage> inspect_record_file(const bytes& file) {
    std::vector<record_damage> found;
    // The library reads a header cut after its magic as one without
    // records and refuses one cut within it; either way no record is lost.
    const uint64_t file_header = disk::record_file_header_size, record_header = disk::record_header_size;
    if (file.size() < file_header) {
        found.push_back({"the file is cut inside its " + std::to_string(file_header) + "-byte header (" +
                             std::to_string(file.size()) + " bytes)",
                         repair_kind::record_header, 0});
        return found;
    }
    const uint64_t size = file.size();
    uint64_t position = file[4] | (file[5] << 8);
    while (position < size) {
        if (position + record_header > size) {
            found.push_back({"the file ends inside a record header at offset " + std::to_string(position) +
                                 ": it was cut (" + std::to_string(size - position) + " stray bytes)",
                             repair_kind::record_tail, position});
            return found;
        }
        const unsigned char* header = file.data() + position;
        uint32_t id = get32(header), capacity = get32(header + 4), length = get32(header + 8);
        if (position + record_header + capacity > size) {
            // A record is appended free (identifier 0) and gets its
            // identifier last, so a writer that died in between leaves
            // a free area cut short at the end: no value is lost, and
            // the library cuts it off at its next change of the file.
            if (id == 0) return found;
            found.push_back({"the record of attribute " + hex8(id) + " at offset " + std::to_string(position) +
                                 " needs " + std::to_string(capacity) + " bytes but the file ends after " +
                                 std::to_string(size - position - record_header) +
                                 ": the file was cut and the value is lost",
                             repair_kind::record_tail, position});
            return found;
        }
        if (length > capacity)
            found.push_back({"the record of attribute " + hex8(id) + " at offset " + std::to_string(position) +
                                 " is longer (" + std::to_string(length) + ") than its area (" +
                                 std::to_string(capacity) + ")",
                             repair_kind::none, 0});
        position += record_header + capacity;
    }
    return found;
}

struct class_state {
    std::vector<std::pair<uint32_t, std::u16string>> names;  // live objects with a name
    std::set<uint32_t> live_ids;
    std::size_t live = 0;
    bool any_id_in_range = false;
    uint32_t highest_in_range = 0;  // among identifiers from FirstId to LastId
    class_counter counter;
};

class checker {
public:
    explicit checker(database& db) : db_(db) {}

    void run() {
        problems_.clear();
        objects_ = attributes_ = 0;
        states_.clear();
        const ini_file ini = ini_file::load(settings_path(db_));
        index_on_ = setting_yes(ini, odb::settings::name_index_enabled);
        durable_ = setting_yes(ini, odb::settings::durability_flush);
        lifetime_ = index_lifetime(db_);
        first_id_ = setting_id(ini, odb::settings::first_id);
        last_id_ = setting_id(ini, odb::settings::last_id);
        if (first_id_ > last_id_)
            add(path_text(settings_path(db_)),
                dotted_name(odb::settings::first_id) + " " + hex8(first_id_) + " lies above " +
                    odb::settings::last_id.key + " " + hex8(last_id_));
        progress shown("check");
        classes_ = db_.classes();
        for (uint32_t cls : classes_) check_class(cls, shown);
        shown.finish();
    }

    const std::vector<problem>& problems() const { return problems_; }
    std::size_t objects() const { return objects_; }
    std::size_t attributes() const { return attributes_; }
    std::size_t classes() const { return classes_.size(); }

    // Repairs what can be; returns what was done and what could not be.
    std::vector<std::string> repair(std::vector<unrepaired>& not_repaired) {
        std::vector<std::string> done;
        std::set<uint32_t> index_classes;
        std::set<object_key> record_files;
        bool counters = false;
        for (const problem& p : problems_) {
            if (p.repair == repair_kind::index) index_classes.insert(p.cls);
            else if (p.repair == repair_kind::counter) counters = true;
            else if (p.repair == repair_kind::record_header || p.repair == repair_kind::record_tail)
                record_files.insert(p.object);
            else not_repaired.push_back({p.path + ": " + p.message, p.trace});
        }
        // Before the index is rebuilt, so that it is built from the mended files.
        for (const object_key& key : record_files) {
            try {
                std::string line = mend_record_file(key);
                if (!line.empty()) done.push_back(line);
            } catch (const tool_error& error) {
                not_repaired.push_back({error.what(), trace_of(error)});
            }
        }
        for (uint32_t cls : index_classes) {
            // The index is derived: without names.dat the next lookup
            // rebuilds every bucket from the objects.
            fs::path header = db_.class_dir(cls) / disk::name_index_file;
            std::error_code error;
            fs::remove(header, error);
            if (error) {
                not_repaired.push_back({path_text(header) + ": cannot delete it: " + error.message(), ""});
                continue;
            }
            uint32_t id = 0;
            const char16_t empty[1] = {0};
            ODB_obj_lookup_ex(db_.handle(), cls, ODB_NAME_ATTRIBUTE, ODB_NAME_UTF16,
                              reinterpret_cast<const odb_wchar*>(empty), 2, &id);
            done.push_back("rebuilt the name index of class " + hex8(cls));
        }
        if (counters) repair_counters(done, not_repaired);
        return done;
    }

private:
    void add(const std::string& path, const std::string& message,
             repair_kind repair = repair_kind::none, uint32_t cls = 0, const std::string& trace = "") {
        problems_.push_back({path, message, repair, cls, trace, {}});
    }

    void check_class(uint32_t cls, progress& shown) {
        class_state& state = states_[cls];
        state.counter = read_class_counter(db_.class_dir(cls));
        std::map<uint32_t, form> seen;
        for (form f : all_forms) {
            std::vector<uint32_t> ids;
            try {
                ids = list_ids(db_, cls, f);
            } catch (const tool_error& error) {
                add(path_text(db_.class_dir(cls)), error.what(), repair_kind::none, 0, trace_of(error));
                continue;
            }
            shown.stage("check class " + hex8(cls) + " (" + form_name(f) + ")", ids.size());
            for (uint32_t id : ids) {
                auto earlier = seen.find(id);
                if (earlier != seen.end())
                    add(path_text(db_.object_dir(cls, id, f)),
                        std::string("object exists both ") + form_name(earlier->second) + " and " +
                            form_name(f) + " (a restore or removal of it will fail)");
                else
                    seen[id] = f;
                if (id >= first_id_ && id <= last_id_) {
                    state.highest_in_range =
                        state.any_id_in_range ? std::max(state.highest_in_range, id) : id;
                    state.any_id_in_range = true;
                }
                check_object({cls, id, f}, state);
                shown.tick();
            }
        }
        check_counter(cls, state);
        if (index_on_) check_index(cls, state);
    }

    void check_object(const object_key& key, class_state& state) {
        const uint32_t cls = key.cls, id = key.id;
        const form f = key.f;
        ++objects_;
        if (f == form::live) {
            ++state.live;
            state.live_ids.insert(id);
        }
        try {
            object obj(db_, cls, id, f, false);
            std::vector<attribute_entry> entries;
            odb_status status = obj.try_attributes(entries);
            if (status != ODB_OK) {
                const std::string failure = "attributes cannot be listed: " + describe_status(status);
                const std::string trace = take_library_trace(status);
                // A record file too short for its header is refused whole:
                // its walk names the damage that its repair ends.
                if (!obj.single_file() ||
                    !check_record_file(key, obj.directory() / disk::record_file_name, failure, trace))
                    add(obj.where(), failure, repair_kind::none, 0, trace);
            }
            std::set<uint32_t> numbers;
            for (const attribute_entry& entry : entries) {
                ++attributes_;
                if (!numbers.insert(entry.number).second)
                    add(obj.where(), "attribute " + hex8(entry.number) + " is listed twice");
                bytes value;
                status = obj.try_read(entry.number, value);
                if (status != ODB_OK) {
                    add(obj.where(),
                        "attribute " + hex8(entry.number) + " is listed (" + std::to_string(entry.length) +
                            " bytes) but cannot be read: " + describe_status(status),
                        repair_kind::none, 0, take_library_trace(status));
                } else if (value.size() != entry.length) {
                    add(obj.where(), "attribute " + hex8(entry.number) + " is listed with " +
                                         std::to_string(entry.length) + " bytes but reads " +
                                         std::to_string(value.size()));
                } else if (entry.number == ODB_NAME_ATTRIBUTE && f == form::live) {
                    std::u16string name = value_text_units(value);
                    if (!name.empty()) state.names.push_back({id, name});
                }
            }
            if (status == ODB_OK && obj.single_file())
                check_record_file(key, obj.directory() / disk::record_file_name);
        } catch (const tool_error& error) {
            add(path_text(db_.object_dir(cls, id, f)), error.what(), repair_kind::none, 0, trace_of(error));
        }
    }

    // Reports what the walk of an object's record file finds; a failure of
    // the library that the damage explains goes into its first report.
    // False when the file is whole (or gone).
    bool check_record_file(const object_key& key, const fs::path& path, const std::string& failure = "",
                           const std::string& trace = "") {
        bool exists = false;
        const bytes file = read_whole(path, exists);
        if (!exists) return false;
        const std::vector<record_damage> found = inspect_record_file(file);
        for (std::size_t i = 0; i < found.size(); ++i) {
            std::string message = found[i].message;
            if (i == 0 && !failure.empty()) message += ", so " + failure;
            problems_.push_back({path_text(path), message, found[i].repair, key.cls,
                                 i == 0 ? trace : std::string(), key});
        }
        return !found.empty();
    }

    void check_counter(uint32_t cls, const class_state& state) {
        const std::string path = path_text(db_.class_dir(cls) / disk::id_file);
        if (state.counter.state == class_counter::damaged) {
            add(path, std::string("the identifier counter is damaged (not \"") + disk::next_id_prefix +
                          "xxxxxxxx\")",
                repair_kind::counter, cls);
            return;
        }
        // An empty or missing counter starts the class at FirstId.
        uint32_t next = state.counter.state == class_counter::valid ? state.counter.next : first_id_;
        if (state.any_id_in_range && next <= state.highest_in_range)
            add(path, "the counter " + hex8(next) + " is not above identifier " +
                          hex8(state.highest_in_range) +
                          " in use: identifiers freed below it could be handed out again",
                repair_kind::counter, cls);
    }

    // Read from the files, never through the library's lookup or count:
    // those rebuild an index that is missing, stale or damaged, and would
    // hide what was there (and write, which check without --repair must
    // not do). A stale, dropped or never built index is rebuilt by its next
    // use and is no problem; a current one must agree with the objects.
    void check_index(uint32_t cls, const class_state& state) {
        const fs::path dir = db_.class_dir(cls);
        const index_header header = read_index_header(dir, lifetime_, 0);
        if (header.state == index_header::missing) {
            add(path_text(dir / disk::name_index_file),
                "the index header is missing while its bucket files remain", repair_kind::index, cls);
            return;
        }
        if (header.state == index_header::damaged) {
            add(path_text(dir / disk::name_index_file), header.problem, repair_kind::index, cls);
            return;
        }
        if (header.state != index_header::fresh) return;

        std::vector<std::vector<index_entry>> buckets(header.buckets);
        uint64_t stated = 0;
        bool whole = true;
        for (uint32_t b = 0; b < header.buckets; ++b) {
            index_bucket bucket = read_index_bucket(dir, b);
            const std::string path = path_text(index_bucket_path(dir, b));
            if (bucket.state == index_bucket::damaged) {
                add(path, bucket.problem, repair_kind::index, cls);
                whole = false;
                continue;
            }
            if (bucket.stated != bucket.entries.size())
                add(path, "the header counts " + std::to_string(bucket.stated) +
                              " entries, the file holds " + std::to_string(bucket.entries.size()),
                    repair_kind::index, cls);
            stated += bucket.stated;
            buckets[b] = std::move(bucket.entries);
        }
        check_entries(cls, state, buckets);
        if (!whole) return;

        std::size_t reported = 0, unreported = 0;
        auto lookup_problem = [&](const std::string& message) {
            if (reported++ < lookups_reported) add(path_text(dir), message, repair_kind::index, cls);
            else ++unreported;
        };
        std::map<uint32_t, std::u16string> by_id(state.names.begin(), state.names.end());
        for (const auto& named : state.names) {
            if (named.second.size() > longest_indexed_name) continue;
            // The first entry of that name in its bucket, as a lookup finds it.
            const std::vector<index_entry>& bucket = buckets[index_bucket_of(named.second, header.buckets)];
            auto found = std::find_if(bucket.begin(), bucket.end(), [&](const index_entry& entry) {
                return same_name(entry.name, named.second);
            });
            const std::string who =
                "the name '" + utf16_to_utf8(named.second) + "' of object " + hex8(named.first);
            if (found == bucket.end()) {
                lookup_problem(who + " is missing from the name index");
            } else if (found->id != named.first) {
                // Several objects may share a name; any of them is a right answer.
                auto other = by_id.find(found->id);
                if (other == by_id.end() || !same_name(other->second, named.second))
                    lookup_problem(who + " leads to object " + hex8(found->id) + ", which is not so named");
            }
        }
        if (unreported > 0)
            add(path_text(dir), std::to_string(unreported) + " more names disagree with the name index",
                repair_kind::index, cls);
        if (stated != state.live)
            add(path_text(dir / disk::name_index_file),
                "the name index counts " + std::to_string(stated) + " objects, the class holds " +
                    std::to_string(state.live) + " live ones",
                repair_kind::index, cls);
    }

    // Every named entry must lead to a live object of that name. Entries
    // with the empty name are left alone: the index keeps the empty entry
    // of an object that was unnamed at the last rebuild when it is removed
    // or named later.
    void check_entries(uint32_t cls, const class_state& state,
                       const std::vector<std::vector<index_entry>>& buckets) {
        std::map<uint32_t, std::u16string> names(state.names.begin(), state.names.end());
        std::size_t reported = 0;
        for (const auto& bucket : buckets)
            for (const index_entry& entry : bucket) {
                if (entry.name.empty()) continue;
                std::string problem;
                auto named = names.find(entry.id);
                if (state.live_ids.count(entry.id) == 0)
                    problem = "leads to object " + hex8(entry.id) + ", which is not a live object";
                else if (named == names.end() || !same_name(named->second, entry.name))
                    problem = "leads to object " + hex8(entry.id) + ", which is named '" +
                              (named == names.end() ? std::string() : utf16_to_utf8(named->second)) + "'";
                if (problem.empty()) continue;
                if (reported++ == lookups_reported) {
                    add(path_text(db_.class_dir(cls)), "more index entries disagree with the objects",
                        repair_kind::index, cls);
                    return;
                }
                add(path_text(db_.class_dir(cls)),
                    "the index entry '" + utf16_to_utf8(entry.name) + "' " + problem,
                    repair_kind::index, cls);
            }
    }

    // Mends the record file of one object under the object's write lock, as
    // the library's writers change it: while another process holds the
    // object the open fails (after the lock time-out) and the file is left
    // alone. The file is walked again under the lock, so what is mended is
    // what it holds now. Returns what was done; empty when it is whole now.
    std::string mend_record_file(const object_key& key) {
        object held(db_, key.cls, key.id, key.f, true);
        const fs::path path = held.directory() / disk::record_file_name;
        const std::string text = path_text(path);
        bool exists = false;
        const bytes file = read_whole(path, exists);
        if (!exists) return "";
        std::string done;
        for (const record_damage& damage : inspect_record_file(file)) {
            if (damage.repair == repair_kind::record_header) {
                bytes header(disk::record_magic, disk::record_magic + sizeof disk::record_magic);
                header.insert(header.end(), {static_cast<unsigned char>(disk::record_file_header_size), 0,
                                             static_cast<unsigned char>(disk::record_version & 0xFF),
                                             static_cast<unsigned char>(disk::record_version >> 8)});
                change_record_file(path, header.size(), header, durable_);
                done = "wrote the header of " + text + " (it held " + std::to_string(file.size()) +
                       " bytes): a record file without records, as a new object holds";
            } else if (damage.repair == repair_kind::record_tail) {
                change_record_file(path, damage.cut_at, bytes(), durable_);
                done = "cut " + text + " at offset " + std::to_string(damage.cut_at) +
                       ", after its last whole record (" + std::to_string(file.size() - damage.cut_at) +
                       " bytes of a torn record dropped)";
            }
        }
        held.close();
        return done;
    }

    void repair_counters(std::vector<std::string>& done, std::vector<unrepaired>& not_repaired) {
        // ODB_assign_ids moves every class's counter to one past its
        // highest identifier in the range. That is safe only if no counter
        // goes down: a lower counter would hand out freed identifiers again.
        for (const auto& entry : states_) {
            const class_state& state = entry.second;
            if (state.any_id_in_range && state.highest_in_range == 0xFFFFFFFFu) {
                not_repaired.push_back({"class " + hex8(entry.first) +
                                            ": its counter cannot move past identifier ffffffff",
                                        ""});
                return;
            }
            uint32_t moved = state.any_id_in_range ? std::max(first_id_, state.highest_in_range + 1) : first_id_;
            if (state.counter.state == class_counter::valid && moved < state.counter.next) {
                not_repaired.push_back({path_text(db_.class_dir(entry.first) / disk::id_file) +
                                            ": not repairable with ODB_assign_ids: it would lower this "
                                            "class's counter from " + hex8(state.counter.next) + " to " +
                                            hex8(moved),
                                        ""});
                return;
            }
        }
        odb_status status = ODB_assign_ids(db_.handle(), first_id_, last_id_);
        if (status != ODB_OK) {
            not_repaired.push_back({db_.root_text() + ": ODB_assign_ids failed: " + describe_status(status),
                                    take_library_trace(status)});
            return;
        }
        done.push_back("moved every class's counter above its identifiers (ODB_assign_ids " +
                       hex8(first_id_) + " " + hex8(last_id_) + ")");
    }

    database& db_;
    bool index_on_ = false, durable_ = false;
    uint32_t lifetime_ = 0;
    uint32_t first_id_ = 1, last_id_ = 0xFFFFFFF0u;
    std::vector<uint32_t> classes_;
    std::map<uint32_t, class_state> states_;
    std::vector<problem> problems_;
    std::size_t objects_ = 0, attributes_ = 0;
};

json problems_json(const std::vector<problem>& problems) {
    json list = json::array();
    for (const problem& p : problems) {
        const char* repair = repair_text(p.repair);
        json entry = {{"path", p.path}, {"problem", p.message}, {"repair", repair ? json(repair) : json(nullptr)}};
        add_trace(entry, p.trace);
        list.push_back(entry);
    }
    return list;
}

void print_problems(const std::vector<problem>& problems) {
    for (const problem& p : problems) {
        std::cout << "problem: " << p.path << ": " << p.message;
        if (const char* repair = repair_text(p.repair)) std::cout << " [repairable: " << repair << "]";
        std::cout << "\n";
        print_trace(std::cout, p.trace);
    }
}

std::string counted(std::size_t count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : what[std::strlen(what) - 1] == 's' ? "es" : "s");
}

std::string summary(const checker& c) {
    return "checked " + counted(c.classes(), "class") + ", " + counted(c.objects(), "object") + ", " +
           counted(c.attributes(), "attribute") + ": " +
           (c.problems().empty() ? std::string("no problems") : counted(c.problems().size(), "problem"));
}

}  // namespace

bool check_database(database& db, bool repair, bool as_json) {
    checker check(db);
    check.run();
    json report = {{"database", db.root_text()}};
    if (as_json) report["problems_found"] = problems_json(check.problems());
    else print_problems(check.problems());
    std::vector<std::string> done;
    std::vector<unrepaired> not_repaired;
    if (repair && !check.problems().empty()) {
        done = check.repair(not_repaired);
        if (!as_json) {
            std::cout << summary(check) << "\n";
            for (const std::string& line : done) std::cout << "repaired: " << line << "\n";
            for (const unrepaired& line : not_repaired) {
                std::cout << "not repaired: " << line.text << "\n";
                print_trace(std::cout, line.trace);
            }
        }
        check.run();
        if (!as_json) {
            std::cout << "after repair:\n";
            print_problems(check.problems());
        }
    }
    if (as_json) {
        report["repaired"] = done;
        json unmended = json::array();
        for (const unrepaired& line : not_repaired) {
            json entry = {{"problem", line.text}};
            add_trace(entry, line.trace);
            unmended.push_back(entry);
        }
        report["not_repaired"] = unmended;
        report["classes"] = check.classes();
        report["objects"] = check.objects();
        report["attributes"] = check.attributes();
        report["problems"] = problems_json(check.problems());
        report["sound"] = check.problems().empty();
        print_json(report);
    } else {
        std::cout << summary(check) << "\n";
    }
    return check.problems().empty();
}

void add_check_command(CLI::App& app) {
    struct options {
        std::string dir;
        bool repair = false, json = false;
    };
    auto o = std::make_shared<options>();
    CLI::App* command = app.add_subcommand(
        "check", "Verify every object, attribute, record file, class counter and name index; "
                 "exit 0 only for a sound database");
    add_dir(command, o->dir);
    command->add_flag("--repair", o->repair,
                      "rebuild damaged name indexes, move low class counters up and mend record files "
                      "a power cut left empty or cut (under each object's lock), then check again");
    add_json(command, o->json);
    command->footer("Problems are printed as 'problem: PATH: what'; with --repair, what could not "
                    "be repaired is printed as 'not repaired: ...'. With --verbose, one that a "
                    "failed library call shows carries the library's trace line below it.");
    command->callback([o] {
        database db = database::open(o->dir);
        if (!check_database(db, o->repair, o->json)) set_exit_code(exit_failure);
    });
}

}  // namespace odbtool
