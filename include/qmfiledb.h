/*
 * qmfiledb - a filesystem object database.
 *
 * Typed objects with numbered byte-string attributes, kept in a directory
 * tree and shared by several processes that coordinate only through file
 * sharing modes.  This header is the whole public interface: valid C99 and
 * C++, nothing else is needed by a client.
 */
#ifndef QMFILEDB_H
#define QMFILEDB_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  include <wchar.h>
#elif defined(__cplusplus) || (defined(__has_include) && __has_include(<uchar.h>))
#  include <uchar.h>
#  define ODB_HAVE_UCHAR 1
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- linkage ------------------------------------------------------------ */

#if defined(_WIN32)
#  if defined(QMFILEDB_BUILDING)
#    define ODB_API __declspec(dllexport)
#  elif defined(QMFILEDB_STATIC)
#    define ODB_API
#  else
#    define ODB_API __declspec(dllimport)
#  endif
/* The exports use the Windows API calling convention; the DLL exports them
   under their plain names (no @n decoration). */
#  define ODB_CALL __stdcall
#else
#  if defined(QMFILEDB_BUILDING)
#    define ODB_API __attribute__((visibility("default")))
#  else
#    define ODB_API
#  endif
#  define ODB_CALL
#endif

/* ---- basic types ---------------------------------------------------------- */

typedef uint32_t odb_status;
typedef struct odb_database odb_database;   /* opaque; first member: uint16_t magic */
typedef struct odb_obj_ctx odb_obj_ctx;     /* opaque; first member: uint16_t magic */
typedef struct odb_enum_ctx odb_enum_ctx;   /* opaque; first member: uint16_t magic */

/* One UTF-16 code unit. */
#if defined(_WIN32)
typedef wchar_t odb_wchar;
#elif defined(__cplusplus) || defined(ODB_HAVE_UCHAR)
typedef char16_t odb_wchar;
#else
typedef uint16_t odb_wchar;
#endif

/* 16 bytes, the layout of the Win32 SYSTEMTIME, always UTC. */
typedef struct odb_systemtime {
    uint16_t year, month, day_of_week, day, hour, minute, second, milliseconds;
} odb_systemtime;

/* One criterion of an object walk's attribute filter. */
typedef struct odb_enum_criterion {
    uint32_t    attribute;
    uint32_t    operation;     /* kind in bits 0-23, ODB_MATCH_OR = bit 24 */
    uint32_t    value_length;
    const void *value;         /* native pointer width */
} odb_enum_criterion;

/* The filter of an object walk; copied whole when the walk is opened. */
typedef struct odb_enum_filter {
    odb_systemtime            changed_after;   /* offset 0 */
    const odb_enum_criterion *criteria;        /* offset 16 */
    uint32_t                  criteria_count;
    uint8_t                   reserved[256];   /* not read; callers pass zeros */
} odb_enum_filter;

/* One entry of an object's attribute change history (ODB_INFO_ATTRIBUTE_CHANGES). */
typedef struct odb_attribute_change_info {     /* 28 bytes */
    uint32_t       attribute;
    uint32_t       deleted;
    odb_systemtime changed;
    uint32_t       reserved;
} odb_attribute_change_info;

#if defined(__cplusplus)
static_assert(sizeof(odb_systemtime) == 16, "odb_systemtime is 16 bytes");
static_assert(sizeof(odb_attribute_change_info) == 28, "odb_attribute_change_info is 28 bytes");
#  if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(odb_enum_criterion) == 16, "criterion is 16 bytes on 32-bit builds");
static_assert(sizeof(odb_enum_filter) == 280, "filter is 280 bytes on 32-bit builds");
#  endif
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(odb_systemtime) == 16, "odb_systemtime is 16 bytes");
_Static_assert(sizeof(odb_attribute_change_info) == 28, "odb_attribute_change_info is 28 bytes");
#endif

/* ---- constants ------------------------------------------------------------ */

#define ODB_VERSION 958u

#define ODB_INIT_CREATE        0x1u
#define ODB_INIT_QUERY_VERSION 0x2u

#define ODB_MODE_READ    0x1u
#define ODB_MODE_WRITE   0x2u
#define ODB_MODE_REMOVED 0x20000u
#define ODB_MODE_WIPED   0x40000u

#define ODB_ENUM_LIVE          0x1u
#define ODB_ENUM_REMOVED       0x2u
#define ODB_ENUM_WIPED         0x4u
#define ODB_ENUM_CHANGED_AFTER 0x8u
#define ODB_ENUM_MATCH         0x10u

#define ODB_MATCH_PRESENT  0u
#define ODB_MATCH_BYTES    1u
#define ODB_MATCH_TEXT     2u
#define ODB_MATCH_LESS     4u
#define ODB_MATCH_GREATER  8u
#define ODB_MATCH_EQUAL    16u
#define ODB_MATCH_WILDCARD 32u
#define ODB_MATCH_ABSENT   0x80u
#define ODB_MATCH_OR       0x01000000u

#define ODB_REMOVE_WIPE   0x1u
#define ODB_REMOVE_DELETE 0x2u

#define ODB_INFO_TIMES             0u
#define ODB_INFO_SIZE              1u
#define ODB_INFO_PATH_ANSI         2u
#define ODB_INFO_ATTRIBUTE_CHANGES 3u
#define ODB_INFO_PATH              4u

#define ODB_NAME_ATTRIBUTE 0x08400001u
#define ODB_NAME_ANSI      2u
#define ODB_NAME_UTF16     3u

/* ---- status codes --------------------------------------------------------- */

#define ODB_OK                     0x00000000u /* success */
#define ODB_E_NO_MORE_ITEMS        0xDB000001u /* a walk has delivered its last item; a lookup found no such name */
#define ODB_E_NO_DATABASE          0xDB000002u /* the directory holds no valid marker file */
#define ODB_E_INVALID_CONTEXT      0xDB000003u /* invalid object context or walk handle, or record file not open */
#define ODB_E_NAME_NOT_INDEXED     0xDB000004u /* name not present in the name index (internal) */
#define ODB_E_UNSUPPORTED_VERSION  0xDB000007u /* record file header carries an unsupported version */
#define ODB_E_DATABASE_EXISTS      0xDB000009u /* creation asked for, but a valid marker file exists */
#define ODB_E_MARKER_WRITE         0xDB00000Au /* the marker file could not be created or written */
#define ODB_E_INVALID_DATABASE     0xDB00000Bu /* invalid database handle */
#define ODB_E_DATABASE_IN_USE      0xDB00000Cu /* destroy: another handle of the database is open */
#define ODB_E_OBJECT_PROBE         0xDB000013u /* the object directory could not be probed */
#define ODB_E_FILE_ACCESS          0xDB000014u /* a file could not be opened, positioned, sized or read; damaged index file */
#define ODB_E_FILE_CREATE          0xDB000015u /* a record file could not be created */
#define ODB_E_FILE_WRITE           0xDB000016u /* a write failed or was short */
#define ODB_E_BAD_HEADER           0xDB000017u /* record file header too short or wrong magic */
#define ODB_E_INVALID_PARAMETER    0xDB000018u /* invalid parameter, name index off, or name index failed in a lookup */
#define ODB_E_BUFFER_TOO_SMALL     0xDB000020u /* the caller's buffer is too small */
#define ODB_E_INDEX_LOCK_TIMEOUT   0xDB010000u /* a name index file could not be opened within its time-out */
#define ODB_E_LOCK_TIMEOUT         0xDB010001u /* a file could not be opened within the lock time-out */
#define ODB_E_OBJECT_LOCK          0xDB010002u /* the object lock could not be taken or was lost (a file server restarted), or the mode is neither read nor write */
#define ODB_E_NOT_WRITABLE         0xDB010003u /* the object context is not open for writing */
#define ODB_E_MAKE_DIRECTORY       0xDB010004u /* a directory could not be created */
#define ODB_E_OBJECT_EXISTS        0xDB010008u /* import: an object with that identifier exists */
#define ODB_E_NO_OBJECT            0xDB010010u /* no object directory in the form the mode names; no attribute file */
#define ODB_E_NO_FREE_ID           0xDB010012u /* no free object identifier in the range */
#define ODB_E_REMOVE_MOVE          0xDB010013u /* remove: the object directory could not be moved */
#define ODB_E_NOT_REMOVED          0xDB010014u /* restore: the object is not removed */
#define ODB_E_RESTORE_MOVE         0xDB010015u /* restore: the object directory could not be moved back */
#define ODB_E_NO_ATTRIBUTE         0xDB020000u /* the attribute does not exist */
#define ODB_E_ATTRIBUTE_WRITE      0xDB020001u /* an attribute file could not be opened or written */
#define ODB_E_ATTRIBUTE_READ       0xDB020002u /* an attribute value could not be read */
#define ODB_E_ATTRIBUTE_SEEK       0xDB020003u /* bad attribute offset (unpositionable, or non-zero in the single-file form) */
#define ODB_E_WIPE                 0xDB020004u /* a file to be wiped could not be opened exclusively */
#define ODB_E_OFFSET_BEYOND_END    0xDB020005u /* the offset lies beyond the end of the value */
#define ODB_E_ATTRIBUTE_IN_USE     0xDB020007u /* the attribute file is held open by someone else */
#define ODB_E_NO_MEMORY            0xE0000001u /* memory could not be allocated */

/* ---- the exports ---------------------------------------------------------- */

ODB_API odb_status ODB_CALL ODB_init(uint32_t flags, const char *path, uint32_t *version,
                                     odb_database **database, uint32_t reserved);
ODB_API odb_status ODB_CALL ODB_init_w(uint32_t flags, const odb_wchar *path, uint32_t *version,
                                       odb_database **database, uint32_t reserved);
ODB_API odb_status ODB_CALL ODB_close(odb_database *db);
ODB_API odb_status ODB_CALL ODB_destroy(odb_database *db);

ODB_API odb_status ODB_CALL ODB_obj_new(odb_database *db, uint32_t cls, uint32_t *id,
                                        odb_obj_ctx **ctx);
ODB_API odb_status ODB_CALL ODB_obj_import(odb_database *db, uint32_t cls, uint32_t id,
                                           odb_obj_ctx **ctx);
ODB_API odb_status ODB_CALL ODB_obj_create_ctx(odb_database *db, uint32_t cls, uint32_t id,
                                               uint32_t mode, odb_obj_ctx **ctx);
ODB_API odb_status ODB_CALL ODB_obj_change_mode(odb_obj_ctx *ctx, uint32_t mode);
ODB_API odb_status ODB_CALL ODB_obj_close_ctx(odb_obj_ctx *ctx);

ODB_API odb_status ODB_CALL ODB_obj_get_attribute(odb_obj_ctx *ctx, uint32_t attribute,
                                                  uint32_t offset, void *buffer, uint32_t *size);
ODB_API odb_status ODB_CALL ODB_obj_set_attribute(odb_obj_ctx *ctx, uint32_t attribute,
                                                  uint32_t offset, const void *data, uint32_t size);
ODB_API odb_status ODB_CALL ODB_obj_attribute_enum(odb_obj_ctx *ctx, uint32_t *attribute,
                                                   uint32_t *length);

ODB_API odb_status ODB_CALL ODB_obj_enum_init(odb_database *db, uint32_t cls, uint32_t flags,
                                              const odb_enum_filter *filter,
                                              odb_enum_ctx **handle);
ODB_API odb_status ODB_CALL ODB_obj_enum_ids(odb_enum_ctx *handle, uint32_t *id);
ODB_API odb_status ODB_CALL ODB_obj_enum_close(odb_enum_ctx *handle);
ODB_API odb_status ODB_CALL ODB_obj_enum(odb_database *db, odb_enum_ctx **handle, uint32_t cls,
                                         uint32_t *id);

ODB_API odb_status ODB_CALL ODB_obj_lookup_ex(odb_database *db, uint32_t cls, uint32_t attribute,
                                              uint32_t name_type, const void *name,
                                              uint32_t name_size, uint32_t *id);
ODB_API odb_status ODB_CALL ODB_obj_count(odb_database *db, uint32_t cls, uint32_t flags,
                                          uint32_t *count);

ODB_API odb_status ODB_CALL ODB_obj_remove(odb_obj_ctx *ctx);
ODB_API odb_status ODB_CALL ODB_obj_remove_ex(odb_obj_ctx *ctx, uint32_t options);
ODB_API odb_status ODB_CALL ODB_obj_restore(odb_obj_ctx *ctx);

ODB_API odb_status ODB_CALL ODB_obj_get_info(odb_obj_ctx *ctx, uint32_t info_class,
                                             uint32_t attribute, void *buffer, uint32_t *length);

ODB_API odb_status ODB_CALL ODB_get_free_ids(odb_database *db, uint32_t *first, uint32_t *last);
ODB_API odb_status ODB_CALL ODB_steal_ids(odb_database *db, uint32_t count, uint32_t *first,
                                          uint32_t *last);
ODB_API odb_status ODB_CALL ODB_assign_ids(odb_database *db, uint32_t first, uint32_t last);

/* ---- helpers for tools (not exports of the library) ------------------------ */

/* The symbolic name of a status ("ODB_E_LOCK_TIMEOUT"), or "ODB_E_UNKNOWN". */
static inline const char *odb_status_name(odb_status status)
{
    switch (status) {
    case ODB_OK: return "ODB_OK";
    case ODB_E_NO_MORE_ITEMS: return "ODB_E_NO_MORE_ITEMS";
    case ODB_E_NO_DATABASE: return "ODB_E_NO_DATABASE";
    case ODB_E_INVALID_CONTEXT: return "ODB_E_INVALID_CONTEXT";
    case ODB_E_NAME_NOT_INDEXED: return "ODB_E_NAME_NOT_INDEXED";
    case ODB_E_UNSUPPORTED_VERSION: return "ODB_E_UNSUPPORTED_VERSION";
    case ODB_E_DATABASE_EXISTS: return "ODB_E_DATABASE_EXISTS";
    case ODB_E_MARKER_WRITE: return "ODB_E_MARKER_WRITE";
    case ODB_E_INVALID_DATABASE: return "ODB_E_INVALID_DATABASE";
    case ODB_E_DATABASE_IN_USE: return "ODB_E_DATABASE_IN_USE";
    case ODB_E_OBJECT_PROBE: return "ODB_E_OBJECT_PROBE";
    case ODB_E_FILE_ACCESS: return "ODB_E_FILE_ACCESS";
    case ODB_E_FILE_CREATE: return "ODB_E_FILE_CREATE";
    case ODB_E_FILE_WRITE: return "ODB_E_FILE_WRITE";
    case ODB_E_BAD_HEADER: return "ODB_E_BAD_HEADER";
    case ODB_E_INVALID_PARAMETER: return "ODB_E_INVALID_PARAMETER";
    case ODB_E_BUFFER_TOO_SMALL: return "ODB_E_BUFFER_TOO_SMALL";
    case ODB_E_INDEX_LOCK_TIMEOUT: return "ODB_E_INDEX_LOCK_TIMEOUT";
    case ODB_E_LOCK_TIMEOUT: return "ODB_E_LOCK_TIMEOUT";
    case ODB_E_OBJECT_LOCK: return "ODB_E_OBJECT_LOCK";
    case ODB_E_NOT_WRITABLE: return "ODB_E_NOT_WRITABLE";
    case ODB_E_MAKE_DIRECTORY: return "ODB_E_MAKE_DIRECTORY";
    case ODB_E_OBJECT_EXISTS: return "ODB_E_OBJECT_EXISTS";
    case ODB_E_NO_OBJECT: return "ODB_E_NO_OBJECT";
    case ODB_E_NO_FREE_ID: return "ODB_E_NO_FREE_ID";
    case ODB_E_REMOVE_MOVE: return "ODB_E_REMOVE_MOVE";
    case ODB_E_NOT_REMOVED: return "ODB_E_NOT_REMOVED";
    case ODB_E_RESTORE_MOVE: return "ODB_E_RESTORE_MOVE";
    case ODB_E_NO_ATTRIBUTE: return "ODB_E_NO_ATTRIBUTE";
    case ODB_E_ATTRIBUTE_WRITE: return "ODB_E_ATTRIBUTE_WRITE";
    case ODB_E_ATTRIBUTE_READ: return "ODB_E_ATTRIBUTE_READ";
    case ODB_E_ATTRIBUTE_SEEK: return "ODB_E_ATTRIBUTE_SEEK";
    case ODB_E_WIPE: return "ODB_E_WIPE";
    case ODB_E_OFFSET_BEYOND_END: return "ODB_E_OFFSET_BEYOND_END";
    case ODB_E_ATTRIBUTE_IN_USE: return "ODB_E_ATTRIBUTE_IN_USE";
    case ODB_E_NO_MEMORY: return "ODB_E_NO_MEMORY";
    default: return "ODB_E_UNKNOWN";
    }
}

#ifdef __cplusplus
}
#endif

#endif /* QMFILEDB_H */
