// odb: the command-line tool of qmfiledb. It opens databases only through
// the library's public interface, so every command also exercises it.
#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "errors.h"
#include "library_trace.h"
#include "output.h"
#include "qmfiledb.h"
#include "text.h"

namespace odbtool {

namespace {
int pending_exit_code = exit_ok;
}

void set_exit_code(int code) { pending_exit_code = code; }
int exit_code_set() { return pending_exit_code; }

namespace {

bool has_flag(int argc, char** argv, const char* flag) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], flag) == 0) return true;
    return false;
}

bool wants_json(int argc, char** argv) {
    return has_flag(argc, argv, "--json") || has_flag(argc, argv, "--jsonl");
}

// A failure on standard error: "odb: error: ..." (and, with --verbose, the
// library's line on it below) or, for a command asked for JSON, one JSON
// object.
int report(const std::exception& error, bool as_json, int code) {
    std::cout.flush();
    const auto* status = dynamic_cast<const status_error*>(&error);
    if (!as_json) {
        std::cerr << "odb: " << (code == exit_usage ? "" : "error: ") << error.what() << "\n";
        print_trace(std::cerr, trace_of(error));
        return code;
    }
    json record = {{"error", error.what()}, {"status", nullptr}, {"path", nullptr}, {"exit", code}};
    if (const auto* failure = dynamic_cast<const tool_error*>(&error)) {
        if (!failure->path.empty()) record["path"] = failure->path;
        if (status != nullptr) {
            record["status"] = odb_status_name(status->status);
            record["status_code"] = status->status;
        }
    }
    add_trace(record, trace_of(error));
    std::cerr << json_line(record) << "\n";
    return code;
}

std::string version_text() {
    uint32_t library = 0;
    ODB_init(ODB_INIT_QUERY_VERSION, nullptr, &library, nullptr, 0);
    return std::string("odb (qmfiledb) ") + ODB_PACKAGE_VERSION + ", library version " +
           std::to_string(library);
}

}  // namespace

int run(int argc, char** argv) {
    use_binary_stdio();
    const bool as_json = wants_json(argc, argv);
    // Before the first library call (the version text below makes one).
    if (has_flag(argc, argv, "--verbose")) start_library_trace();
    CLI::App app{"odb: create, inspect, change and repair qmfiledb databases.\n"
                 "Classes, identifiers and attribute numbers are hexadecimal (as in the "
                 "database's file names); counts and offsets are decimal unless written 0x...\n"
                 "Exit status: 0 success, 1 failure, 2 usage error, 3 lookup found no such name.",
                 "odb"};
    // Paths such as /tmp/db are arguments, not /options, on every platform.
    app.allow_windows_style_options(false);
    app.require_subcommand(1, 1);
    // Options a command does not know go to odb itself (--quiet anywhere).
    app.fallthrough(true);
    app.set_version_flag("--version", version_text(), "print the versions of odb and of the library");
    app.add_flag_callback("-q,--quiet", [] { set_quiet(true); },
                          "no notes and no progress on standard error")
        ->trigger_on_parse();
    app.add_flag("--verbose",
                 "with an error from the library, also print its trace line (QMFILEDB_TRACE): the "
                 "failing call, the file, the system's reason and any time spent waiting");
    app.failure_message([](const CLI::App* odb, const CLI::Error& error) {
        std::string help = "odb";
        for (const CLI::App* command : odb->get_subcommands()) help += " " + command->get_name();
        return "odb: " + std::string(error.what()) + "\nRun '" + help + " --help' for more information.\n";
    });
    add_database_commands(app);
    add_object_commands(app);
    add_attribute_commands(app);
    add_query_commands(app);
    add_id_commands(app);
    add_check_command(app);
    add_dump_commands(app);
    add_stats_commands(app);
    add_demo_command(app);
    add_doctor_command(app);
    // The first word that is not an option names the command.
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') continue;
        bool known = false;
        for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
            known = known || command->get_name() == argv[i];
        if (!known) {
            std::cerr << "odb: '" << argv[i] << "' is not an odb command. See 'odb --help'.\n";
            return exit_usage;
        }
        break;
    }
    try {
        app.parse(argc, argv);
        flush_output();
    } catch (const output_failed& failure) {
        // A reader that went away (odb ... | head) is no failure to report.
        if (failure.error == EPIPE) return exit_failure;
        std::cerr << "odb: error: cannot write to standard output: " << std::strerror(failure.error)
                  << "\n";
        return exit_failure;
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? exit_ok : exit_usage;
    } catch (const usage_error& error) {
        return report(error, as_json, exit_usage);
    } catch (const std::exception& error) {
        return report(error, as_json, exit_failure);
    }
    return pending_exit_code;
}

}  // namespace odbtool

#ifdef _WIN32
// The arguments arrive as UTF-16 and are handed on as UTF-8, so that names
// outside the ANSI code page survive.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        std::wstring wide(argv[i]);
        arguments.push_back(odbtool::utf16_to_utf8(std::u16string(wide.begin(), wide.end())));
    }
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    return odbtool::run(argc, pointers.data());
}
#else
int main(int argc, char** argv) { return odbtool::run(argc, argv); }
#endif
