// set, get, unset, attrs: the attributes of one object.
#include <algorithm>
#include <iostream>

#include "cli.h"
#include "database.h"
#include "output.h"
#include "values.h"

namespace odbtool {

namespace {

struct attribute_options {
    std::string dir, cls, id, attribute, text, utf16, hex, file, u32, out, offset;
    bool as_hex = false, raw = false, json = false;
};

struct target {
    uint32_t cls, id, attribute;
};

target parse_target(const attribute_options& o) {
    return {parse_hex32(o.cls, "class"), parse_hex32(o.id, "identifier"),
            o.attribute.empty() ? 0u : parse_attribute(o.attribute)};
}

void add_target(CLI::App* command, attribute_options& o, bool with_attribute) {
    add_dir(command, o.dir);
    add_class(command, o.cls);
    add_id(command, o.id);
    if (with_attribute)
        command->add_option("ATTR", o.attribute, "attribute number (hexadecimal) or 'name'")
            ->required()
            ->type_name("");
}

std::string attribute_label(uint32_t attribute) {
    return attribute == ODB_NAME_ATTRIBUTE ? hex8(attribute) + " (name)" : hex8(attribute);
}

bytes value_to_set(const CLI::App& command, const attribute_options& o, uint32_t attribute) {
    std::size_t given = command.count("VALUE") + command.count("--utf16") + command.count("--hex") +
                        command.count("--file") + command.count("--u32");
    if (given != 1)
        throw usage_error("give the value once: as VALUE (text), --utf16, --hex, --u32 or --file");
    if (command.count("--utf16")) return utf16_value(o.utf16);
    if (command.count("--hex")) return from_hex(o.hex);
    if (command.count("--file")) return read_file_bytes(o.file);
    if (command.count("--u32")) return u32_value(parse_u32(o.u32, "u32 value"));
    // Names take one form, UTF-16, whichever command writes them.
    if (attribute == ODB_NAME_ATTRIBUTE) return utf16_value(o.text);
    return text_value(o.text);
}

}  // namespace

void add_attribute_commands(CLI::App& app) {
    {
        auto o = std::make_shared<attribute_options>();
        CLI::App* command = app.add_subcommand("set", "Store an attribute value");
        add_target(command, *o, true);
        command->add_option("VALUE", o->text, "text, stored as UTF-8 and a zero byte (the name as UTF-16)")->type_name("");
        command->add_option("--utf16", o->utf16, "text stored as FF FE and UTF-16LE (the form of names)")
            ->type_name("TEXT");
        command->add_option("--hex", o->hex, "bytes in hexadecimal")->type_name("HEX");
        command->add_option("--u32", o->u32, "a 32-bit number, stored as 4 bytes little-endian")
            ->type_name("N");
        command->add_option("--file", o->file, "the bytes of a file")->type_name("PATH");
        command->add_option("--offset", o->offset,
                            "write at this byte offset instead of replacing the whole value")
            ->type_name("N");
        command->callback([o, command] {
            target t = parse_target(*o);
            bytes value = value_to_set(*command, *o, t.attribute);
            database db = database::open(o->dir);
            object obj = object::open_any(db, t.cls, t.id, true);
            if (o->offset.empty()) obj.replace(t.attribute, value);
            else obj.write(t.attribute, value, parse_u32(o->offset, "offset"));
            obj.close();
        });
    }
    {
        auto o = std::make_shared<attribute_options>();
        CLI::App* command = app.add_subcommand(
            "get", "Print an attribute value: as text (to its first zero) when it reads as text, "
                   "otherwise in hexadecimal; --hex, --raw and --out give the exact bytes");
        add_target(command, *o, true);
        command->add_flag("--hex", o->as_hex, "print the bytes in hexadecimal");
        command->add_flag("--raw", o->raw, "write the bytes unchanged to standard output");
        command->add_option("--out", o->out, "write the bytes to a file")->type_name("PATH");
        command->add_option("--offset", o->offset, "read from this byte offset")->type_name("N");
        command->callback([o] {
            target t = parse_target(*o);
            if (o->as_hex + o->raw + !o->out.empty() > 1)
                throw usage_error("choose one of --hex, --raw and --out");
            database db = database::open(o->dir);
            object obj = object::open_any(db, t.cls, t.id, false);
            bytes value = obj.read(t.attribute, o->offset.empty() ? 0 : parse_u32(o->offset, "offset"));
            obj.close();
            if (!o->out.empty()) {
                write_file_bytes(o->out, value);
            } else if (o->raw) {
                std::cout.write(reinterpret_cast<const char*>(value.data()),
                                static_cast<std::streamsize>(value.size()));
            } else if (o->as_hex || !(value.empty() || looks_like_text(value))) {
                // Bytes that do not read as text would garble a terminal.
                std::cout << to_hex(value) << "\n";
            } else {
                std::cout << value_text(value) << "\n";
            }
        });
    }
    {
        auto o = std::make_shared<attribute_options>();
        CLI::App* command = app.add_subcommand("unset", "Delete an attribute");
        add_target(command, *o, true);
        command->callback([o] {
            target t = parse_target(*o);
            database db = database::open(o->dir);
            object obj = object::open_any(db, t.cls, t.id, true);
            if (!obj.has(t.attribute))
                throw_status(ODB_E_NO_ATTRIBUTE, "cannot delete attribute " + hex8(t.attribute) +
                             " of object " + obj.label() + " at", obj.where());
            obj.erase(t.attribute);
            obj.close();
        });
    }
    {
        auto o = std::make_shared<attribute_options>();
        CLI::App* command = app.add_subcommand("attrs", "List an object's attributes with their sizes");
        add_target(command, *o, false);
        add_json(command, o->json);
        command->callback([o] {
            target t = parse_target(*o);
            database db = database::open(o->dir);
            object obj = object::open_any(db, t.cls, t.id, false);
            std::vector<attribute_entry> entries = obj.attributes();
            std::sort(entries.begin(), entries.end(),
                      [](const attribute_entry& a, const attribute_entry& b) { return a.number < b.number; });
            json list = json::array();
            table out({"ATTR", "SIZE", "VALUE"});
            for (const attribute_entry& entry : entries) {
                bytes value = obj.read(entry.number);
                std::string preview = value_preview(value);
                list.push_back({{"attr", hex8(entry.number)}, {"size", value.size()}, {"value", value_json(value)}});
                out.add({attribute_label(entry.number), std::to_string(value.size()), preview});
            }
            if (o->json) print_json(list);
            else out.print(std::cout);
        });
    }
}

}  // namespace odbtool
