/* libqev: reading QEV archives from any program.
 *
 * An archive opened with qev_open or qev_open_source is immutable: every function that
 * takes a `const qev_archive *` may be called from any number of threads at once; the
 * caches and decompression contexts each call needs live inside the library.
 *
 * Every function returns a qev_status. Where the caller passes a `qev_error **` (it may be
 * NULL), a failure also gives an error object holding the code and one line of text, the
 * same words the programs print; free it with qev_error_free. Nothing is printed, no
 * global or thread-local state is kept, and no exception or abort crosses this boundary:
 * running out of memory is QEV_ERROR_NO_MEMORY, and a hostile archive is an error, never a
 * crash.
 *
 * The ABI: an exported function's signature never changes. New behaviour comes as a new
 * function, or as a new field at the end of a struct whose first member is its size (the
 * caller sets `struct_size = sizeof`, so the library knows which fields it was given).
 * The SONAME (libqev.so.1) changes only if a function is removed or a promise broken.
 */
#ifndef QEV_QEV_H
#define QEV_QEV_H

#include <stddef.h>
#include <stdint.h>

#include "qev/qev_version.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(QEV_STATIC)
#ifdef QEV_BUILDING
#define QEV_API __declspec(dllexport)
#else
#define QEV_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define QEV_API __attribute__((visibility("default")))
#else
#define QEV_API
#endif

typedef enum qev_status {
    QEV_OK = 0,
    QEV_ERROR_INVALID_ARGUMENT = 1, /* a null pointer, a struct_size too small, an entry out of range */
    QEV_ERROR_IO = 2,               /* the file cannot be opened or read */
    QEV_ERROR_NOT_AN_ARCHIVE = 3,   /* not a valid QEV archive */
    QEV_ERROR_MISMATCH = 4,         /* its tables or footer do not match its integrity record */
    QEV_ERROR_UNPROVEN = 5,         /* its integrity record is damaged and nothing else proves its blocks */
    QEV_ERROR_NOT_FOUND = 6,        /* a path that names nothing */
    QEV_ERROR_NOT_A_FILE = 7,
    QEV_ERROR_NOT_A_DIRECTORY = 8,
    QEV_ERROR_CORRUPT = 9,  /* a block fails its hash or does not decompress: never wrong bytes */
    QEV_ERROR_CHANGED = 10, /* the archive changed on disk since it was opened */
    QEV_ERROR_NO_MEMORY = 11,
    QEV_ERROR_STOPPED = 12 /* a callback asked to stop */
} qev_status;

typedef struct qev_error qev_error;
QEV_API qev_status qev_error_code(const qev_error* error);
/* The operating system's error behind a QEV_ERROR_IO, where one is known (errno, such as
   ENOENT, EACCES or EISDIR; on Windows a Windows error code); otherwise 0. */
QEV_API uint32_t qev_error_system_code(const qev_error* error);
/* One line, without "Error: "; valid until the error is freed. */
QEV_API const char* qev_error_message(const qev_error* error);
QEV_API void qev_error_free(qev_error* error);

/* The library's version, "MAJOR.MINOR.PATCH", the same as every program's --version. */
QEV_API const char* qev_version(void);

typedef struct qev_archive qev_archive;

/* Entries are numbered as the archive stores them; the root is QEV_ROOT. */
typedef uint32_t qev_entry;
#define QEV_ROOT ((qev_entry)0)
#define QEV_NO_ENTRY ((qev_entry)0xFFFFFFFFu)

typedef enum qev_verify_level {
    QEV_VERIFY_BLOCKS = 0,    /* tables, footer and every block read (the default) */
    QEV_VERIFY_STRUCTURE = 1, /* tables and footer only */
    QEV_VERIFY_NONE = 2
} qev_verify_level;

typedef struct qev_open_options {
    size_t struct_size; /* sizeof(qev_open_options) */
    int verify;         /* a qev_verify_level; where the archive has an integrity record (or,
                           that being damaged, a recovery record) it proves what is read */
    size_t cache_size;  /* bytes of decompressed blocks each reading thread keeps (64 KiB
                           each, at least one); 0 for the default, 4 MiB */
} qev_open_options;

/* Fills `options` with the defaults. */
QEV_API void qev_open_options_init(qev_open_options* options);

/* A positional source of an archive's bytes: memory, a part of another file, a stream. */
typedef struct qev_source {
    size_t struct_size; /* sizeof(qev_source) */
    uint64_t size;      /* the archive's size in bytes */
    void* user_data;
    /* Reads exactly `length` bytes at `offset` into `buffer`; returns 0 when every byte
       arrived. It may be called from several threads at once. A failure fails the call that
       needed the bytes: QEV_ERROR_NOT_AN_ARCHIVE while opening, QEV_ERROR_CORRUPT for a read
       (the library cannot tell a source's failure from missing bytes). */
    int (*read_at)(void* user_data, uint64_t offset, void* buffer, size_t length);
    /* Called once, when the archive is closed or fails to open; not when the call is
       refused for its arguments (QEV_ERROR_INVALID_ARGUMENT). May be NULL. */
    void (*close)(void* user_data);
} qev_source;

/* `options` may be NULL for the defaults. On success *archive holds the archive. */
QEV_API qev_status qev_open(const char* path, const qev_open_options* options, qev_archive** archive,
                            qev_error** error);
QEV_API qev_status qev_open_source(const qev_source* source, const qev_open_options* options, qev_archive** archive,
                                   qev_error** error);
/* Closes the archive; every name it handed out becomes invalid. NULL is allowed. */
QEV_API void qev_close(qev_archive* archive);

typedef enum qev_kind { QEV_KIND_FILE = 1, QEV_KIND_DIRECTORY = 2 } qev_kind;

/* A path of names separated by '/' or '\', each matching the first child whose name equals
   it with ASCII letters in either case, as qev-tool finds it; "" names the root.
   `path_length` bytes are read (no terminator needed). Beside twins that differ only in
   letter case, a name can find a twin of another spelling: to open what a listing showed,
   use qev_resolve. */
QEV_API qev_status qev_lookup(const qev_archive* archive, const char* path, size_t path_length, qev_entry* entry,
                              qev_error** error);

/* How qev_resolve meets the names a directory stores. */
typedef enum qev_match {
    QEV_MATCH_EXACT_FIRST = 0, /* the child of exactly that spelling, else the first equal to it
                                  with ASCII letters in either case: every path that a listing
                                  or a walk shows opens the entry it showed, even beside twins
                                  that differ only in letter case */
    QEV_MATCH_ANY_CASE = 1,    /* the first child equal to it ignoring ASCII letter case, as
                                  qev_lookup and qev-tool find it */
    QEV_MATCH_EXACT = 2        /* only the child of exactly that spelling */
} qev_match;
typedef struct qev_resolve_options {
    size_t struct_size; /* sizeof(qev_resolve_options) */
    int match;          /* a qev_match */
} qev_resolve_options;
/* Fills `options` with the defaults: QEV_MATCH_EXACT_FIRST. */
QEV_API void qev_resolve_options_init(qev_resolve_options* options);
/* A path as qev_lookup takes it, each name meeting a child as `options` says (NULL for the
   defaults). */
QEV_API qev_status qev_resolve(const qev_archive* archive, const char* path, size_t path_length,
                               const qev_resolve_options* options, qev_entry* entry, qev_error** error);

typedef struct qev_stat {
    size_t struct_size; /* sizeof(qev_stat) */
    int kind;           /* a qev_kind */
    uint64_t size;      /* a file's size; 0 for a directory */
} qev_stat;
QEV_API qev_status qev_stat_entry(const qev_archive* archive, qev_entry entry, qev_stat* stat, qev_error** error);

/* A directory's children, by index from 0 to count - 1, in stored order. */
QEV_API qev_status qev_dir_count(const qev_archive* archive, qev_entry directory, uint32_t* count, qev_error** error);
typedef struct qev_dirent {
    size_t struct_size; /* sizeof(qev_dirent) */
    qev_entry entry;
    const char* name; /* not terminated; valid while the archive is open */
    size_t name_length;
    int kind; /* a qev_kind */
    uint64_t size;
} qev_dirent;
QEV_API qev_status qev_dir_entry(const qev_archive* archive, qev_entry directory, uint32_t index, qev_dirent* dirent,
                                 qev_error** error);

/* Every entry below `start` (a directory; QEV_ROOT for the whole tree), breadth first,
   each directory entered once however the tree is linked; entries that no path can
   reach (unusable or repeated names, a directory met again) are left out. The callback
   returns 0 to go on; anything else stops the walk with QEV_ERROR_STOPPED. */
typedef struct qev_walk_entry {
    size_t struct_size; /* sizeof(qev_walk_entry) */
    qev_entry entry;
    qev_entry parent;
    const char* name; /* not terminated; valid while the archive is open */
    size_t name_length;
    const char* path; /* from `start`, names joined by '/'; not terminated; valid only
                         during the callback */
    size_t path_length;
    uint32_t depth; /* 1 for the children of `start` */
    int kind;       /* a qev_kind */
    uint64_t size;
} qev_walk_entry;
typedef int (*qev_walk_callback)(void* user_data, const qev_walk_entry* entry);
QEV_API qev_status qev_walk(const qev_archive* archive, qev_entry start, qev_walk_callback callback, void* user_data,
                            qev_error** error);

/* The title folders at the root (named like 0005000010101D00_v64), in stored order, as
   qev-tool list shows them. */
typedef struct qev_title {
    size_t struct_size; /* sizeof(qev_title) */
    qev_entry entry;
    const char* folder_name; /* not terminated; valid while the archive is open */
    size_t folder_name_length;
    const char* title_id; /* the 16 hexadecimal digits as stored: folder_name's first 16 bytes */
    int32_t version;
} qev_title;
QEV_API qev_status qev_title_count(const qev_archive* archive, uint32_t* count, qev_error** error);
QEV_API qev_status qev_title_at(const qev_archive* archive, uint32_t index, qev_title* title, qev_error** error);

/* What the archive holds. One walk of the tree each call. */
typedef struct qev_info {
    size_t struct_size;    /* sizeof(qev_info) */
    uint32_t root_entries; /* the root's children: qev-tool info's "totalFiles" */
    uint64_t total_size;   /* the sizes of every file the walk reaches, summed (qev-tool info's
                              "totalSize" is always 0, which its output keeps) */
    uint64_t files;        /* files and directories the walk reaches, the root not counted */
    uint64_t directories;
    uint32_t titles;
    uint32_t tree_entries; /* entries the tree stores, reachable or not */
    uint64_t archive_size;
} qev_info;
QEV_API qev_status qev_get_info(const qev_archive* archive, qev_info* info, qev_error** error);

/* Reads up to `length` bytes of a file from `offset`; *done gets how many (fewer only at
   the end of the file). A block that fails its hash is QEV_ERROR_CORRUPT. */
QEV_API qev_status qev_read(const qev_archive* archive, qev_entry file, uint64_t offset, void* buffer, size_t length,
                            size_t* done, qev_error** error);

/* The check qev-check runs: the tree, the tables and the footer against the integrity
   record, every block read, decompressed and proven. To check an archive that may be
   damaged, open it with QEV_VERIFY_NONE: opening with proof refuses one whose tables do
   not match its record. The status is QEV_OK when the check ran, whatever it found;
   `result` counts the findings. */
typedef enum qev_severity { QEV_FINDING_ERROR = 1, QEV_FINDING_WARNING = 2 } qev_severity;
#define QEV_NO_BLOCK UINT64_MAX
typedef struct qev_finding {
    size_t struct_size; /* sizeof(qev_finding) */
    int severity;       /* a qev_severity: errors make files unreadable or unreachable */
    const char* kind;   /* a stable word, as qev-check --json gives it: "damaged-block",
                           "block-mismatch", "table-mismatch", "unusable-name", ... */
    qev_entry entry;    /* the entry it is about, or QEV_NO_ENTRY */
    uint64_t block;     /* the block it is about, or QEV_NO_BLOCK */
    uint64_t offset;    /* the archive's bytes it is about; size 0 when not known */
    uint64_t size;
    const char* message; /* the line qev-check prints, without "Error: " */
} qev_finding;
typedef struct qev_verify_options {
    size_t struct_size; /* sizeof(qev_verify_options) */
    unsigned threads;   /* 0: one per core */
    void* user_data;
    /* Each finding, on the calling thread, after the check; at most 100 of a kind (a last
       one may count the rest). Strings are valid during the call only. May be NULL. */
    void (*finding)(void* user_data, const qev_finding* finding);
    /* About ten times a second while blocks are read, and once when all are (done ==
       total): bytes of blocks done and in all. Returns 0 to go on; anything else stops the
       check with QEV_ERROR_STOPPED (the last call's answer changes nothing). May be NULL. */
    int (*progress)(void* user_data, uint64_t done, uint64_t total);
} qev_verify_options;
QEV_API void qev_verify_options_init(qev_verify_options* options);
typedef struct qev_verify_result {
    size_t struct_size; /* sizeof(qev_verify_result) */
    uint64_t errors;    /* every finding counted, shown or not */
    uint64_t warnings;
} qev_verify_result;
/* `options` and `result` may be NULL. */
QEV_API qev_status qev_verify(const qev_archive* archive, const qev_verify_options* options, qev_verify_result* result,
                              qev_error** error);

#ifdef __cplusplus
}
#endif

#endif
