#include "library_trace.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace odbtool {

namespace {

namespace fs = std::filesystem;

struct trace_file {
    fs::path path;
    std::streamoff taken = 0;  // bytes already looked through
    ~trace_file() {
        std::error_code error;
        if (!path.empty()) fs::remove(path, error);
    }
};

trace_file trace;

int process_id() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

}  // namespace

void start_library_trace() {
    std::error_code error;
    fs::path directory = fs::temp_directory_path(error);
    if (error) return;
    trace.path = directory / ("odb-trace-" + std::to_string(process_id()) + ".log");
    std::ofstream(trace.path, std::ios::trunc);  // a file left by an earlier process of this id
    const std::string target = trace.path.string();
#ifdef _WIN32
    _putenv_s("QMFILEDB_TRACE", target.c_str());
#else
    ::setenv("QMFILEDB_TRACE", target.c_str(), 1);
#endif
}

bool library_trace_started() { return !trace.path.empty(); }

std::string take_library_trace(odb_status status) {
    if (trace.path.empty()) return "";
    std::ifstream in(trace.path, std::ios::binary);
    in.seekg(trace.taken);
    char code[16];
    std::snprintf(code, sizeof code, "(0x%08x)", static_cast<unsigned>(status));
    std::string line, found;
    while (std::getline(in, line))
        if (line.find(code) != std::string::npos) found = line;
    in.clear();
    in.seekg(0, std::ios::end);
    if (in) trace.taken = in.tellg();
    if (!found.empty() && found.back() == '\r') found.pop_back();
    return found;
}

}  // namespace odbtool
