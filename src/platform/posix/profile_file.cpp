// Parsing and writing private-profile (INI) files.
//
// Reading accepts what Windows accepts: CR, LF or CRLF line ends; lines
// trimmed of spaces and control characters; "[name]" headers (the text
// between '[' and the last ']', trimmed); "key = value" pairs (split at the
// first '='); ';' comment lines; lines before the first header. Writing emits
// "[name]\r\n" and "key=value\r\n" and no blank lines, keeping comments and
// the order of everything else.
//
// Files are UTF-8, with or without a byte-order mark, or UTF-16LE with its
// mark (as Windows editors save them); a file is written back in the form
// it was found in. A byte of a UTF-8 file that is not part of valid UTF-8 is
// carried through as the lone surrogate U+DC80..U+DCFF and written back as
// the same byte, and a UTF-16 file's units go back as they came, so
// rewriting a file never changes the lines it did not touch.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/posix/profile_file.h"

namespace odb::posix {
namespace {

bool equal_ignoring_case(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y) return false;
    }
    return true;
}

std::u16string decode(const std::string& bytes) {
    std::u16string text, piece;
    text.reserve(bytes.size());
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < bytes.size();) {
        unsigned char lead = s[i];
        std::size_t length = lead < 0x80             ? 1
                             : (lead & 0xE0) == 0xC0 ? 2
                             : (lead & 0xF0) == 0xE0 ? 3
                             : (lead & 0xF8) == 0xF0 ? 4
                                                     : 0;
        if (length != 0 && i + length <= bytes.size() &&
            utf8_to_utf16(bytes.data() + i, length, piece)) {
            text += piece;
            i += length;
        } else {
            text += static_cast<char16_t>(0xDC00 + lead);
            ++i;
        }
    }
    return text;
}

bool encode(const std::u16string& text, std::string& bytes) {
    bytes.clear();
    std::string piece;
    std::size_t start = 0;
    auto flush = [&](std::size_t end) {
        if (!utf16_to_utf8(text.data() + start, end - start, piece)) return false;
        bytes += piece;
        return true;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        bool lone_low =
            c >= 0xDC80 && c <= 0xDCFF && (i == 0 || text[i - 1] < 0xD800 || text[i - 1] > 0xDBFF);
        if (!lone_low) continue;
        if (!flush(i)) return false;
        bytes += static_cast<char>(c - 0xDC00);
        start = i + 1;
    }
    return flush(text.size());
}

void parse(const std::u16string& text, profile_file& profile) {
    profile.sections.clear();
    profile.sections.push_back(profile_section{false, {}, {}});
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find_first_of(u"\r\n", at);
        if (end == std::u16string::npos) end = text.size();
        std::u16string line = profile_trim(text.substr(at, end - at));
        at = end;
        if (at < text.size() && text[at] == u'\r') {
            ++at;
            if (at < text.size() && text[at] == u'\n') ++at;
        } else if (at < text.size()) {
            ++at;  // '\n'
        }
        if (line.empty()) continue;

        if (line[0] == u'[') {
            std::size_t close = line.rfind(u']');
            if (close != std::u16string::npos) {
                profile.sections.push_back(
                    profile_section{true, profile_trim(line.substr(1, close - 1)), {}});
                continue;
            }
        }
        auto& entries = profile.sections.back().entries;
        if (line[0] == u';') {
            entries.push_back(profile_entry{profile_entry::comment, line, {}});
            continue;
        }
        std::size_t equals = line.find(u'=');
        if (equals == std::u16string::npos) {
            entries.push_back(profile_entry{profile_entry::bare, line, {}});
        } else {
            entries.push_back(profile_entry{profile_entry::pair,
                                            profile_trim(line.substr(0, equals)),
                                            profile_trim(line.substr(equals + 1))});
        }
    }
}

std::u16string decode_utf16le(const std::string& bytes, std::size_t start) {
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = start; i + 1 < bytes.size(); i += 2)  // an odd last byte is no unit
        text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                      static_cast<unsigned char>(bytes[i + 1]) << 8);
    return text;
}

std::string encode_utf16le(const std::u16string& text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::u16string render(const profile_file& profile) {
    std::u16string text;
    if (profile.form != profile_file::utf8) text += u'\xFEFF';
    for (const auto& section : profile.sections) {
        if (section.named) text += u"[" + section.name + u"]\r\n";
        for (const auto& entry : section.entries) {
            text += entry.key;
            if (entry.kind == profile_entry::pair) text += u"=" + entry.value;
            text += u"\r\n";
        }
    }
    return text;
}

int write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

std::u16string profile_trim(const std::u16string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && profile_space(text[begin])) ++begin;
    while (end > begin && profile_space(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

const profile_section* profile_file::find_section(const std::u16string& name) const {
    for (const auto& section : sections)
        if (section.named && equal_ignoring_case(section.name, name)) return &section;
    return nullptr;
}

profile_section* profile_file::find_section(const std::u16string& name) {
    return const_cast<profile_section*>(static_cast<const profile_file*>(this)->find_section(name));
}

const profile_entry* profile_file::find_key(const profile_section& section,
                                            const std::u16string& key) {
    for (const auto& entry : section.entries)
        if (entry.kind != profile_entry::comment && equal_ignoring_case(entry.key, key))
            return &entry;
    return nullptr;
}

profile_entry* profile_file::find_key(profile_section& section, const std::u16string& key) {
    return const_cast<profile_entry*>(
        find_key(static_cast<const profile_section&>(section), key));
}

profile_file empty_profile() {
    profile_file profile;
    profile.sections.push_back(profile_section{false, {}, {}});
    return profile;
}

int read_profile(int fd, profile_file& profile) {
    profile = empty_profile();
    std::string bytes;
    char chunk[16384];
    for (;;) {
        ssize_t n = ::pread(fd, chunk, sizeof chunk, static_cast<off_t>(bytes.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    if (bytes.compare(0, 2, "\xFF\xFE") == 0) {
        profile.form = profile_file::utf16le_with_mark;
        parse(decode_utf16le(bytes, 2), profile);
        return 0;
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        profile.form = profile_file::utf8_with_mark;
        bytes.erase(0, 3);
    }
    parse(decode(bytes), profile);
    return 0;
}

int save_profile(const std::string& path, const profile_file& profile, bool replace, bool flush) {
    std::string bytes;
    const std::u16string text = render(profile);
    if (profile.form == profile_file::utf16le_with_mark)
        bytes = encode_utf16le(text);
    else if (!encode(text, bytes))
        return EILSEQ;

    // Beside the file, so the rename stays within one file system; named
    // for this process and thread, so concurrent writers never share one.
    std::string temporary = path + "." + std::to_string(::getpid()) + "." +
                            std::to_string(static_cast<long>(::syscall(SYS_gettid))) + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return errno;
    note_created(temporary);
    struct stat old;
    if (replace && ::stat(path.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
    int error = write_all(fd, bytes);
    note_file_written(fd, 0, bytes.data(), error == 0 ? bytes.size() : 0);
    // A flushed write puts the new bytes on disk before the rename can.
    if (error == 0 && flush) {
        if (::fdatasync(fd) == 0) note_file_flushed(fd);
        else error = errno;
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && replace && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error == 0 && !replace &&
        ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
        error = errno;
        if (error == EINVAL || error == ENOSYS)  // no RENAME_NOREPLACE here: a link cannot replace
            error = ::link(temporary.c_str(), path.c_str()) == 0 ? 0 : errno;
        if (error == 0) ::unlink(temporary.c_str());
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        note_removed(temporary);
        return error;
    }
    note_renamed(temporary, path);
    if (flush) {
        const std::size_t slash = path.rfind('/');
        const std::string directory =
            slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd < 0) return errno;
        if (::fsync(dir_fd) != 0) error = errno;
        ::close(dir_fd);
        if (error == 0) note_directory_flushed(directory);
    }
    return error;
}

}  // namespace odb::posix
