#include "support/open_race.h"

#include "platform/handle.h"

namespace odb::test {
namespace {

bool read_words(HANDLE file, uint32_t words[2]) {
    DWORD got = 0;
    return SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
           ReadFile(file, words, 8, &got, nullptr) && got == 8;
}

bool write_words(HANDLE file, const uint32_t words[2]) {
    DWORD put = 0;
    return SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
           WriteFile(file, words, 8, &put, nullptr) && put == 8;
}

open_race_result failed(open_race_result result) {
    result.unexpected_error = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
    return result;
}

}  // namespace

open_race_result run_open_race(const WCHAR* path, uint32_t iterations, uint32_t marker) {
    open_race_result result;
    for (uint32_t i = 0; i < iterations; ++i) {
        const bool exclusive = i % 4 != 3;
        file_handle file;
        // Busy retry: the holder needs only a few calls to let go. Yielding
        // lets it run on a machine with fewer cores than racers.
        for (;;) {
            file.reset(CreateFileW(path, exclusive ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                   exclusive ? 0 : FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file) break;
            if (GetLastError() != ERROR_SHARING_VIOLATION) {
                result.unexpected_error = GetLastError();
                return result;
            }
            Sleep(0);
        }
        uint32_t words[2];
        if (!read_words(file.get(), words)) return failed(result);
        if (words[0] != 0) ++result.overlaps;
        if (exclusive) {
            words[0] = marker;
            if (!write_words(file.get(), words)) return failed(result);
            Sleep(0);  // invite a conflicting racer in while the mark is set
            if (!read_words(file.get(), words)) return failed(result);
            if (words[0] != marker) ++result.overlaps;
            words[0] = 0;
            ++words[1];
            if (!write_words(file.get(), words)) return failed(result);
            ++result.exclusive_holds;
        } else {
            Sleep(0);
            if (!read_words(file.get(), words)) return failed(result);
            if (words[0] != 0) ++result.overlaps;
            ++result.shared_holds;
        }
    }
    return result;
}

bool read_race_file(const WCHAR* path, uint32_t& inside, uint32_t& counter) {
    file_handle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    uint32_t words[2];
    if (!file || !read_words(file.get(), words)) return false;
    inside = words[0];
    counter = words[1];
    return true;
}

}  // namespace odb::test
