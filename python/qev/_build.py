"""Builds qev._qev, the compiled binding to libqev, with cffi in API mode.

Run by CMake (``python3 _build.py OUTPUT_DIR``, with QEV_INCLUDE_DIRS and QEV_LIBRARY_DIRS
naming the build tree) and by setuptools (``cffi_modules``), where pkg-config finds an
installed libqev.
"""

import os
import shlex
import subprocess
import sys

import cffi

# The declarations of qev.h that Python uses, as cffi reads them; the compiler checks them
# against the header itself.
CDEF = """
typedef enum qev_status { QEV_OK = 0, QEV_ERROR_INVALID_ARGUMENT, QEV_ERROR_IO,
    QEV_ERROR_NOT_AN_ARCHIVE, QEV_ERROR_MISMATCH, QEV_ERROR_UNPROVEN, QEV_ERROR_NOT_FOUND,
    QEV_ERROR_NOT_A_FILE, QEV_ERROR_NOT_A_DIRECTORY, QEV_ERROR_CORRUPT, QEV_ERROR_CHANGED,
    QEV_ERROR_NO_MEMORY, QEV_ERROR_STOPPED, ... } qev_status;
typedef struct qev_error qev_error;
qev_status qev_error_code(const qev_error *error);
uint32_t qev_error_system_code(const qev_error *error);
const char *qev_error_message(const qev_error *error);
void qev_error_free(qev_error *error);
const char *qev_version(void);

typedef struct qev_archive qev_archive;
typedef uint32_t qev_entry;
#define QEV_ROOT ...
#define QEV_NO_ENTRY ...
#define QEV_NO_BLOCK ...
#define QEV_VERIFY_BLOCKS ...
#define QEV_VERIFY_STRUCTURE ...
#define QEV_VERIFY_NONE ...
#define QEV_KIND_FILE ...
#define QEV_KIND_DIRECTORY ...
#define QEV_FINDING_ERROR ...

typedef struct qev_open_options { size_t struct_size; int verify; size_t cache_size; ...; } qev_open_options;
void qev_open_options_init(qev_open_options *options);
typedef struct qev_source {
    size_t struct_size; uint64_t size; void *user_data;
    int (*read_at)(void *user_data, uint64_t offset, void *buffer, size_t length);
    void (*close)(void *user_data);
    ...;
} qev_source;
qev_status qev_open(const char *path, const qev_open_options *options, qev_archive **archive, qev_error **error);
qev_status qev_open_source(const qev_source *source, const qev_open_options *options, qev_archive **archive,
                           qev_error **error);
void qev_close(qev_archive *archive);

qev_status qev_lookup(const qev_archive *archive, const char *path, size_t path_length, qev_entry *entry,
                      qev_error **error);
typedef struct qev_resolve_options { size_t struct_size; int match; ...; } qev_resolve_options;
qev_status qev_resolve(const qev_archive *archive, const char *path, size_t path_length,
                       const qev_resolve_options *options, qev_entry *entry, qev_error **error);
typedef struct qev_stat { size_t struct_size; int kind; uint64_t size; ...; } qev_stat;
qev_status qev_stat_entry(const qev_archive *archive, qev_entry entry, qev_stat *stat, qev_error **error);
qev_status qev_dir_count(const qev_archive *archive, qev_entry directory, uint32_t *count, qev_error **error);
typedef struct qev_dirent { size_t struct_size; qev_entry entry; const char *name; size_t name_length; int kind;
                            uint64_t size; ...; } qev_dirent;
qev_status qev_dir_entry(const qev_archive *archive, qev_entry directory, uint32_t index, qev_dirent *dirent,
                         qev_error **error);
typedef struct qev_title { size_t struct_size; qev_entry entry; const char *folder_name;
                           size_t folder_name_length; const char *title_id; int32_t version; ...; } qev_title;
qev_status qev_title_count(const qev_archive *archive, uint32_t *count, qev_error **error);
qev_status qev_title_at(const qev_archive *archive, uint32_t index, qev_title *title, qev_error **error);
typedef struct qev_info { size_t struct_size; uint32_t root_entries; uint64_t total_size; uint64_t files;
                          uint64_t directories; uint32_t titles; uint32_t tree_entries; uint64_t archive_size;
                          ...; } qev_info;
qev_status qev_get_info(const qev_archive *archive, qev_info *info, qev_error **error);
qev_status qev_read(const qev_archive *archive, qev_entry file, uint64_t offset, void *buffer, size_t length,
                    size_t *done, qev_error **error);

typedef struct qev_finding { size_t struct_size; int severity; const char *kind; qev_entry entry; uint64_t block;
                             uint64_t offset; uint64_t size; const char *message; ...; } qev_finding;
typedef struct qev_verify_options {
    size_t struct_size; unsigned threads; void *user_data;
    void (*finding)(void *user_data, const qev_finding *finding);
    int (*progress)(void *user_data, uint64_t done, uint64_t total);
    ...;
} qev_verify_options;
void qev_verify_options_init(qev_verify_options *options);
typedef struct qev_verify_result { size_t struct_size; uint64_t errors; uint64_t warnings; ...; } qev_verify_result;
qev_status qev_verify(const qev_archive *archive, const qev_verify_options *options, qev_verify_result *result,
                      qev_error **error);

/* Bytes in memory as a source, read in C: no lock, no call into Python. */
typedef struct { const unsigned char *data; uint64_t size; } qev_py_memory;
int qev_py_memory_read(void *user_data, uint64_t offset, void *buffer, size_t length);

/* One directory's usable children in one call, in stored order: their names joined by '/'
   (which no usable name holds), and each one's kind, entry and size; freed with
   qev_py_listing_free. */
typedef struct {
    char *names; size_t names_length;
    uint8_t *kinds; uint32_t *entries; uint64_t *sizes;
    uint32_t count;     /* usable children */
    uint32_t children;  /* every child looked at, usable or not */
    ...;
} qev_py_listing;
qev_status qev_py_list(const qev_archive *archive, qev_entry directory, qev_py_listing *listing, qev_error **error);
void qev_py_listing_free(qev_py_listing *listing);

/* Calls back into Python: a file object's reads, findings and progress. */
extern "Python" int qev_py_file_read(void *, uint64_t, void *, size_t);
extern "Python" void qev_py_finding(void *, const qev_finding *);
extern "Python" int qev_py_progress(void *, uint64_t, uint64_t);
"""

SOURCE = r"""
#include <stdlib.h>
#include <string.h>
#include <qev/qev.h>

typedef struct { const unsigned char *data; uint64_t size; } qev_py_memory;

static int qev_py_memory_read(void *user_data, uint64_t offset, void *buffer, size_t length) {
    const qev_py_memory *m = user_data;
    if (offset > m->size || length > m->size - offset) return 1;
    memcpy(buffer, m->data + offset, length);
    return 0;
}

typedef struct {
    char *names; size_t names_length;
    uint8_t *kinds; uint32_t *entries; uint64_t *sizes;
    uint32_t count;
    uint32_t children;
} qev_py_listing;

static void qev_py_listing_free(qev_py_listing *l) {
    free(l->names);
    free(l->kinds);
    free(l->entries);
    free(l->sizes);
    memset(l, 0, sizeof *l);
}

/* As the reader's walk judges a name: not empty, not "." or "..", no '/' nor zero byte. */
static int qev_py_usable(const char *name, size_t length) {
    if (length == 0 || (length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.')) return 0;
    return memchr(name, '/', length) == NULL && memchr(name, 0, length) == NULL;
}

static qev_status qev_py_list(const qev_archive *archive, qev_entry directory, qev_py_listing *l, qev_error **error) {
    uint32_t count = 0;
    size_t capacity = 0;
    memset(l, 0, sizeof *l);
    qev_status status = qev_dir_count(archive, directory, &count, error);
    if (status != QEV_OK) return status;
    l->children = count;
    /* The count is the archive's own, clamped to its tree: memory in proportion to it. */
    l->kinds = malloc(count ? count : 1);
    l->entries = malloc((count ? count : 1) * sizeof *l->entries);
    l->sizes = malloc((count ? count : 1) * sizeof *l->sizes);
    if (!l->kinds || !l->entries || !l->sizes) goto no_memory;
    qev_dirent d;
    d.struct_size = sizeof d;
    for (uint32_t i = 0; i < count; ++i) {
        status = qev_dir_entry(archive, directory, i, &d, error);
        if (status != QEV_OK) {
            qev_py_listing_free(l);
            return status;
        }
        if (!qev_py_usable(d.name, d.name_length)) continue;
        if (capacity - l->names_length < d.name_length + 1) {
            size_t grown = capacity ? capacity : 4096;
            while (grown - l->names_length < d.name_length + 1) grown *= 2;
            char *more = realloc(l->names, grown);
            if (more == NULL) goto no_memory;
            l->names = more;
            capacity = grown;
        }
        memcpy(l->names + l->names_length, d.name, d.name_length);
        l->names_length += d.name_length;
        l->names[l->names_length++] = '/';
        l->kinds[l->count] = (uint8_t)d.kind;
        l->entries[l->count] = d.entry;
        l->sizes[l->count] = d.size;
        ++l->count;
    }
    if (l->names_length) --l->names_length; /* the last '/' goes */
    return QEV_OK;
no_memory:
    qev_py_listing_free(l);
    return QEV_ERROR_NO_MEMORY;
}
"""


def _folders(variable, option):
    given = os.environ.get(variable)
    if given:
        return [p for p in given.split(os.pathsep) if p]
    try:
        out = subprocess.run(["pkg-config", option, "qev"], check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return []
    prefix = "-I" if option == "--cflags-only-I" else "-L"
    return [word[2:] for word in shlex.split(out) if word.startswith(prefix)]


ffibuilder = cffi.FFI()
ffibuilder.cdef(CDEF)
# Built in a tree, the module finds that tree's libqev through QEV_RPATH; installed, the
# system's.
ffibuilder.set_source(
    "qev._qev",
    SOURCE,
    libraries=["qev"],
    include_dirs=_folders("QEV_INCLUDE_DIRS", "--cflags-only-I"),
    library_dirs=_folders("QEV_LIBRARY_DIRS", "--libs-only-L"),
    extra_link_args=["-Wl,-rpath," + os.environ["QEV_RPATH"]] if os.environ.get("QEV_RPATH") else [],
)

if __name__ == "__main__":
    output = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
    os.makedirs(output, exist_ok=True)
    ffibuilder.compile(tmpdir=output, verbose=False)
