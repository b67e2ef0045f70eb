#include "store/object_facts.h"

#include "core/disk_format.h"
#include "store/object_path.h"

namespace odb {

const path_buffer& object_facts::directory() {
    const uint32_t location = ctx_.mode & (ODB_MODE_REMOVED | ODB_MODE_WIPED);
    if (!have_paths_ || location != location_) {
        directory_ = object_path(ctx_.db->root, ctx_.cls, ctx_.id, location);
        record_file_ = directory_;
        record_file_.component(disk::record_file_name);
        location_ = location;
        have_paths_ = true;
        form_ = form::unknown;
    }
    return directory_;
}

const path_buffer& object_facts::record_file_path() {
    directory();
    return record_file_;
}

path_buffer object_facts::file(const char* name) {
    path_buffer path = directory();
    path.component(name);
    return path;
}

bool object_facts::known_form(bool& single) {
    directory();
    if (form_ == form::unknown) {
        // A context that has held its lock since it last looked knows the
        // form: only a conversion changes it, and a conversion needs the
        // write lock, which no one else can have had meanwhile.
        if (ctx_.lock == INVALID_HANDLE_VALUE || ctx_.storage_form == storage_form_unknown)
            return false;
        form_ = ctx_.storage_form == storage_form_record ? form::single_file : form::per_attribute;
    }
    single = form_ == form::single_file;
    return true;
}

void object_facts::record_file_found(bool there) {
    form_ = there ? form::single_file : form::per_attribute;
    if (ctx_.lock != INVALID_HANDLE_VALUE)
        ctx_.storage_form = there ? storage_form_record : storage_form_files;
}

bool object_facts::single_file() {
    bool single = false;
    if (known_form(single)) return single;
    record_file_found(path_exists(record_file_path(), ODB_E_FILE_ACCESS));
    return form_ == form::single_file;
}

void object_facts::form_changed() {
    form_ = form::unknown;
    ctx_.storage_form = storage_form_unknown;
}

}  // namespace odb
