// What the fuzz targets share: a scratch directory of their own for the
// process, files written from the fuzz input, and a database created once
// with chosen settings. POSIX and clang only (libFuzzer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/disk_format.h"
#include "qmfiledb.h"

namespace fuzz {

// A fresh directory for this process, removed at exit.
const std::filesystem::path& scratch_dir();

// Creates or replaces the file with exactly these bytes.
void write_bytes(const std::filesystem::path& file, const uint8_t* data, std::size_t size);
void write_text(const std::filesystem::path& file, const std::string& text);

// A path as the library takes it.
std::u16string wide(const std::filesystem::path& path);

// A database at scratch_dir()/name, created on the first call with this
// DBCFG.INI (CRLF added), and a handle on it (null on failure; aborts the
// run so the problem is seen).
odb_database* open_database(const std::string& name, const std::string& settings,
                            std::filesystem::path* root = nullptr);

// "%08x"
std::string hex(uint32_t value);

// The object directory root\class\bucket\slot.
std::filesystem::path object_dir(const std::filesystem::path& root, uint32_t cls, uint32_t id);

}  // namespace fuzz
