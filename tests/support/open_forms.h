// The three ways the engine opens a file, by name, so that tests and the
// helper's command line speak of them the same way.
#pragma once

#include <string>

#include "platform/win32.h"

namespace odb::test {

struct open_form {
    const char* name;
    DWORD access;
    DWORD share;
};

// "read": shared reading. "write": read-write, others may read.
// "exclusive": read-write, no sharing.
extern const open_form open_forms[3];
const open_form* find_open_form(const std::string& name);

// CreateFileW of `path` in that form; disposition names: "open-existing",
// "open-always", "create-always", "create-new" (0 for an unknown name).
DWORD find_disposition(const std::string& name);
HANDLE open_in_form(const WCHAR* path, const open_form& form, DWORD disposition = OPEN_EXISTING);

}  // namespace odb::test
