// The module file name: on POSIX only the executable itself is a module the
// layer can name.
#include <errno.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/posix/internal.h"

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    using namespace odb::posix;
    if (!admit_call()) return 0;
    if (module != nullptr) {
        fail(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::vector<char> target(256);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", target.data(), target.size());
        if (n < 0) {
            fail(error_from_errno(errno));
            return 0;
        }
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            break;
        }
        target.resize(target.size() * 2);
    }
    std::u16string name;
    if (!utf8_to_utf16(target.data(), target.size(), name)) {
        fail(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (size == 0) {
        fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Like Windows since XP: a name that does not fit is cut to size - 1
    // units, terminated, and reported with the buffer size.
    if (name.size() >= size) {
        std::memcpy(buffer, name.data(), (size - 1) * sizeof(WCHAR));
        buffer[size - 1] = 0;
        fail(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    buffer[name.size()] = 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(name.size());
}
