#include "name_index.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "settings.h"

namespace odbtool {

namespace {

// Unix time of 1992-01-01 00:00:00 UTC.
const int64_t index_epoch = 694224000;

uint32_t get32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool read_whole(const fs::path& path, bytes& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

char16_t fold(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? unit - u'A' + u'a' : unit; }

}  // namespace

uint32_t index_clock_now() {
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    return static_cast<uint32_t>(now - index_epoch);
}

uint32_t index_lifetime(const database& db) {
    return setting_number(ini_file::load(settings_path(db)), odb::settings::index_lifetime);
}

fs::path index_bucket_path(const fs::path& class_dir, uint32_t bucket) {
    char name[16];
    std::snprintf(name, sizeof name, "%03x", bucket);
    return class_dir / (disk::name_bucket_prefix + std::string(name));
}

index_header read_index_header(const fs::path& class_dir, uint32_t lifetime, uint32_t margin) {
    index_header header;
    bytes file;
    if (!read_whole(class_dir / disk::name_index_file, file)) {
        std::error_code error;
        header.state = fs::exists(index_bucket_path(class_dir, 0), error) ? index_header::missing
                                                                          : index_header::absent;
        return header;
    }
    bool zero = true;
    for (unsigned char c : file) zero = zero && c == 0;
    if (zero) {
        header.state = index_header::reset;
        return header;
    }
    if (file.size() < disk::name_index_header_size) {
        header.state = index_header::damaged;
        header.problem = std::string(disk::name_index_file) + " is cut (" + std::to_string(file.size()) + " bytes)";
        return header;
    }
    const uint32_t magic = get32(file.data());
    header.built = get32(file.data() + 4);
    header.buckets = get32(file.data() + 8);
    if (magic != disk::name_index_magic) {
        header.state = index_header::damaged;
        header.problem = std::string(disk::name_index_file) + " has the wrong magic " + hex8(magic);
    } else if (header.buckets < odb::settings::hash_count.minimum ||
               header.buckets > odb::settings::hash_count.maximum) {
        header.state = index_header::damaged;
        header.problem = std::string(disk::name_index_file) + " gives a bad bucket count " +
                         std::to_string(header.buckets);
    } else if (lifetime != 0 && uint64_t(index_clock_now()) + margin > uint64_t(header.built) + lifetime) {
        header.state = index_header::stale;
    } else {
        header.state = index_header::fresh;
    }
    return header;
}

index_bucket read_index_bucket(const fs::path& class_dir, uint32_t bucket) {
    index_bucket out;
    bytes file;
    if (!read_whole(index_bucket_path(class_dir, bucket), file)) return out;
    if (file.empty()) {
        out.state = index_bucket::empty;
        return out;
    }
    out.state = index_bucket::damaged;
    if (file.size() < disk::name_bucket_header_size) {
        out.problem = "the bucket file is cut (" + std::to_string(file.size()) + " bytes)";
        return out;
    }
    if (get32(file.data()) != disk::name_index_magic) {
        out.problem = "the bucket file has the wrong magic " + hex8(get32(file.data()));
        return out;
    }
    out.stated = get32(file.data() + 4);
    std::size_t position = disk::name_bucket_header_size;
    while (position + disk::name_entry_overhead <= file.size()) {
        uint32_t length = file[position] | (file[position + 1] << 8);
        if (length < disk::name_entry_overhead || length > disk::max_name_entry_length ||
            position + length > file.size()) {
            out.problem = "bad entry length " + std::to_string(length) + " at offset " + std::to_string(position);
            out.entries.clear();
            return out;
        }
        uint32_t id = get32(file.data() + position + 2);
        if (id != 0) {
            index_entry entry{id, {}};
            // The entry's last whole unit ends the name, whatever it holds.
            for (std::size_t at = position + 6; at + 3 < position + length; at += 2) {
                char16_t unit = static_cast<char16_t>(file[at] | (file[at + 1] << 8));
                if (unit == 0) break;
                entry.name += unit;
            }
            out.entries.push_back(std::move(entry));
        }
        position += length;
    }
    out.state = index_bucket::sound;
    return out;
}

uint32_t index_bucket_of(const std::u16string& name, uint32_t buckets) {
    uint32_t sum = 0;
    for (char16_t unit : name) sum += fold(unit);
    return buckets == 0 ? 0 : sum % buckets;
}

bool same_name(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

namespace {

bool bucket_readable(const fs::path& class_dir, uint32_t bucket) {
    index_bucket b = read_index_bucket(class_dir, bucket);
    return b.state == index_bucket::sound || b.state == index_bucket::empty;
}

}  // namespace

bool index_readable_for_name(const fs::path& class_dir, uint32_t lifetime, const std::u16string& name) {
    index_header header = read_index_header(class_dir, lifetime);
    return header.state == index_header::fresh &&
           bucket_readable(class_dir, index_bucket_of(name, header.buckets));
}

bool index_readable_for_count(const fs::path& class_dir, uint32_t lifetime) {
    index_header header = read_index_header(class_dir, lifetime);
    if (header.state != index_header::fresh) return false;
    for (uint32_t b = 0; b < header.buckets; ++b)
        if (!bucket_readable(class_dir, b)) return false;
    return true;
}

std::string index_state_text(const index_header& header) {
    switch (header.state) {
    case index_header::absent: return "not built";
    case index_header::reset: return "invalidated";
    case index_header::missing: return std::string("missing its ") + disk::name_index_file;
    case index_header::damaged: return "damaged: " + header.problem;
    case index_header::stale: return "stale";
    case index_header::fresh: return "current";
    }
    return "?";
}

}  // namespace odbtool
