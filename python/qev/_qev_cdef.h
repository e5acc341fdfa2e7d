/* The declarations of qev.h that the Python module uses, as cffi reads them (cffi takes no
   #include and no preprocessor logic; "..." lets the compiler check each struct against the
   header itself), and those of the helpers in _qev_helpers.c. */
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
