#include "support/open_forms.h"

namespace odb::test {

const open_form open_forms[3] = {
    {"read", GENERIC_READ, FILE_SHARE_READ},
    {"write", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ},
    {"exclusive", GENERIC_READ | GENERIC_WRITE, 0},
};

const open_form* find_open_form(const std::string& name) {
    for (const auto& form : open_forms)
        if (name == form.name) return &form;
    return nullptr;
}

DWORD find_disposition(const std::string& name) {
    if (name == "open-existing") return OPEN_EXISTING;
    if (name == "open-always") return OPEN_ALWAYS;
    if (name == "create-always") return CREATE_ALWAYS;
    if (name == "create-new") return CREATE_NEW;
    return 0;
}

HANDLE open_in_form(const WCHAR* path, const open_form& form, DWORD disposition) {
    return CreateFileW(path, form.access, form.share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

}  // namespace odb::test
