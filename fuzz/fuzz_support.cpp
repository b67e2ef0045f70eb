#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace fuzz {

namespace {

struct scratch {
    std::filesystem::path path;
    scratch() {
        std::random_device seed;
        std::mt19937_64 random(seed());
        for (int attempt = 0; attempt < 100; ++attempt) {
            path = std::filesystem::temp_directory_path() /
                   ("qmfiledb-fuzz-" + std::to_string(random()));
            if (std::filesystem::create_directory(path)) return;
        }
        std::abort();
    }
    ~scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const std::filesystem::path& scratch_dir() {
    static scratch dir;
    return dir.path;
}

void write_bytes(const std::filesystem::path& file, const uint8_t* data, std::size_t size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
}

void write_text(const std::filesystem::path& file, const std::string& text) {
    std::string crlf;
    for (char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    write_bytes(file, reinterpret_cast<const uint8_t*>(crlf.data()), crlf.size());
}

std::u16string wide(const std::filesystem::path& path) {
    const std::string text = path.string();
    return std::u16string(text.begin(), text.end());
}

odb_database* open_database(const std::string& name, const std::string& settings,
                            std::filesystem::path* root) {
    const std::filesystem::path at = scratch_dir() / name;
    const std::u16string path = wide(at);
    const auto* text = reinterpret_cast<const odb_wchar*>(path.c_str());
    uint32_t version = 0;
    odb_database* db = nullptr;
    if (!std::filesystem::exists(at / odb::disk::marker_file)) {
        if (ODB_init_w(ODB_INIT_CREATE, text, &version, &db, 0) != ODB_OK) std::abort();
        ODB_close(db);
        write_text(at / odb::disk::settings_file, settings);
    }
    if (root != nullptr) *root = at;
    if (ODB_init_w(0, text, &version, &db, 0) != ODB_OK) std::abort();
    return db;
}

std::string hex(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::filesystem::path object_dir(const std::filesystem::path& root, uint32_t cls, uint32_t id) {
    return root / hex(cls) / hex(id >> 9) / hex(id & 0x1FF);
}

}  // namespace fuzz
