// ids: the identifier range of the database and the classes' counters.
#include <iostream>

#include "cli.h"
#include "database.h"
#include "output.h"
#include "settings.h"

namespace odbtool {

namespace {

struct id_options {
    std::string dir, action;
    std::vector<std::string> arguments;
    bool json = false;
};

void print_range(const char* what, uint32_t first, uint32_t last, bool as_json) {
    if (as_json) print_json({{"range", what}, {"first", hex8(first)}, {"last", hex8(last)}});
    else std::cout << what << ": " << hex8(first) << "-" << hex8(last) << "\n";
}

void need_arguments(const id_options& o, std::size_t count, const char* usage) {
    if (o.arguments.size() != count) throw usage_error(std::string("usage: odb ids DIR ") + usage);
}

void run_ids(const id_options& o) {
    if (o.action == "free") {
        need_arguments(o, 0, "free");
        database db = database::open(o.dir);
        uint32_t first = 0, last = 0;
        check(ODB_get_free_ids(db.handle(), &first, &last), "cannot scan the identifiers of", db.root_text());
        if (first > last) {
            if (o.json) print_json({{"range", "free"}, {"first", nullptr}, {"last", nullptr}});
            else std::cout << "free: none (identifier " << hex8(last) << " or above is in use)\n";
            return;
        }
        print_range("free", first, last, o.json);
    } else if (o.action == "steal") {
        need_arguments(o, 1, "steal N");
        uint32_t count = parse_u32(o.arguments[0], "count");
        if (count == 0) throw usage_error("steal at least one identifier");
        database db = database::open(o.dir);
        uint32_t first = 0, last = 0;
        check(ODB_get_free_ids(db.handle(), &first, &last), "cannot scan the identifiers of", db.root_text());
        // Stealing from an empty range would lower LastId below identifiers
        // in use.
        if (first > last)
            throw tool_error("cannot steal identifiers from " + db.root_text() +
                             ": no identifier above those in use is free");
        // The library hands out count + 1 identifiers; ask for one fewer so
        // that N means N.
        check(ODB_steal_ids(db.handle(), count - 1, &first, &last), "cannot steal identifiers from",
              db.root_text());
        print_range("stolen", first, last, o.json);
    } else {
        need_arguments(o, 2, "assign FIRST LAST");
        uint32_t first = parse_hex32(o.arguments[0], "identifier");
        uint32_t last = parse_hex32(o.arguments[1], "identifier");
        if (first > last) throw usage_error("FIRST lies above LAST");
        database db = database::open(o.dir);
        check(ODB_assign_ids(db.handle(), first, last), "cannot assign identifiers in", db.root_text());
        print_range("assigned", first, last, o.json);
    }
}

}  // namespace

void add_id_commands(CLI::App& app) {
    auto o = std::make_shared<id_options>();
    CLI::App* command = app.add_subcommand(
        "ids", "Identifier ranges: 'free' shows the unused range, 'steal N' hands out N "
               "identifiers from its top, 'assign FIRST LAST' sets a new range and moves every "
               "class's counter into it");
    add_dir(command, o->dir);
    command->add_option("ACTION", o->action, "free, steal or assign")
        ->required()
        ->type_name("")
        ->check(CLI::IsMember({"free", "steal", "assign"}));
    command->add_option("ARGS", o->arguments, "N for steal; FIRST LAST (hexadecimal) for assign")
        ->type_name("");
    add_json(command, o->json);
    command->callback([o] { run_ids(*o); });
}

}  // namespace odbtool
