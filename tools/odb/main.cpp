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
#include "output.h"
#include "text.h"

namespace odbtool {

namespace {
int pending_exit_code = exit_ok;
}

void set_exit_code(int code) { pending_exit_code = code; }
int exit_code_set() { return pending_exit_code; }

int run(int argc, char** argv) {
    use_binary_stdio();
    CLI::App app{"odb: create, inspect, change and repair qmfiledb databases.\n"
                 "Classes, identifiers and attribute numbers are hexadecimal (as in the "
                 "database's file names); counts and offsets are decimal unless written 0x...",
                 "odb"};
    // Paths such as /tmp/db are arguments, not /options, on every platform.
    app.allow_windows_style_options(false);
    app.require_subcommand(1, 1);
    app.fallthrough(false);
    add_database_commands(app);
    add_object_commands(app);
    add_attribute_commands(app);
    add_query_commands(app);
    add_id_commands(app);
    add_check_command(app);
    add_dump_commands(app);
    add_demo_command(app);
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
        std::cerr << "odb: " << error.what() << "\n";
        return exit_usage;
    } catch (const tool_error& error) {
        std::cout.flush();
        std::cerr << "odb: error: " << error.what() << "\n";
        return exit_failure;
    } catch (const std::exception& error) {
        std::cout.flush();
        std::cerr << "odb: error: " << error.what() << "\n";
        return exit_failure;
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
