// What the platform layer offers beyond the Win32 subset: the few answers
// the engine needs that KERNEL32 has no single call for. Each has a Windows
// implementation (platform/windows/) and a POSIX one (platform/posix/);
// like win32.h, this header is all the engine sees of them.
#pragma once

#include "platform/win32.h"

namespace odb::platform {

// A flag of FindFirstFileExW, beside FIND_FIRST_EX_LARGE_FETCH, for a
// listing whose caller reads of each entry only cFileName and the
// FILE_ATTRIBUTE_DIRECTORY and FILE_ATTRIBUTE_REPARSE_POINT bits. On POSIX a
// Win32 entry's attributes, times and size cost one statx per entry; with
// this flag the kind comes from the directory entry's own type (d_type), and
// statx is made only where the file system does not give one (DT_UNKNOWN)
// and for a symbolic link (whose entry, as Windows shows it, has the
// directory bit of what it leads to). An entry answered from d_type has
// its times and size zero and FILE_ATTRIBUTE_READONLY clear; a file is
// FILE_ATTRIBUTE_ARCHIVE as in a full listing. Names are passed over
// exactly as a full listing passes them over. An entry removed after the
// directory was read may still be listed, as it may on Windows.
// On Windows the flag is 0: FindExInfoBasic with FIND_FIRST_EX_LARGE_FETCH
// is the cheap listing there, and it fills every field.
#if defined(_WIN32)
constexpr DWORD FIND_FIRST_EX_NAMES_AND_KINDS = 0;
#else
constexpr DWORD FIND_FIRST_EX_NAMES_AND_KINDS = 0x40000000u;
#endif

// Overwrites and deletes, by their own names, the entries of `directory`
// that a listing (FindFirstFileW, FindNextFileW) passes over because they
// have no Win32 name: on POSIX a name that is not UTF-8, holds a backslash,
// or has 260 units or more. A directory among them goes with everything in
// it. Nothing is followed: the walk moves from directory to directory by
// their descriptors, never by a joined path, so no name leads it out of the
// tree, and a symbolic link goes while what it points to stays. A file held
// open through this layer is refused, as a wipe of it would be.
// TRUE when no such entry is left (a path that is missing or is not a
// directory has none); FALSE with the last error set when one stays.
// On Windows every name has its Win32 form, and this does nothing.
BOOL WipeUnlistedEntriesW(LPCWSTR directory);

// A flag of CreateFileW's dwFlagsAndAttributes by which the caller promises
// that, for the length of the call, neither the file at `path` nor any
// directory above it is renamed, and the directory `path` names a file in
// is there: the caller holds something that refuses every such rename and
// removal (a file held inside that directory). On POSIX the open then skips
// the look-up of the path that otherwise follows its lock (a delete still
// shows, on the opened file itself), and a file that is not there is
// ERROR_FILE_NOT_FOUND without the look at its directory that tells it from
// ERROR_PATH_NOT_FOUND; everything else, the share mode included, is as
// without it. Why the look-up is needed without the promise, and where the
// engine can make it, is told in the share-lock essay
// (platform/posix/share_lock.cpp, OPENING and WHERE THE PATH IS HELD). On
// Windows the flag is 0: the system's open and its share check are one step
// there.
#if defined(_WIN32)
constexpr DWORD FILE_FLAG_PATH_HELD = 0;
#else
constexpr DWORD FILE_FLAG_PATH_HELD = 0x00400000u;
#endif

// MoveFileW of a directory `from` to `to`, refused as MoveFileW refuses it
// (while any file below `from` is open), for a caller that itself holds the
// regular file `held_name` directly inside `from` through *held, a handle
// opened for reading and writing with no sharing or FILE_SHARE_READ (an
// exclusive hold). The move does not count that hold against itself.
// On POSIX the handle is the move's own hold of that file (every other file
// of the tree is opened and locked as MoveFileW does), and *held stays the
// same handle, on the file at its new place after a successful move, at
// its old one after a failed move: no other open can come between.
// On Windows, which refuses to rename a directory with a file open inside,
// the handle is closed before the move and *held is INVALID_HANDLE_VALUE
// afterwards, whatever the outcome: the caller opens the file again where
// it now is. A caller that holds nothing passes INVALID_HANDLE_VALUE, and
// the call is MoveFileW.
BOOL MoveDirectoryHoldingW(LPCWSTR from, LPCWSTR to, LPCWSTR held_name, HANDLE* held);

// Whether `file`, a handle from CreateFileW, still holds what its open
// took: TRUE, or FALSE with the last error set when the file system has
// failed the handle (a file server that restarted and forgot its locks
// fails each handle that held one, while new opens work). A caller that
// must not change a file it no longer holds asks before each change. On
// POSIX the answer costs one stat of the descriptor only where a lock can
// be lost while its descriptor stays open (a network or FUSE file system;
// which ones, and why, is told in the share-lock essay,
// platform/posix/share_lock.cpp, ON A DISTRIBUTED FILE SYSTEM); elsewhere
// it is TRUE for a valid handle with no call. On Windows it asks the
// handle for its times, the cheapest call that reaches a file's server.
BOOL ConfirmLockHeldW(HANDLE file);

// Whether anything (a file, a directory, a symbolic link itself) is at
// `path`: TRUE, or FALSE with the last error set. Nothing there is
// ERROR_FILE_NOT_FOUND whether the last name or a directory on the way to it
// is missing: FindFirstFileW of the exact name tells those two apart, which
// on POSIX costs a second call (a look at the parent), and a caller that asks
// only whether something is there has no use for it. Any other failure
// (access denied, a name too long) is reported as it is.
BOOL PathExistsW(LPCWSTR path);

// Whether an open of `path` that failed with ERROR_ACCESS_DENIED met a file
// whose deletion is pending: Windows answers so from the moment a file is
// deleted until its last handle closes, and that clears up by itself. On
// POSIX a deleted name is gone at once, so access denied is always for good.
BOOL IsDeletePendingW(LPCWSTR path);

// Puts the entries of `directory` on stable storage: a file created in it,
// removed from it or renamed into or out of it keeps that change through a
// power cut once this returns TRUE. FlushFileBuffers covers a file's bytes,
// never its name. On POSIX an fsync of the directory opened read-only.
// On Windows NTFS writes a change of a directory's entries to its journal
// before the change is made, and flushing a handle of the directory (opened
// for writing, with backup semantics) forces the journal to disk; a file
// system that refuses to flush a directory (FAT, a network share) leaves
// the change to its own schedule, and the call answers TRUE: there is no
// stronger request to make of it.
BOOL FlushDirectoryW(LPCWSTR directory);

// WritePrivateProfileStringW whose change is on stable storage when it
// returns TRUE. On POSIX, where every write builds the file anew under a
// temporary name and renames it over the old one, the new file is flushed
// before the rename and the directory after it, so a power cut leaves the
// old file or the new one, never an empty one. On Windows the file is
// rewritten in place and flushed afterwards: a cut during the write itself
// can leave it torn.
BOOL WritePrivateProfileStringFlushedW(LPCWSTR section, LPCWSTR key, LPCWSTR value,
                                       LPCWSTR file);
// The same for WritePrivateProfileStructW.
BOOL WritePrivateProfileStructFlushedW(LPCWSTR section, LPCWSTR key, LPVOID buffer, UINT size,
                                       LPCWSTR file);

}  // namespace odb::platform
