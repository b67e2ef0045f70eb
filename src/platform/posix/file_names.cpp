// Deleting and renaming: refused while a handle has the file open (or, for a
// directory, any file below it), and a rename never replaces an existing
// name. See share_lock.cpp for how the refusals are made exact.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/extensions.h"
#include "platform/posix/internal.h"

namespace {

using namespace odb::posix;

// rename() without replacing `to`. RENAME_NOREPLACE does it atomically. A
// FUSE client of a distributed file system refuses it (EINVAL): its kernel
// could check only its own view of the target, not the other clients'. Then
// the no-replace step is one the server decides: for a file, link() to the
// new name (fails with EEXIST if the name exists anywhere) and unlink() of the
// old; for a directory, which cannot be linked, a look-up of the new name on
// the server and then rename(). See share_lock.cpp for what that gives up.
int rename_no_replace(const std::string& from, const std::string& to, bool directory) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    if (!directory) {
        if (::link(from.c_str(), to.c_str()) != 0) return errno;
        ::unlink(from.c_str());
        return 0;
    }
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) return EEXIST;
    if (errno != ENOENT) return errno;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

BOOL fail_rename(int error, const std::string& from) {
    if (error == EEXIST || error == ENOTEMPTY) return fail(ERROR_ALREADY_EXISTS);
    if (error == ENOENT) {
        // The source was there when we locked it, so the missing part is
        // the target's directory, unless the source has since gone.
        struct stat st;
        if (::lstat(from.c_str(), &st) != 0) return fail_path(ENOENT, from);
        return fail(ERROR_PATH_NOT_FOUND);
    }
    return fail(error_from_errno(error));
}

}  // namespace

BOOL DeleteFileW(LPCWSTR path) {
    if (!admit_call()) return FALSE;
    thread_local std::string file;  // reused: see CreateFileW
    if (!to_posix_path(path, file)) return FALSE;
    descriptor_scope scope;
    struct stat st;
    if (::lstat(file.c_str(), &st) != 0) return fail_path(errno, file);
    if (S_ISDIR(st.st_mode)) return fail(ERROR_ACCESS_DENIED);
    if (!S_ISREG(st.st_mode)) {
        // A link or special file is nothing a handle of ours can hold.
        return ::unlink(file.c_str()) == 0 ? TRUE : fail_path(errno, file);
    }
    forget_cached_profiles(file);
    int fd = open_exclusively(file);
    if (fd < 0) return FALSE;
    int error = ::unlink(file.c_str()) == 0 ? 0 : errno;
    ::close(fd);
    if (error != 0) return fail_path(error, file);
    note_removed(file);
    return TRUE;
}

BOOL MoveFileW(LPCWSTR existing, LPCWSTR target) {
    if (!admit_call()) return FALSE;
    std::string from, to;
    if (!to_posix_path(existing, from) || !to_posix_path(target, to)) return FALSE;
    descriptor_scope scope;
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) return fail_path(errno, from);

    if (S_ISDIR(st.st_mode)) {
        std::vector<int> held;
        DWORD refused = hold_tree(from, held);
        int error = refused == 0 ? rename_no_replace(from, to, true) : 0;
        for (int fd : held) ::close(fd);
        if (refused != 0) return fail(refused);
        if (error != 0) return fail_rename(error, from);
        note_renamed(from, to);
        return TRUE;
    }
    if (!S_ISREG(st.st_mode)) {
        int error = rename_no_replace(from, to, false);
        return error == 0 ? TRUE : fail_rename(error, from);
    }
    int fd = open_exclusively(from);
    if (fd < 0) return FALSE;
    int error = rename_no_replace(from, to, false);
    ::close(fd);
    if (error != 0) return fail_rename(error, from);
    note_renamed(from, to);
    return TRUE;
}

namespace odb::platform {

BOOL MoveDirectoryHoldingW(LPCWSTR existing, LPCWSTR target, LPCWSTR held_name, HANDLE* held) {
    if (!admit_call()) return FALSE;
    const bool holding = *held != INVALID_HANDLE_VALUE;
    if (holding && lookup_file(*held) == nullptr) return FALSE;
    std::string from, to, skip;
    if (!to_posix_path(existing, from) || !to_posix_path(target, to) ||
        !to_posix_path(held_name, skip))
        return FALSE;
    descriptor_scope scope;
    // An object directory holds a handful of files: one allocation for the
    // holds instead of one per doubling.
    std::vector<int> held_below;
    held_below.reserve(8);
    // The caller's handle holds its file exclusively from before the walk
    // to after the rename, as the walk would have held it itself; it stays
    // open, and so stays on the file at whichever place it ends up.
    DWORD refused = hold_tree(from, held_below, holding ? skip.c_str() : nullptr);
    int error = refused == 0 ? rename_no_replace(from, to, true) : 0;
    for (int fd : held_below) ::close(fd);
    if (refused != 0) return fail(refused);
    if (error != 0) return fail_rename(error, from);
    note_renamed(from, to);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace odb::platform
