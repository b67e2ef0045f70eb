#include "support/file_util.h"

#ifndef _WIN32
#include <filesystem>
#include <system_error>
#endif

#include "platform/handle.h"

namespace odb::test {

bool write_file(const wide_string& path, const std::string& bytes) {
    file_handle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

std::string read_file(const wide_string& path, bool* ok) {
    if (ok != nullptr) *ok = false;
    file_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::string();
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    if (ok != nullptr) *ok = true;
    return bytes;
}

bool path_exists(const wide_string& path) {
    WIN32_FIND_DATAW data;
    find_handle find(FindFirstFileW(path.c_str(), &data));
    return find.valid();
}

#ifndef _WIN32
int descriptors_on(const wide_string& path) {
    namespace fs = std::filesystem;
    const std::string file = fs::absolute(narrow(path)).lexically_normal().string();
    int count = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        const std::string target = fs::read_symlink(entry.path(), error).string();
        if (target == file || target == file + " (deleted)") ++count;
    }
    return count;
}
#endif

}  // namespace odb::test
