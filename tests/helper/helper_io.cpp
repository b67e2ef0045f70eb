#include "helper_io.h"

#include <cstdio>
#include <iostream>

namespace helper {

void report(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void await_test() {
    std::string line;
    std::getline(std::cin, line);
}

odb::test::wide_string path_argument(const std::string& text) {
    int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    odb::test::wide_string path(static_cast<std::size_t>(size > 0 ? size : 1), 0);
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &path[0], size);
    path.resize(path.size() - 1);
    return path;
}

}  // namespace helper
