// What the tool prints: aligned tables for people, JSON for programs, and
// a progress line on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace odbtool {

// Objects keep their keys in the order written.
using json = nlohmann::ordered_json;

// Prints one JSON document (invalid UTF-8 in values becomes U+FFFD).
void print_json(const json& document);
std::string json_line(const json& document);  // one line, no line end
// A value for JSON: {"hex": ..., "u32": N (4 bytes), "text": ... (when it
// reads as text)}.
json value_json(const std::vector<unsigned char>& value);

// A write to standard output failed (errno at the time).
struct output_failed {
    int error;
};
// Throws output_failed once standard output has failed; listings call it
// after every line, so a full disk or a closed pipe stops them at once.
void check_output();
// Flushes standard output and checks it.
void flush_output();

// A table printed as it goes: every column but the last has a fixed width
// (longer cells push the rest of their line along), the last one is free.
class stream_table {
public:
    stream_table(const std::vector<std::string>& headers, std::vector<std::size_t> widths);
    void row(const std::vector<std::string>& cells);

private:
    std::vector<std::size_t> widths_;
};

// A JSON array written element by element (one per line), or JSON Lines.
class json_stream {
public:
    explicit json_stream(bool lines) : lines_(lines) {}
    void add(const json& element);
    void finish();

private:
    bool lines_, started_ = false, finished_ = false;
};

class table {
public:
    explicit table(std::vector<std::string> headers) : headers_(std::move(headers)) {}
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    bool empty() const { return rows_.empty(); }
    // Columns padded to their widest cell; with no headers, none are shown.
    void print(std::ostream& out) const;

private:
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

// The library's trace line on a failure (odb --verbose; empty otherwise),
// carried alike by every reported problem, whether it ends the run or not:
// indented on its own line below the problem in text, as "trace" in JSON.
// Nothing when there is none.
void print_trace(std::ostream& out, const std::string& trace);
void add_trace(json& record, const std::string& trace);

// --quiet: no notes and no progress on standard error.
void set_quiet(bool quiet);
bool quiet();
// "odb: note: ..." on standard error, unless quiet.
void note(const std::string& text);

// Whether stderr is a terminal (progress is shown only there).
bool stderr_is_terminal();
bool stdin_is_terminal();
// Standard input and output carry bytes unchanged (no CRLF translation).
void use_binary_stdio();

// A progress line on standard error, rewritten in place: what, done/total
// (when the total is known), the rate and the time left. It appears only
// on a terminal, without --quiet, and once the work has taken a second;
// finish() clears it so the report that follows starts clean.
class progress {
public:
    explicit progress(std::string what, uint64_t total = 0);
    ~progress();
    void tick(uint64_t count = 1);
    // A new stage: "check class 00000005" with its own total.
    void stage(std::string what, uint64_t total);
    void finish();

private:
    void show();
    std::string what_;
    uint64_t done_ = 0, total_ = 0;
    std::size_t shown_width_ = 0;
    bool enabled_;
    std::chrono::steady_clock::time_point start_, stage_start_, last_;
};

}  // namespace odbtool
