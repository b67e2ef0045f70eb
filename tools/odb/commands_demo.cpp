// demo: a small sample database that shows what the library does, with
// the odb commands that do the same.
#include <iostream>

#include "cli.h"
#include "database.h"
#include "output.h"
#include "settings.h"
#include "values.h"

namespace odbtool {

namespace {

const uint32_t planets = 1, moons = 2;
const uint32_t radius_attr = 0x10, kind_attr = 0x11, orbits_attr = 0x12;

struct planet {
    const char* name;
    uint32_t radius_km;
    const char* kind;
};

struct moon {
    const char* name;
    uint32_t radius_km;
    const char* planet;
};

void say(const std::string& command) { std::cout << "\n$ " << command << "\n"; }

uint32_t number(const bytes& value) {
    return value.size() == 4 ? value[0] | (value[1] << 8) | (value[2] << 16) |
                                   (static_cast<uint32_t>(value[3]) << 24)
                             : 0;
}

void show_class(database& db, uint32_t cls, const std::vector<uint32_t>& ids) {
    table out({"ID", "NAME", "RADIUS", "STORAGE"});
    for (uint32_t id : ids) {
        object obj(db, cls, id, form::live, false);
        out.add({hex8(id), value_text(obj.read(ODB_NAME_ATTRIBUTE)),
                 std::to_string(number(obj.read(radius_attr))) + " km",
                 obj.single_file() ? std::string(disk::record_file_name)
                                   : std::string(disk::attribute_file_suffix) + " files"});
    }
    out.print(std::cout);
}

uint32_t lookup(database& db, uint32_t cls, const std::string& name) {
    std::u16string units = utf8_to_utf16(name);
    uint32_t id = 0;
    check(ODB_obj_lookup_ex(db.handle(), cls, ODB_NAME_ATTRIBUTE, ODB_NAME_UTF16,
                            reinterpret_cast<const odb_wchar*>(units.c_str()),
                            static_cast<uint32_t>((units.size() + 1) * 2), &id),
          "cannot look up '" + name + "' in", path_text(db.class_dir(cls)));
    return id;
}

void run_demo(const std::string& dir) {
    const std::string shown_dir = dir;
    say("odb create " + shown_dir + " " + dotted_name(odb::settings::name_index_enabled) + "=yes");
    {
        database created = database::create(dir);
        std::cout << "created database " << created.root_text() << "\n";
        ini_file ini;
        ini.set(odb::settings::name_index_enabled, "yes");
        ini.save(settings_path(created));
    }

    std::cout << "\nClass " << hex8(planets) << ": planets, attributes in one file each "
              << "(name, " << hex8(radius_attr) << " radius as u32, " << hex8(kind_attr) << " kind as text)\n";
    const planet planet_list[] = {{"Mercury", 2440, "rocky"},    {"Venus", 6052, "rocky"},
                                  {"Earth", 6371, "rocky"},      {"Mars", 3390, "rocky"},
                                  {"Jupiter", 69911, "gas giant"}, {"Saturn", 58232, "gas giant"}};
    std::vector<uint32_t> planet_ids, moon_ids;
    {
        database db = database::open(dir);
        // Counting first builds the (empty) index, which every name written
        // afterwards then keeps up to date.
        uint32_t count = 0;
        check(ODB_obj_count(db.handle(), planets, 0, &count), "cannot count", db.root_text());
        say("odb new " + shown_dir + " 1 --name Mercury --set 10=u32:2440 --set 11=rocky   # and so on");
        for (const planet& p : planet_list) {
            object obj = object::create(db, planets);
            obj.write(ODB_NAME_ATTRIBUTE, utf16_value(p.name));
            obj.write(radius_attr, u32_value(p.radius_km));
            obj.write(kind_attr, text_value(p.kind));
            planet_ids.push_back(obj.id());
        }
        show_class(db, planets, planet_ids);
    }

    say("odb config " + shown_dir + " " + dotted_name(odb::settings::single_file) +
        "=yes   # new objects keep attributes in " + disk::record_file_name);
    {
        database db = database::open(dir);
        ini_file ini = ini_file::load(settings_path(db));
        ini.set(odb::settings::single_file, "yes");
        ini.save(settings_path(db));
    }
    std::cout << "\nClass " << hex8(moons) << ": moons, attributes in " << disk::record_file_name << " (name, "
              << hex8(radius_attr) << " radius, " << hex8(orbits_attr) << " the planet's identifier)\n";
    const moon moon_list[] = {{"Moon", 1737, "Earth"},      {"Phobos", 11, "Mars"},
                              {"Deimos", 6, "Mars"},        {"Io", 1822, "Jupiter"},
                              {"Europa", 1561, "Jupiter"},  {"Ganymede", 2634, "Jupiter"},
                              {"Callisto", 2410, "Jupiter"}, {"Titan", 2575, "Saturn"}};
    database db = database::open(dir);
    uint32_t count = 0;
    check(ODB_obj_count(db.handle(), moons, 0, &count), "cannot count", db.root_text());
    for (const moon& m : moon_list) {
        object obj = object::create(db, moons);
        obj.write(ODB_NAME_ATTRIBUTE, utf16_value(m.name));
        obj.write(radius_attr, u32_value(m.radius_km));
        obj.write(orbits_attr, u32_value(lookup(db, planets, m.planet)));
        moon_ids.push_back(obj.id());
    }
    show_class(db, moons, moon_ids);

    say("odb lookup " + shown_dir + " 1 mars   # through the name index; A-Z match either case");
    const uint32_t mars = lookup(db, planets, "mars");
    std::cout << hex8(mars) << "\n";
    const uint32_t jupiter = lookup(db, planets, "Jupiter");

    say("odb ls " + shown_dir + " 2 --where 12=u32:" + std::to_string(jupiter) +
        " --where '10>2000'   # moons of Jupiter larger than 2000 km");
    criteria filter_criteria;
    filter_criteria.where("12=u32:" + std::to_string(jupiter));
    filter_criteria.where("10>2000");
    odb_enum_filter filter = filter_criteria.filter();
    std::vector<uint32_t> found;
    {
        walk big_moons(db, moons, ODB_ENUM_LIVE | ODB_ENUM_MATCH, &filter);
        uint32_t id = 0;
        odb_status status;
        while ((status = big_moons.step(id)) == ODB_OK) found.push_back(id);
        if (status != ODB_E_NO_MORE_ITEMS) throw_status(status, "cannot walk", path_text(db.class_dir(moons)));
    }
    std::sort(found.begin(), found.end());
    table out({"ID", "FORM", "NAME"});
    for (uint32_t id : found) {
        object obj(db, moons, id, form::live, false);
        out.add({hex8(id), "live", value_text(obj.read(ODB_NAME_ATTRIBUTE))});
    }
    out.print(std::cout);

    const uint32_t deimos = lookup(db, moons, "Deimos");
    say("odb rm " + shown_dir + " 2 " + hex8(deimos) + "   # removed, not gone: odb restore brings it back");
    {
        object obj(db, moons, deimos, form::live, true);
        obj.remove(0);
        obj.close();
        std::cout << obj.label() << " removed\n";
    }
    say("odb lookup " + shown_dir + " 2 Deimos");
    uint32_t id = 0;
    std::u16string deimos_name = u"Deimos";
    odb_status status = ODB_obj_lookup_ex(db.handle(), moons, ODB_NAME_ATTRIBUTE, ODB_NAME_UTF16,
                                          reinterpret_cast<const odb_wchar*>(deimos_name.c_str()),
                                          static_cast<uint32_t>((deimos_name.size() + 1) * 2), &id);
    std::cout << (status == ODB_E_NO_MORE_ITEMS ? "odb: no object of class 00000002 is named 'Deimos'"
                                               : describe_status(status))
              << "\n";

    say("odb check " + shown_dir);
    bool sound = check_database(db, false, false);
    std::cout << "\nThe database is in " << db.root_text() << ". Try:\n"
              << "  odb classes " << shown_dir << "\n"
              << "  odb ls " << shown_dir << " 2 --all\n"
              << "  odb attrs " << shown_dir << " 1 " << hex8(mars) << "\n"
              << "  odb stat " << shown_dir << " 2 " << hex8(moon_ids.front()) << "\n"
              << "  odb dump " << shown_dir << "\n";
    if (!sound) set_exit_code(exit_failure);
}

}  // namespace

void add_demo_command(CLI::App& app) {
    auto dir = std::make_shared<std::string>("odb-demo");
    CLI::App* command = app.add_subcommand(
        "demo", "Create a small sample database and show lookups, a filtered walk and a check");
    command->add_option("DIR", *dir, "where to create it (default ./odb-demo; must be new or empty)")
        ->type_name("");
    command->callback([dir] { run_demo(*dir); });
}

}  // namespace odbtool
