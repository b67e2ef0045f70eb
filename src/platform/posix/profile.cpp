// The private-profile (INI) functions. Each call reads the file afresh, so
// a change made by another process is seen at once, and every write
// replaces the file whole (see save_profile).
//
// The files are opened like every other file, through the share locks
// (open_locked): a read holds the file shared and is refused by a handle
// that does not share reading; a write holds it exclusively from its read
// to its rename, so it is refused by any other handle, and no other write
// can come between its read and its rename. A refused call fails with
// ERROR_SHARING_VIOLATION and leaves the file as it was. Within the process
// a write excludes every other call, as KERNEL32 serializes them, so that
// the calls of one process never refuse each other; reads go together.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <shared_mutex>

#include "platform/extensions.h"
#include "platform/posix/profile_file.h"

namespace {

using namespace odb::posix;

// Set by WritePrivateProfileStringFlushedW for the write it makes.
thread_local bool flush_profile_writes = false;

std::shared_mutex& profile_mutex() {
    static std::shared_mutex mutex;
    return mutex;
}

bool not_found(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::u16string wide(LPCWSTR text) {
    return text == nullptr ? std::u16string() : std::u16string(text, text + wide_length(text));
}

// Copies as much of `text` as fits with its terminator and returns the
// number of units copied: a string that does not fit is cut to size - 1.
DWORD copy_cut(const std::u16string& text, LPWSTR buffer, DWORD size) {
    std::size_t count = text.size() < size ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), count * sizeof(WCHAR));
    buffer[count] = 0;
    return static_cast<DWORD>(count);
}

// A list of names as "a\0b\0\0". A list that does not fit is cut inside
// the name that does not fit, still ends in two NULs, and returns size - 2.
DWORD copy_list(const std::vector<std::u16string>& names, LPWSTR buffer, DWORD size) {
    if (size == 1) {
        buffer[0] = 0;
        return 0;
    }
    DWORD room = size - 1;  // units left before the final terminator
    LPWSTR out = buffer;
    for (const auto& name : names) {
        DWORD needed = static_cast<DWORD>(name.size()) + 1;
        if (needed >= room) {
            std::memcpy(out, name.data(), (room - 1) * sizeof(WCHAR));
            out += room - 1;
            *out++ = 0;
            *out = 0;
            return size - 2;
        }
        std::memcpy(out, name.data(), name.size() * sizeof(WCHAR));
        out += name.size();
        *out++ = 0;
        room -= needed;
    }
    *out = 0;
    return static_cast<DWORD>(out - buffer);
}

// Reads the profile held shared. A missing file reads as empty; false,
// with the last error set, when the file cannot be read.
bool load_for_reading(LPCWSTR file, profile_file& profile) {
    std::string path;
    if (file == nullptr || !to_posix_path(file, path)) return false;
    descriptor_scope scope;
    std::shared_lock<std::shared_mutex> reading(profile_mutex());
    bool created = false;
    DWORD error = ERROR_SUCCESS;
    int fd = open_locked(path, O_RDONLY, share_lock_kind::shared, OPEN_EXISTING, created, error);
    if (fd < 0) {
        if (not_found(error)) {
            profile = empty_profile();
            return true;
        }
        return fail(error);
    }
    int read_error = read_profile(fd, profile);
    ::close(fd);
    return read_error == 0 || fail(error_from_errno(read_error));
}

// Reads the profile at `path` held exclusively, lets `edit` change it, and
// saves it if `edit` answers that it changed. Sets the last error and
// returns FALSE on failure.
BOOL update_profile(const std::string& path, const std::function<bool(profile_file&)>& edit) {
    descriptor_scope scope;
    std::lock_guard<std::shared_mutex> writing(profile_mutex());
    for (int attempt = 0; attempt < share_open_attempts; ++attempt) {
        bool created = false;
        DWORD error = ERROR_SUCCESS;
        int fd = open_locked(path, O_RDWR, share_lock_kind::exclusive, OPEN_EXISTING, created,
                             error);
        if (fd < 0 && !not_found(error)) return fail(error);
        profile_file profile = empty_profile();
        int failure = fd < 0 ? 0 : read_profile(fd, profile);
        if (failure == 0 && edit(profile)) failure = save_profile(path, profile, fd >= 0, flush_profile_writes);
        if (fd >= 0) ::close(fd);
        // A file that appeared since we found none: start over and edit it.
        if (failure == EEXIST) continue;
        if (failure == ENOENT) return fail(ERROR_PATH_NOT_FOUND);
        return failure == 0 ? TRUE : fail(error_from_errno(failure));
    }
    return fail(ERROR_SHARING_VIOLATION);
}

// The value of section/key as Windows returns it: one pair of matching
// quotes removed. False when there is no such key or it has no '='.
bool read_value(profile_file& profile, LPCWSTR section, LPCWSTR key, std::u16string& value) {
    profile_section* found = profile.find_section(profile_trim(wide(section)));
    if (found == nullptr) return false;
    profile_entry* entry = profile_file::find_key(*found, profile_trim(wide(key)));
    if (entry == nullptr || entry->kind != profile_entry::pair) return false;
    value = entry->value;
    if (value.size() >= 2 && (value[0] == u'"' || value[0] == u'\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
    return true;
}

std::vector<std::u16string> section_names(profile_file& profile) {
    std::vector<std::u16string> names;
    for (const auto& section : profile.sections)
        if (section.named && !section.name.empty()) names.push_back(section.name);
    return names;
}

}  // namespace

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR default_value, LPWSTR buffer,
                               DWORD size, LPCWSTR file) {
    if (!admit_call()) return 0;
    if (buffer == nullptr || size == 0) return 0;
    profile_file profile;
    if (!load_for_reading(file, profile)) profile = empty_profile();
    if (section == nullptr) return copy_list(section_names(profile), buffer, size);
    if (key == nullptr) {
        std::vector<std::u16string> keys;
        if (profile_section* found = profile.find_section(profile_trim(wide(section))))
            for (const auto& entry : found->entries)
                if (entry.kind == profile_entry::pair && !entry.key.empty())
                    keys.push_back(entry.key);
        return copy_list(keys, buffer, size);
    }
    std::u16string value;
    if (!read_value(profile, section, key, value)) {
        value = wide(default_value);
        while (!value.empty() && value.back() == u' ') value.pop_back();
    }
    return copy_cut(value, buffer, size);
}

UINT GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, int default_value, LPCWSTR file) {
    if (!admit_call()) return static_cast<UINT>(default_value);
    profile_file profile;
    std::u16string value;
    if (!load_for_reading(file, profile) || !read_value(profile, section, key, value) ||
        value.empty())
        return static_cast<UINT>(default_value);
    // Decimal digits after an optional sign, up to the first other
    // character, in unsigned arithmetic that wraps: "-1" is 4294967295,
    // "42A9" is 42, "B42" is 0.
    std::size_t at = 0;
    bool negative = false;
    if (value[0] == u'-' || value[0] == u'+') {
        negative = value[0] == u'-';
        ++at;
    }
    UINT result = 0;
    for (; at < value.size() && value[at] >= u'0' && value[at] <= u'9'; ++at)
        result = result * 10u + static_cast<UINT>(value[at] - u'0');
    return negative ? 0u - result : result;
}

DWORD GetPrivateProfileSectionNamesW(LPWSTR buffer, DWORD size, LPCWSTR file) {
    if (!admit_call()) return 0;
    if (buffer == nullptr || size == 0) return 0;
    profile_file profile;
    if (!load_for_reading(file, profile)) {
        buffer[0] = 0;
        return 0;
    }
    return copy_list(section_names(profile), buffer, size);
}

BOOL GetPrivateProfileStructW(LPCWSTR section, LPCWSTR key, LPVOID buffer, UINT size,
                              LPCWSTR file) {
    if (!admit_call()) return FALSE;
    profile_file profile;
    std::u16string value;
    if (!load_for_reading(file, profile) || !read_value(profile, section, key, value))
        return fail(ERROR_FILE_NOT_FOUND);
    // Two hexadecimal digits per byte and two for the checksum, the sum of
    // the bytes modulo 256; anything else is refused whole.
    if (value.size() != 2ull * size + 2) return fail(ERROR_INVALID_DATA);
    std::vector<BYTE> bytes(size + 1u);
    for (std::size_t i = 0; i < value.size(); ++i) {
        char16_t c = value[i];
        unsigned digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else if (c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else
            return fail(ERROR_INVALID_DATA);
        bytes[i / 2] = static_cast<BYTE>(bytes[i / 2] << 4 | digit);
    }
    BYTE sum = 0;
    for (UINT i = 0; i < size; ++i) sum = static_cast<BYTE>(sum + bytes[i]);
    if (sum != bytes[size]) return fail(ERROR_INVALID_DATA);
    if (size != 0) std::memcpy(buffer, bytes.data(), size);
    return TRUE;
}

BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR file) {
    if (!admit_call()) return FALSE;
    // The answers KERNEL32 gives for no section and for an empty name.
    if (section == nullptr) return fail(ERROR_FILE_NOT_FOUND);
    if (file == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (file[0] == 0) return fail(ERROR_ACCESS_DENIED);
    std::string path;
    if (!to_posix_path(file, path)) return FALSE;

    const std::u16string section_name = profile_trim(wide(section));
    return update_profile(path, [&](profile_file& profile) {
        profile_section* found = profile.find_section(section_name);
        if (key == nullptr) {
            // No key: the whole (first) section goes.
            if (found == nullptr) return false;
            profile.sections.erase(profile.sections.begin() + (found - profile.sections.data()));
            return true;
        }
        if (value == nullptr) {
            // No value: the (first) key goes.
            profile_entry* entry =
                found == nullptr ? nullptr : profile_file::find_key(*found, profile_trim(wide(key)));
            if (entry == nullptr) return false;
            found->entries.erase(found->entries.begin() + (entry - found->entries.data()));
            return true;
        }
        if (found == nullptr) {
            profile.sections.push_back(profile_section{true, section_name, {}});
            found = &profile.sections.back();
        }
        std::u16string text = wide(value);
        std::size_t start = 0;
        while (start < text.size() && profile_space(text[start])) ++start;
        text.erase(0, start);
        const std::u16string key_name = profile_trim(wide(key));
        profile_entry* entry = profile_file::find_key(*found, key_name);
        if (entry == nullptr) {
            found->entries.push_back(profile_entry{profile_entry::pair, key_name, text});
            return true;
        }
        if (entry->kind == profile_entry::pair && entry->value == text) return false;
        entry->kind = profile_entry::pair;
        entry->value = text;
        return true;
    });
}

BOOL WritePrivateProfileStructW(LPCWSTR section, LPCWSTR key, LPVOID buffer, UINT size,
                                LPCWSTR file) {
    if (buffer == nullptr) return WritePrivateProfileStringW(section, key, nullptr, file);
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string text;
    text.reserve(2ull * size + 3);
    const auto* bytes = static_cast<const BYTE*>(buffer);
    BYTE sum = 0;
    for (UINT i = 0; i <= size; ++i) {
        BYTE b = i < size ? bytes[i] : sum;
        sum = static_cast<BYTE>(sum + b);
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return WritePrivateProfileStringW(section, key, text.c_str(), file);
}

namespace odb::platform {

BOOL WritePrivateProfileStringFlushedW(LPCWSTR section, LPCWSTR key, LPCWSTR value,
                                       LPCWSTR file) {
    flush_profile_writes = true;
    const BOOL result = WritePrivateProfileStringW(section, key, value, file);
    flush_profile_writes = false;
    return result;
}

BOOL WritePrivateProfileStructFlushedW(LPCWSTR section, LPCWSTR key, LPVOID buffer, UINT size,
                                       LPCWSTR file) {
    flush_profile_writes = true;
    const BOOL result = WritePrivateProfileStructW(section, key, buffer, size, file);
    flush_profile_writes = false;
    return result;
}

}  // namespace odb::platform
