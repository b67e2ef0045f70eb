#include "output.h"

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "text.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace odbtool {

void print_json(const json& document) {
    std::cout << document.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

std::string json_line(const json& document) {
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

json value_json(const std::vector<unsigned char>& value) {
    json out = {{"hex", to_hex(value)}};
    if (value.size() == 4)
        out["u32"] = value[0] | (value[1] << 8) | (value[2] << 16) | (static_cast<uint32_t>(value[3]) << 24);
    if (!value.empty() && looks_like_text(value)) out["text"] = value_text(value);
    return out;
}

namespace {

// Display width: code points, not bytes.
std::size_t width(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++count;
    return count;
}

// A cell with control characters is quoted with C escapes, as git quotes
// odd paths, so that one row stays one line and a tab cannot pass for a
// column.
std::string cell(const std::string& text) {
    bool odd = false;
    for (unsigned char c : text) odd = odd || c < 0x20 || c == 0x7F;
    if (!odd) return text;
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

}  // namespace

void check_output() {
    if (!std::cout || std::ferror(stdout)) {
        int error = errno;
        throw output_failed{error};
    }
}

void flush_output() {
    std::cout.flush();
    if (std::fflush(stdout) != 0) {
        int error = errno;
        throw output_failed{error};
    }
    check_output();
}

stream_table::stream_table(const std::vector<std::string>& headers, std::vector<std::size_t> widths)
    : widths_(std::move(widths)) {
    if (!headers.empty()) row(headers);
}

void stream_table::row(const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const std::string shown = cell(cells[i]);
        text += shown;
        if (i + 1 < cells.size()) {
            std::size_t used = width(shown), wanted = i < widths_.size() ? widths_[i] : used;
            text += std::string((wanted > used ? wanted - used : 0) + 2, ' ');
        }
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += "\n";
    std::cout << text;
    check_output();
}

void json_stream::add(const json& element) {
    if (lines_) {
        std::cout << json_line(element) << "\n";
    } else {
        std::cout << (started_ ? ",\n  " : "[\n  ") << json_line(element);
    }
    started_ = true;
    check_output();
}

void json_stream::finish() {
    if (finished_) return;
    finished_ = true;
    if (!lines_) std::cout << (started_ ? "\n]\n" : "[]\n");
    check_output();
}

void table::print(std::ostream& out) const {
    std::size_t columns = headers_.size();
    for (const auto& row : rows_) columns = std::max(columns, row.size());
    std::vector<std::size_t> widths(columns, 0);
    auto measure = [&](const std::vector<std::string>& row) {
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], width(cell(row[i])));
    };
    measure(headers_);
    for (const auto& row : rows_) measure(row);
    auto line = [&](const std::vector<std::string>& row) {
        std::string text;
        for (std::size_t i = 0; i < row.size(); ++i) {
            const std::string shown = cell(row[i]);
            text += shown;
            if (i + 1 < row.size()) text += std::string(widths[i] - width(shown) + 2, ' ');
        }
        out << text << "\n";
    };
    if (!headers_.empty()) line(headers_);
    for (const auto& row : rows_) line(row);
}

namespace {
bool quiet_flag = false;
}

void set_quiet(bool quiet) { quiet_flag = quiet; }
bool quiet() { return quiet_flag; }

void print_trace(std::ostream& out, const std::string& trace) {
    if (!trace.empty()) out << "  " << trace << "\n";
}

void add_trace(json& record, const std::string& trace) {
    if (!trace.empty()) record["trace"] = trace;
}

void note(const std::string& text) {
    if (!quiet_flag) std::cerr << "odb: note: " << text << "\n";
}

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

bool stdin_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdin)) != 0;
#else
    return isatty(fileno(stdin)) != 0;
#endif
}

void use_binary_stdio() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    // The tool writes UTF-8; a console shows it as such.
    SetConsoleOutputCP(CP_UTF8);
#endif
}

progress::progress(std::string what, uint64_t total)
    : what_(std::move(what)), total_(total), enabled_(stderr_is_terminal() && !quiet()) {
    start_ = stage_start_ = last_ = std::chrono::steady_clock::now();
}

progress::~progress() { finish(); }

void progress::stage(std::string what, uint64_t total) {
    what_ = std::move(what);
    total_ = total;
    done_ = 0;
    stage_start_ = std::chrono::steady_clock::now();
}

void progress::tick(uint64_t count) {
    done_ += count;
    if (!enabled_ || done_ % 64 != 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    show();
}

void progress::show() {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stage_start_).count();
    const double rate = seconds > 0 ? done_ / seconds : 0;
    std::string line = what_ + ": " + std::to_string(done_);
    if (total_ > 0) line += "/" + std::to_string(total_);
    line += " objects, " + std::to_string(static_cast<uint64_t>(rate)) + "/s";
    if (total_ > done_ && rate > 0)
        line += ", " + std::to_string(static_cast<uint64_t>((total_ - done_) / rate + 0.5)) + " s left";
    std::string padding(shown_width_ > line.size() ? shown_width_ - line.size() : 0, ' ');
    std::cerr << "\r" << line << padding << std::flush;
    shown_width_ = line.size();
}

void progress::finish() {
    if (shown_width_ > 0) {
        std::cerr << "\r" << std::string(shown_width_, ' ') << "\r" << std::flush;
        shown_width_ = 0;
    }
}

}  // namespace odbtool
