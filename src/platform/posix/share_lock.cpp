// Share modes on POSIX.
//
// THE PROBLEM
//
// On Windows the share mode of CreateFileW is the system's lock: while one
// handle has a file open, an open whose access or share mode conflicts with
// it fails at once with ERROR_SHARING_VIOLATION, a file that is open cannot
// be deleted or renamed, and a directory cannot be renamed while any file
// inside it is open. The engine relies on all of that, between processes and
// between two handles of one process. POSIX open() knows none of it.
//
// THE FORMS
//
// The engine opens files in three forms only:
//
//     (GENERIC_READ,               FILE_SHARE_READ)   shared
//     (GENERIC_READ|GENERIC_WRITE, FILE_SHARE_READ)   exclusive
//     (GENERIC_READ|GENERIC_WRITE, 0)                 exclusive
//
// The second is exclusive too: a handle with write access that lets others
// only read admits no other open of these forms (a reader's share mode does
// not admit the writer, and the writer's share mode does not admit another
// writer). So the three forms are exactly a readers-writer lock. Any other
// combination is mapped the same way: shared when it asks no GENERIC_WRITE and
// shares reading, exclusive otherwise.
//
// THE LOCK
//
// Each open holds a lock on one reserved byte of the file, at
// share_lock_offset (far past any real data, so byte-range locks on the
// contents, if anyone ever takes them, never meet it): F_RDLCK for a shared
// open, F_WRLCK for an exclusive one, taken with F_OFD_SETLK, which never
// waits. A refusal (EAGAIN) is ERROR_SHARING_VIOLATION.
//
// Why open-file-description (OFD) locks:
//   * Classic fcntl (F_SETLK) locks belong to the process. Two handles of one
//     process would never conflict, and closing ANY descriptor of the file
//     would silently drop every lock the process holds on it.
//   * OFD locks belong to the open file description, which is exactly a
//     HANDLE: two opens in one process conflict like two processes do, and
//     the lock ends when the handle's descriptor is closed, or when the
//     process dies, never otherwise.
//   * flock() also belongs to the description, but on NFS it is emulated
//     with process-owned byte-range locks and loses the in-process conflict;
//     OFD locks keep their owner over NFS.
// Every descriptor is opened O_CLOEXEC, so a program started by exec never
// inherits a description and with it a lock; a child made by fork() alone
// closes every descriptor of the layer at once (see handles.cpp).
// An F_WRLCK needs a descriptor open for writing; an exclusive open that
// asked no GENERIC_WRITE therefore opens O_RDWR underneath, and WriteFile
// on it still fails as on Windows (the handle remembers what was asked).
//
// OPENING
//
// open() and taking the lock are two steps, and between them the name may
// change: a DeleteFileW or MoveFileW may remove or rename the file we have
// just opened. So once the lock is held (granted or refused), the opener
// asks the descriptor for its status (fstat) and checks that the path still
// names the inode it opened (stat(path) against it). If not, the open drops
// its descriptor and starts over from the path, and then answers what
// Windows would answer now: not found for OPEN_EXISTING, a new file for the
// creating dispositions. A refusal by a file that is no longer at the path
// is not a conflict with the path, so the open starts over then as well.
//
// So an open costs, beyond open() itself, three calls: the lock, fstat and
// the stat of the path. The fstat is shared by everything the open needs
// to know of the inode: that it is a regular file, its size (whether to
// truncate, and the size the handle keeps from then on, see file_io.cpp),
// its identity for the re-check, and its link count: taken under the lock,
// it shows an unlink made before the lock was granted as st_nlink 0 at no
// extra cost. In general the stat cannot go, even where the race looks
// impossible:
//   * The window to close is between open() and the lock, and whatever a
//     deleter or renamer did in it, it did holding its own lock and let go
//     before ours was granted: a granted lock says nothing about that
//     window. What an unlink or a rename leaves behind on the inode is all
//     an opener could see without looking the path up, and that is too
//     little: an unlink drops st_nlink to 0, but a rename (of the file, or
//     of any directory above it, which does not touch the file's inode at
//     all) changes nothing the fstat shows. Only a lookup of the path tells.
//   * A file this open has just created with O_EXCL is no exception: from
//     the moment it exists another opener can open it, take its lock
//     before us, and delete or rename it, all before our lock is granted.
//     Windows creates and holds the file in one step, so it would refuse
//     that delete; here the re-check finds the path empty and the open
//     starts over, which at least never leaves us holding a file that has
//     no name (O_TMPFILE with linkat would create it held, but needs
//     /proc or a capability and is no cheaper than the re-check).
//   * No identity in a single call: the fstat knows the descriptor, the
//     stat knows the path, and Linux has no call that compares the two
//     (readlink of /proc/self/fd would, but it sees only this kernel's
//     dentry cache, blind to a rename made by another client of a
//     distributed file system, and it needs the path in canonical form).
//
// WHERE THE PATH IS HELD
//
// The stat goes only where the caller rules out every rename for the length
// of the open, and says so with FILE_FLAG_PATH_HELD (platform/extensions.h);
// an unlink is still seen by the link count. The same hold keeps the file's
// directory in place (the held file is in it, or the held lock file is),
// so an open that finds no file there answers ERROR_FILE_NOT_FOUND without
// looking at the directory. The engine says so for two kinds of open. The
// first is a name index bucket file (names.000 ...), always opened while
// its class's names.dat is held: that hold refuses a rename of the class
// directory or any above it (RENAMING A DIRECTORY), and the engine never
// renames a bucket file, only deletes one (a reset, under names.dat, or a
// failed rebuild, which the link count shows). The second is an open of a
// file inside an object directory (an attribute's .DAT file, ATTRIBS.FDB,
// ATTRIBS.NEW) made by a context while it holds that object's lock file
// OBJLOCK.FDB (shared for reading, exclusive for writing), never for
// OBJLOCK.FDB itself, whose open is what takes the hold and keeps the
// re-check. While the lock file is held:
//   * No user of this layer can rename the object directory or any
//     directory above it: a directory rename must hold every file below it
//     exclusively (RENAMING A DIRECTORY), OBJLOCK.FDB among them, and is
//     refused. Nor can one remove any of those directories, which must be
//     empty first, and OBJLOCK.FDB cannot be deleted while it is held.
//   * The engine renames files inside an object directory only under the
//     object's write lock, which the holder excludes: ATTRIBS.NEW becomes
//     ATTRIBS.FDB when a conversion publishes it (or, for an object not yet
//     handed out, when its creation does, a rename into a name that did not
//     exist, which no open of that name can have met), and an attribute
//     change rewrites ATTRIBS.STA (a profile file, not opened here). It
//     deletes files there under that lock too: a removal, a wipe or a
//     restore keeps the object's write lock through its move and through
//     the wipe of every file but the lock file. Only an object never handed
//     out (a failed creation) and a database being created over an old one
//     or destroyed lose files with no object lock; those are unlinks, which
//     the link count shows (on NFS an unlink of a file another process of
//     the same client has open is a rename to a hidden name instead, which
//     keeps the count: an open racing such a deletion on that client can
//     get the deleted file rather than not found).
//   * The odb tool's load renames its own staging database into place with
//     no lock, after closing every object of it; an object still open there
//     through another program would be moved whole, its file with it, and
//     nothing is made at the old path: the file the open holds is the one
//     the moved path names.
// A context that lost its lock (a failed change of mode) opens without the
// flag. A lock a file server has forgotten (a restart, see below) holds
// nothing, so neither does the promise; the engine checks a write lock
// before each change, and a reader so caught can read a value that a
// writer elsewhere, already free to change it, is changing.
//
// Nothing is changed before the lock is held: CREATE_ALWAYS and
// TRUNCATE_EXISTING truncate only after it, so a refused open leaves the
// contents intact. A creating open finds out whether it creates the file
// (open without O_CREAT, then O_CREAT|O_EXCL, repeated if another creator
// wins) and so reports ERROR_ALREADY_EXISTS exactly when Windows does. A file
// it created stays in place if its lock is then refused: another open
// reached the new file first and holds it, so the file must exist.
//
// DELETING AND RENAMING A FILE
//
// DeleteFileW and MoveFileW of a file open it read-write and take F_WRLCK,
// re-checking the inode as an open does; refused means some handle has the
// file open (ERROR_SHARING_VIOLATION). Holding the lock, they unlink or
// rename, and then close. An open that raced them either took its lock first
// (and the delete or rename is refused), or finds afterwards that its path no
// longer names its inode and starts over. Renames use RENAME_NOREPLACE, so a
// rename never replaces a file another handle holds.
//
// RENAMING A DIRECTORY
//
// Windows refuses to rename a directory while a file anywhere below it is
// open. MoveFileW of a directory walks the tree and takes F_WRLCK on every
// regular file in it, without waiting, holding all of them until the rename
// is done. If any is refused, the rename fails with ERROR_ACCESS_DENIED, the
// code Windows gives for this case. While the locks are held no file in the
// tree can be opened; an open that had opened a file but not yet locked it
// finds after the rename that its path is gone and starts over. The walk
// holds one descriptor per file for the length of the rename, which suits the
// engine's small object directories; a tree larger than the descriptor limit
// cannot be renamed (ERROR_TOO_MANY_OPEN_FILES). A descriptor per file is
// the price of exactness: an OFD lock is taken and tested only through a
// descriptor of the file; testing without holding (F_OFD_GETLK, or reading
// /proc/locks, which would also see this machine's locks only) would leave
// a gap between the test and the rename in which an open can complete; and
// renaming first and testing after would show the new name to others even
// when the rename is then undone. What the walk saves is everything else:
// it reads the entries with getdents64 on the directory's descriptor, and
// takes no status of an entry whose type the directory gives. And a caller
// that already holds one file of the tree exclusively need not let it go:
// MoveDirectoryHoldingW (platform/extensions.h) takes the caller's handle
// as the walk's hold of that file, skips its name, and leaves the handle
// open, on the file at its new place. That handle needs no re-check, the
// one case where the lock proves it: the file was held exclusively from
// before the rename until after it, and every delete or rename of a file
// needs that lock, so the file is where the directory went. The engine
// keeps an object's lock so across a removal, a wipe or a restore, without
// letting it go or opening it again. A file the process may not
// open for writing is held with F_RDLCK, and F_OFD_GETLK tells whether any
// handle has it open; that leaves a shared open racing the rename of such a
// file unexcluded. Files created inside the tree after the walk has passed
// their directory are not seen either.
//
// ON A DISTRIBUTED FILE SYSTEM
//
// Clients of a distributed file system (GlusterFS through FUSE, NFSv4) carry
// OFD locks to the server, so the locks above hold between machines as they
// do between processes. Four things differ:
//   * A lock is released a few milliseconds after the holder's close() or
//     death, not at once: the release travels to the server. Nothing here
//     assumes it is instant; the engine's retrying opens wait it out.
//   * The FUSE client refuses RENAME_NOREPLACE (EINVAL): the no-replace check
//     would be made by one client's kernel, blind to the others. A file is
//     then renamed with link() and unlink(), and link() fails if the name
//     exists, decided on the server. A directory cannot be linked. Claiming
//     its new name with mkdir() first would show every client an empty
//     directory there until the rename: an opener of the object in that
//     instant finds the directory, creates its lock file in it, and the
//     rename then fails (ENOTEMPTY) and leaves that claim at the name for
//     good (a restore racing a reader on another client did so). So the new
//     name is looked up (lstat, answered by the server) and the directory
//     moved with rename(), which fails over a directory with anything in it
//     and replaces an empty one. What that gives up is an empty directory
//     made at the new name in the instant between: the engine moves a
//     directory only to move an object, holding its lock, so no second mover
//     contends for the name, and creating or importing an object first looks
//     for its directory in every form; only one of those racing the move,
//     for the same identifier, could lose its new directory.
//   * flock() and fcntl() locks on one file conflict with each other there
//     (locally they are independent), so the layer takes only OFD locks.
//   * A server that restarts forgets every lock. GlusterFS with
//     client.strict-locks then fails each descriptor that held one (EBADFD,
//     on every call) while new opens work; the engine asks its object
//     lock's handle before each change (ConfirmLockHeldW: one statx of the
//     descriptor, which the client takes to the server). That question is
//     asked only where a lock can be lost while its descriptor stays open,
//     decided once per handle (lock_keeper_of):
//     - A file system on a block device (the open's fstat shows a major
//       device number, at no cost) keeps its locks in this kernel, and the
//       kernel drops an OFD lock only with its description. That holds for
//       a FUSE file system on a block device too (fuseblk: ntfs-3g,
//       exfat): its daemon is its only server, and a daemon that stops
//       ends the mount, every call on its descriptors failing for good;
//       and for a cluster file system on a shared disk (GFS2, OCFS2), whose
//       lock manager fences a node that loses the cluster before giving
//       its locks to others, so no living holder has lost one.
//     - Any other has an anonymous device number (reused by later mounts,
//       so never a key for anything), and fstatfs names its type: tmpfs,
//       ramfs, btrfs, ZFS, bcachefs (which give their files anonymous
//       numbers, one disk or many) and overlayfs (whose files' locks are
//       kept by the overlay itself, in this kernel) keep their locks here.
//     - Everything else keeps the statx on every confirmation: NFS, CIFS
//       and SMB, Ceph, AFS, 9p and FUSE (GlusterFS, or any daemon that may
//       forward locks to a server) can forget a lock, and a type not on the
//       list is treated as if it could. An fstatfs that fails decides the
//       same way, and the statx then reports the failure.
//
// LIMITS
//
// The locks are advisory: programs that do not use this layer are not held
// back. Among users of the layer, on local file systems, NFS and GlusterFS
// with its client caches off, they are exact.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/posix/internal.h"

namespace odb::posix {
namespace {

constexpr off_t share_lock_offset = static_cast<off_t>(0x7FFFFFFF00000000LL);

struct flock share_lock_request(short type) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = share_lock_offset;
    request.l_len = 1;
    return request;
}

// Locks a regular file of the tree being renamed; false when it is open.
// Adds the held descriptor to `held`. Returns a Win32 error or 0.
DWORD hold_tree_file(int dir_fd, const char* name, std::vector<int>& held, bool& writable) {
    int fd = ::openat(dir_fd, name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    writable = fd >= 0;
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY))
        fd = ::openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return 0;  // deleted while we walked: nothing to hold
        return error_from_errno(errno);
    }
    held.push_back(fd);
    int error =
        take_share_lock(fd, writable ? share_lock_kind::exclusive : share_lock_kind::shared);
    if (error == EAGAIN) return ERROR_ACCESS_DENIED;
    if (error != 0) return error_from_errno(error);
    if (!writable) {
        struct flock probe = share_lock_request(F_WRLCK);
        if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) return error_from_errno(errno);
        if (probe.l_type != F_UNLCK) return ERROR_ACCESS_DENIED;
    }
    return 0;
}

// Holds every regular file below the directory open at dir_fd, and closes
// dir_fd. The entries are read with getdents64 on the descriptor itself:
// a DIR stream would first ask for the descriptor's status and flags, two
// calls per directory that tell nothing new here.
DWORD hold_tree_at(int dir_fd, std::vector<int>& held, const char* skip) {
    alignas(struct dirent64) char buffer[8192];
    DWORD result = 0;
    for (;;) {
        const ssize_t got = ::getdents64(dir_fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) result = error_from_errno(errno);
        if (got <= 0) break;
        for (ssize_t at = 0; at < got && result == 0;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st;
                if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
            }
            if (type == DT_DIR) {
                int child = ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child < 0) {
                    if (errno != ENOENT) result = error_from_errno(errno);
                } else {
                    result = hold_tree_at(child, held, nullptr);
                }
            } else if (type == DT_REG && (skip == nullptr || std::strcmp(name, skip) != 0)) {
                bool writable = false;
                result = hold_tree_file(dir_fd, name, held, writable);
            }
        }
        if (result != 0) break;
    }
    ::close(dir_fd);
    return result;
}

}  // namespace

lock_keeper lock_keeper_of(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return lock_keeper::server;
    switch (static_cast<uint32_t>(fs.f_type)) {
    case 0x01021994u:  // tmpfs
    case 0x858458F6u:  // ramfs
    case 0x9123683Eu:  // btrfs
    case 0x2FC12FC1u:  // ZFS
    case 0xCA451A4Eu:  // bcachefs
    case 0x794C7630u:  // overlayfs
        return lock_keeper::kernel;
    default:
        return lock_keeper::server;
    }
}

int take_share_lock(int fd, share_lock_kind kind) {
    struct flock request = share_lock_request(kind == share_lock_kind::shared ? F_RDLCK : F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &request) == 0) return 0;
    return (errno == EACCES || errno == EAGAIN) ? EAGAIN : errno;
}

bool same_file(const std::string& path, const struct stat& opened) {
    struct stat now;
    return ::stat(path.c_str(), &now) == 0 && now.st_dev == opened.st_dev &&
           now.st_ino == opened.st_ino;
}

int open_exclusively(const std::string& path) {
    for (int attempt = 0; attempt < share_open_attempts; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) {
            fail_path(errno, path);
            return -1;
        }
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            fail(error_from_errno(errno));
            ::close(fd);
            return -1;
        }
        int error = take_share_lock(fd, share_lock_kind::exclusive);
        if (error != 0 && error != EAGAIN) {
            fail(error_from_errno(error));
            ::close(fd);
            return -1;
        }
        if (!same_file(path, st)) {  // deleted or renamed since we opened it
            ::close(fd);
            continue;
        }
        if (error == EAGAIN) {
            fail(ERROR_SHARING_VIOLATION);
            ::close(fd);
            return -1;
        }
        return fd;
    }
    fail(ERROR_SHARING_VIOLATION);
    return -1;
}

DWORD hold_tree(const std::string& directory, std::vector<int>& held, const char* skip) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return path_error_from_errno(errno, directory);
    return hold_tree_at(fd, held, skip);
}

}  // namespace odb::posix
