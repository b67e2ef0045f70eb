// The reliability suite's worker: a mixed workload on a shared database
// (see tests/reliability/workload.h for the journal it keeps).
//
//   workload ROOT WORKER SEED OPS JOURNAL [COUNTER]
//
// Runs OPS operations chosen by SEED on class 9: creating objects, writing,
// deleting and renaming their attributes, removing them, looking their
// names up, counting, and (with COUNTER, an object of class 9 holding a
// 4-byte count in attribute 1) incrementing the shared counter under its
// write lock. Reports "op N" after each operation, checks every value of
// its own objects at the end (and now and then on the way), and ends with
// "done N INCREMENTS" or "fault WHAT".
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "helper_commands.h"
#include "helper_io.h"
#include "reliability/workload.h"
#include "support/database_fixture.h"

namespace {

using namespace odb::reliability;
using args_t = std::vector<std::string>;

class worker {
public:
    worker(odb_database* db, uint32_t id, uint32_t seed, std::FILE* journal, uint32_t counter)
        : db_(db), id_(id), random_(seed), journal_(journal), counter_(counter) {
        model_.worker = id;
    }

    // One operation; false with `fault_` set when the database broke a promise.
    bool step() {
        const uint32_t pick = random_() % 100;
        if (model_.live.empty() || pick < 12) return create();
        const uint32_t object = any_live();
        if (pick < 45) return set(object, 1 + random_() % workload_attributes);
        if (pick < 53) return erase(object, 1 + random_() % workload_attributes);
        if (pick < 63) return rename(object);
        if (pick < 66) return remove(object);
        if (pick < 76) return lookup(object);
        if (pick < 80) return count();
        if (pick < 92 && counter_ != 0) return increment();
        return verify(object);
    }

    bool verify_all() {
        for (uint32_t object : model_.live)
            if (!verify(object)) return false;
        return true;
    }

    const std::string& fault() const { return fault_; }
    uint64_t increments() const { return model_.increments; }

private:
    void begin(const std::string& op) { line("B " + op); }
    void done(const std::string& op) { line("D " + op); }
    void line(const std::string& text) {
        std::fputs((text + "\n").c_str(), journal_);
        std::fflush(journal_);
    }
    bool broken(const std::string& what) {
        fault_ = what;
        return false;
    }
    uint32_t any_live() {
        auto it = model_.live.begin();
        std::advance(it, random_() % model_.live.size());
        return *it;
    }
    odb_obj_ctx* open(uint32_t object, uint32_t mode) {
        odb_obj_ctx* ctx = nullptr;
        return ODB_obj_create_ctx(db_, workload_class, object, mode, &ctx) == ODB_OK ? ctx : nullptr;
    }

    bool create() {
        begin("new");
        uint32_t object = 0;
        odb_obj_ctx* ctx = nullptr;
        const odb_status status = ODB_obj_new(db_, workload_class, &object, &ctx);
        if (status != ODB_OK) {  // a lock time-out under load
            done("none");
            return true;
        }
        ODB_obj_close_ctx(ctx);
        if (model_.live.count(object) || model_.removed.count(object))
            return broken("identifier " + std::to_string(object) + " handed out twice");
        model_.live.insert(object);
        done("new " + std::to_string(object));
        return true;
    }

    // Reads what an attribute holds now; false when it cannot be read.
    bool current(uint32_t object, uint32_t attribute, bool& present, std::string& value) {
        odb_obj_ctx* ctx = open(object, ODB_MODE_READ);
        if (ctx == nullptr) return false;
        value.assign(800, '\0');
        uint32_t size = static_cast<uint32_t>(value.size());
        const odb_status status = ODB_obj_get_attribute(ctx, attribute, 0, value.data(), &size);
        ODB_obj_close_ctx(ctx);
        value.resize(size < value.size() ? size : value.size());
        present = status == ODB_OK;
        return status == ODB_OK || status == ODB_E_NO_ATTRIBUTE;
    }

    // A change that reported failure (a tracking file or the index busy past
    // its time-out under load) may still have landed: the attribute must hold
    // the old value, the new one, or nothing (each change deletes first), and
    // the journal is told which.
    bool settle(uint32_t object, uint32_t attribute, const std::string* wanted,
                const std::string& landed_op) {
        bool present = false;
        std::string value;
        for (int attempt = 0; !current(object, attribute, present, value); ++attempt)
            if (attempt == 100) return broken("cannot read back a failed change");
        const auto key = std::make_pair(object, attribute);
        auto old = model_.values.find(key);
        if (!present) {
            model_.values.erase(key);
            done("del " + std::to_string(object) + " " + std::to_string(attribute));
        } else if (wanted != nullptr && value == *wanted) {
            model_.values[key] = value;
            done(landed_op);
        } else if (old != model_.values.end() && value == old->second) {
            done("none");
        } else {
            return broken("object " + std::to_string(object) + " attribute " +
                          std::to_string(attribute) + " torn by a failed change");
        }
        return true;
    }

    // Writes (or deletes) one attribute of an object of this worker.
    bool change(uint32_t object, uint32_t attribute, const std::string* value,
                const std::string& op) {
        begin(op);
        odb_obj_ctx* ctx = open(object, ODB_MODE_WRITE);
        if (ctx == nullptr) {
            done("none");  // a lock time-out under load: nothing changed
            return true;
        }
        // A value at least as long as the old one is written over it (in
        // place, or moved when it outgrows its record); a shorter one goes
        // after a delete, since a rewrite in place keeps the old length.
        auto old = model_.values.find(std::make_pair(object, attribute));
        const bool over = value != nullptr && old != model_.values.end() &&
                          value->size() >= old->second.size();
        odb_status status = over ? ODB_OK : ODB_obj_set_attribute(ctx, attribute, 0, nullptr, 0);
        if (value != nullptr && (status == ODB_OK || status == ODB_E_NO_ATTRIBUTE))
            status = ODB_obj_set_attribute(ctx, attribute, 0, value->data(),
                                           static_cast<uint32_t>(value->size()));
        ODB_obj_close_ctx(ctx);
        const auto key = std::make_pair(object, attribute);
        if (status == ODB_OK || (value == nullptr && status == ODB_E_NO_ATTRIBUTE)) {
            if (value != nullptr) model_.values[key] = *value;
            else model_.values.erase(key);
            done(op);
            return true;
        }
        return settle(object, attribute, value, op);
    }

    bool set(uint32_t object, uint32_t attribute) {
        const uint32_t tag = random_(), length = random_() % 700;
        const std::string value = workload_value(tag, length);
        return change(object, attribute, &value,
                      "set " + std::to_string(object) + " " + std::to_string(attribute) + " " +
                          std::to_string(tag) + " " + std::to_string(length));
    }

    bool erase(uint32_t object, uint32_t attribute) {
        return change(object, attribute, nullptr,
                      "del " + std::to_string(object) + " " + std::to_string(attribute));
    }

    bool rename(uint32_t object) {
        const uint32_t tag = ++names_;
        const std::string name = workload_name(id_, tag);
        return change(object, name_attribute, &name,
                      "name " + std::to_string(object) + " " + std::to_string(tag));
    }

    bool remove(uint32_t object) {
        const std::string op = "remove " + std::to_string(object);
        begin(op);
        odb_obj_ctx* ctx = open(object, ODB_MODE_WRITE);
        if (ctx == nullptr) {
            done("none");
            return true;
        }
        const odb_status status = ODB_obj_remove_ex(ctx, 0);
        ODB_obj_close_ctx(ctx);
        if (status != ODB_OK) {  // a removal may meet a reader of the object
            done("none");
            return true;
        }
        model_.live.erase(object);
        model_.removed.insert(object);
        done(op);
        return true;
    }

    bool lookup(uint32_t object) {
        auto name = model_.values.find({object, name_attribute});
        if (name == model_.values.end()) return true;
        const std::string text = name->second + '\0';
        uint32_t found = 0;
        const odb_status status =
            ODB_obj_lookup_ex(db_, workload_class, name_attribute, ODB_NAME_ANSI, text.data(),
                              static_cast<uint32_t>(text.size()), &found);
        // The index may be busy (rebuilt by another worker) or switched off
        // for this handle after a failed update; a wrong answer is a fault.
        if (status == ODB_OK && found != object)
            return broken("lookup of " + name->second + " found " + std::to_string(found));
        return true;
    }

    bool count() {
        uint32_t n = 0;
        ODB_obj_count(db_, workload_class, ODB_ENUM_LIVE, &n);
        if (n < model_.live.size()) return broken("count below this worker's own objects");
        return true;
    }

    bool increment() {
        begin("inc");
        odb_obj_ctx* ctx = open(counter_, ODB_MODE_WRITE);
        if (ctx == nullptr) {  // lock time-out: no increment
            done("none");
            return true;
        }
        uint32_t value = 0, size = sizeof value;
        odb_status status = ODB_obj_get_attribute(ctx, 1, 0, &value, &size);
        if (status != ODB_OK) {
            ODB_obj_close_ctx(ctx);
            return broken("counter unreadable: " + std::to_string(status));
        }
        ++value;
        status = ODB_obj_set_attribute(ctx, 1, 0, &value, sizeof value);
        if (status != ODB_OK) {
            // Still under the lock: whether the count went up is read back.
            uint32_t now = 0;
            size = sizeof now;
            if (ODB_obj_get_attribute(ctx, 1, 0, &now, &size) == ODB_OK && now == value) status = ODB_OK;
        }
        ODB_obj_close_ctx(ctx);
        if (status != ODB_OK) {
            done("none");
            return true;
        }
        ++model_.increments;
        done("inc");
        return true;
    }

    bool verify(uint32_t object) {
        odb_obj_ctx* ctx = open(object, ODB_MODE_READ);
        if (ctx == nullptr) return true;
        for (uint32_t attribute : {1u, 2u, 3u, 4u, name_attribute}) {
            auto expected = model_.values.find({object, attribute});
            std::string value(800, '\0');
            uint32_t size = static_cast<uint32_t>(value.size());
            const odb_status status = ODB_obj_get_attribute(ctx, attribute, 0, value.data(), &size);
            value.resize(size < value.size() ? size : value.size());
            const bool ok = expected == model_.values.end()
                                ? status == ODB_E_NO_ATTRIBUTE
                                : status == ODB_OK && value == expected->second;
            if (!ok) {
                ODB_obj_close_ctx(ctx);
                return broken("object " + std::to_string(object) + " attribute " +
                              std::to_string(attribute) + " lost or torn");
            }
        }
        ODB_obj_close_ctx(ctx);
        return true;
    }

    odb_database* db_;
    uint32_t id_;
    std::mt19937 random_;
    std::FILE* journal_;
    uint32_t counter_;
    uint32_t names_ = 0;
    workload_model model_;
    std::string fault_;
};

int run_workload(const args_t& args) {
    if (args.size() != 5 && args.size() != 6) return helper::exit_usage;
    odb_status status = ODB_OK;
    odb::test::database_ptr db = odb::test::open_database(helper::path_argument(args[0]), &status);
    if (!db) {
        helper::report("fault open " + std::to_string(status));
        return helper::exit_failed;
    }
    std::FILE* journal = std::fopen(args[4].c_str(), "a");
    if (journal == nullptr) return helper::exit_usage;
    const uint32_t id = static_cast<uint32_t>(std::stoul(args[1]));
    const uint32_t counter = args.size() == 6 ? static_cast<uint32_t>(std::stoul(args[5])) : 0;
    worker w(db.get(), id, static_cast<uint32_t>(std::stoul(args[2])), journal, counter);
    const unsigned long ops = std::stoul(args[3]);
    bool ok = true;
    for (unsigned long n = 1; ok && n <= ops; ++n) {
        ok = w.step();
        helper::report("op " + std::to_string(n));
    }
    ok = ok && w.verify_all();
    std::fclose(journal);
    helper::report(ok ? "done " + std::to_string(ops) + " " + std::to_string(w.increments())
                      : "fault " + w.fault());
    return ok ? helper::exit_ok : helper::exit_failed;
}

}  // namespace

ODB_HELPER_COMMAND("workload", run_workload, "ROOT WORKER SEED OPS JOURNAL [COUNTER]");
