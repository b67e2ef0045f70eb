// Dispatches "odb_test_helper COMMAND ARGS..." to a registered command.
#include <cstdio>
#include <cstring>

#include "helper_commands.h"

namespace helper {

static std::vector<command>& registry() {
    static std::vector<command> entries;
    return entries;
}

bool register_command(const command& entry) {
    registry().push_back(entry);
    return true;
}

const std::vector<command>& commands() { return registry(); }

}  // namespace helper

int main(int argc, char** argv) {
    if (argc >= 2) {
        for (const helper::command& entry : helper::commands()) {
            if (std::strcmp(entry.name, argv[1]) == 0)
                return entry.run(std::vector<std::string>(argv + 2, argv + argc));
        }
    }
    std::fprintf(stderr, "usage: odb_test_helper COMMAND ARGS...\n");
    for (const helper::command& entry : helper::commands())
        std::fprintf(stderr, "  %s %s\n", entry.name, entry.usage);
    return 2;
}
