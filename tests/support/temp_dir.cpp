#include "support/temp_dir.h"

#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace odb::test {

#ifdef _WIN32

temp_dir::temp_dir() {
    WCHAR base[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH) throw std::runtime_error("no temporary directory");
    static LONG counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        wide_string candidate = base;
        candidate += L"qmfiledb-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                     std::to_wstring(InterlockedIncrement(&counter));
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

void remove_tree(const wide_string& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            wide_string name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            wide_string child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

#else

namespace {

int remove_entry(const char* path, const struct stat*, int type, struct FTW*) {
    if (type == FTW_DP)
        ::rmdir(path);
    else
        ::unlink(path);
    return 0;
}

std::string to_utf8(const wide_string& path) {
    int size = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size) - 1);
    return out;
}

}  // namespace

temp_dir::temp_dir() {
    const char* base = ::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/qmfiledb-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr)
        throw std::runtime_error("cannot create a temporary directory");
    path_ = widen(pattern);
}

void remove_tree(const wide_string& path) {
    ::nftw(to_utf8(path).c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

#endif

temp_dir::~temp_dir() { remove_tree(path_); }

}  // namespace odb::test
