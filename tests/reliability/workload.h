// The mixed workload that helper processes run against a shared database
// (tests/helper/workload_commands.cpp), and what the tests read back from
// its journal. Free of the test framework: the helper includes it too.
//
// A worker owns the objects it creates and is the only one to change them,
// so it and the test can both know every value they must hold. It writes a
// journal line "B <op>" before an operation and "D <op> ..." once the
// operation has returned, flushed before it goes on: after a kill, every
// "D" line is an operation whose result must have survived, and a "B"
// without its "D" the one operation in flight.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>

namespace odb::reliability {

constexpr uint32_t workload_class = 9;
constexpr uint32_t workload_attributes = 4;  // values go to attributes 1..4
constexpr uint32_t name_attribute = 0x08400001u;

// The bytes of a value: a function of its tag and length, so the journal
// holds two numbers instead of the value.
inline std::string workload_value(uint32_t tag, uint32_t length) {
    std::string bytes(length, '\0');
    for (uint32_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((tag * 131u + i * 7u + (i >> 8)) & 0xFFu);
    return bytes;
}

// An object's name: unique to the worker and the tag.
inline std::string workload_name(uint32_t worker, uint32_t tag) {
    return "w" + std::to_string(worker) + "-" + std::to_string(tag);
}

// What one worker's journal says must be in the database.
struct workload_model {
    uint32_t worker = 0;
    std::set<uint32_t> live, removed;
    std::map<std::pair<uint32_t, uint32_t>, std::string> values;  // (id, attribute) -> bytes
    std::set<std::pair<uint32_t, uint32_t>> deleted;              // attributes known absent
    std::set<std::pair<uint32_t, uint32_t>> uncertain;            // touched by the op in flight
    std::set<uint32_t> uncertain_objects;                         // created or moved in flight
    uint64_t increments = 0;                                      // of the shared counter
    uint64_t completed = 0;
    std::string in_flight;  // the "B" line without its "D", if any
};

// Reads a journal. Every "D" line is applied; a trailing "B" marks what
// its operation touches as uncertain.
inline workload_model read_journal(const std::string& text, uint32_t worker) {
    workload_model model;
    model.worker = worker;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string mark, op;
        in >> mark >> op;
        if (mark == "B") {
            model.in_flight = line;
            continue;
        }
        if (mark != "D") continue;
        model.in_flight.clear();
        ++model.completed;
        uint32_t id = 0, attribute = 0, tag = 0, length = 0;
        if (op == "new") {
            in >> id;
            model.live.insert(id);
        } else if (op == "set") {
            in >> id >> attribute >> tag >> length;
            model.values[{id, attribute}] = workload_value(tag, length);
            model.deleted.erase({id, attribute});
        } else if (op == "name") {
            in >> id >> tag;
            model.values[{id, name_attribute}] = workload_name(worker, tag);
        } else if (op == "del") {
            in >> id >> attribute;
            model.values.erase({id, attribute});
            model.deleted.insert({id, attribute});
        } else if (op == "remove") {
            in >> id;
            model.live.erase(id);
            model.removed.insert(id);
        } else if (op == "inc") {
            ++model.increments;
        }
    }
    if (!model.in_flight.empty()) {
        std::istringstream in(model.in_flight);
        std::string mark, op;
        uint32_t id = 0, attribute = 0;
        in >> mark >> op >> id >> attribute;
        if (op == "set" || op == "del") model.uncertain.insert({id, attribute});
        if (op == "name") model.uncertain.insert({id, name_attribute});
        if (op == "remove") model.uncertain_objects.insert(id);
    }
    return model;
}

}  // namespace odb::reliability
