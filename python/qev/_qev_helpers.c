/* Helpers compiled into the Python module beside the binding: reads from memory with no
   call into Python, and a directory listed in one call. */
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
