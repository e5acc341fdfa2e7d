/* libqev from C: every call on the sample archive, each file read against qev-tool's
   extract of it, a source in memory, a damaged block, and every regression archive opened
   and walked without a crash. The walk, titles, summary and verification are checked
   against what qev-tool and qev-check say. Arguments: the source tree, the qev-tool and
   qev-check binaries. */
#define _POSIX_C_SOURCE 200809L
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "qev/qev.h"

static int failures = 0;
#define CHECK(condition)                                                            \
    do {                                                                            \
        if (!(condition)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                             \
        }                                                                           \
    } while (0)

typedef struct {
    unsigned char* bytes;
    size_t size;
} buffer;

static buffer slurp(FILE* in) {
    buffer b = {NULL, 0};
    size_t capacity = 0;
    for (;;) {
        if (b.size == capacity) {
            capacity = capacity ? 2 * capacity : 65536;
            b.bytes = realloc(b.bytes, capacity);
            if (!b.bytes) abort();
        }
        size_t n = fread(b.bytes + b.size, 1, capacity - b.size, in);
        if (n == 0) break;
        b.size += n;
    }
    return b;
}

/* A file's bytes, or with `command` a program's whole output. */
static buffer readAll(const char* what, int command) {
    FILE* in = command ? popen(what, "r") : fopen(what, "rb");
    buffer b = {NULL, 0};
    if (!in) return b;
    b = slurp(in);
    if (command)
        pclose(in);
    else
        fclose(in);
    return b;
}

/* The whole file through qev_read, in pieces of an odd size. */
static qev_status readWhole(const qev_archive* a, qev_entry file, buffer* out) {
    qev_stat st = {sizeof st, 0, 0};
    qev_status s = qev_stat_entry(a, file, &st, NULL);
    if (s != QEV_OK) return s;
    if (st.size > (64u << 20)) return QEV_ERROR_NO_MEMORY; /* a hostile size: not read whole */
    out->bytes = malloc(st.size + 1);
    out->size = 0;
    if (!out->bytes) abort();
    while (out->size < st.size) {
        size_t done = 0;
        s = qev_read(a, file, out->size, out->bytes + out->size, 7777, &done, NULL);
        if (s != QEV_OK) return s;
        if (done == 0) break;
        out->size += done;
    }
    return QEV_OK;
}

typedef struct {
    qev_entry entry;
    char path[1024];
} pending;

/* Every file of the archive, breadth first with a queue (no recursion), read whole. With
   `tool`, each is compared with what qev-tool extracts. Gives the files read. */
static int walk(const qev_archive* a, const char* tool, const char* archivePath) {
    size_t capacity = 64, head = 0, tail = 1;
    long visits = 0; /* a hostile tree can make a million folders share their children */
    int files = 0;
    pending* queue = malloc(capacity * sizeof *queue);
    if (!queue) abort();
    queue[0].entry = QEV_ROOT;
    queue[0].path[0] = '\0';
    while (head < tail && files < 10000) {
        pending dir = queue[head++];
        uint32_t count = 0;
        if (qev_dir_count(a, dir.entry, &count, NULL) != QEV_OK) continue;
        for (uint32_t i = 0; i < count && ++visits < 200000; ++i) {
            qev_dirent d = {sizeof d, 0, NULL, 0, 0, 0};
            if (qev_dir_entry(a, dir.entry, i, &d, NULL) != QEV_OK) continue;
            pending child;
            child.entry = d.entry;
            int n = snprintf(child.path, sizeof child.path, "%s%s%.*s", dir.path, dir.path[0] ? "/" : "",
                             (int)d.name_length, d.name);
            if (n < 0 || (size_t)n >= sizeof child.path) continue; /* deeper than this test goes */
            if (d.kind == QEV_KIND_DIRECTORY) {
                if (tail == capacity) {
                    capacity *= 2;
                    queue = realloc(queue, capacity * sizeof *queue);
                    if (!queue) abort();
                }
                if (tail < 100000) queue[tail++] = child;
                continue;
            }
            buffer mine = {NULL, 0};
            qev_status s = readWhole(a, d.entry, &mine);
            ++files;
            if (tool && s == QEV_OK) {
                char command[4096];
                snprintf(command, sizeof command, "'%s' extract '%s' '%s'", tool, archivePath, child.path);
                buffer theirs = readAll(command, 1);
                CHECK(theirs.size == mine.size && (mine.size == 0 || memcmp(theirs.bytes, mine.bytes, mine.size) == 0));
                free(theirs.bytes);
            }
            free(mine.bytes);
        }
    }
    free(queue);
    return files;
}

/* The number after "KEY": in a line of JSON, or -1. */
static long long jsonNumber(const buffer* json, const char* key) {
    char pattern[64];
    snprintf(pattern, sizeof pattern, "\"%s\":", key);
    if (!json->bytes) return -1;
    char* text = malloc(json->size + 1);
    if (!text) abort();
    memcpy(text, json->bytes, json->size);
    text[json->size] = '\0';
    const char* at = strstr(text, pattern);
    long long n = at ? strtoll(at + strlen(pattern), NULL, 10) : -1;
    free(text);
    return n;
}

typedef struct {
    const qev_archive* archive;
    const char *tool, *path;
    int files, directories;
    uint64_t bytes;
} walked;

/* Each file qev_walk reaches, read whole and compared with qev-tool's extract of its path. */
static int onWalk(void* user, const qev_walk_entry* e) {
    walked* w = user;
    if (e->kind == QEV_KIND_DIRECTORY) {
        uint32_t count = 0;
        CHECK(qev_dir_count(w->archive, e->entry, &count, NULL) == QEV_OK);
        ++w->directories;
        return 0;
    }
    ++w->files;
    w->bytes += e->size;
    buffer mine = {NULL, 0};
    CHECK(readWhole(w->archive, e->entry, &mine) == QEV_OK && mine.size == e->size);
    char command[4096];
    snprintf(command, sizeof command, "'%s' extract '%s' '%.*s'", w->tool, w->path, (int)e->path_length, e->path);
    buffer theirs = readAll(command, 1);
    CHECK(theirs.size == mine.size && (mine.size == 0 || memcmp(theirs.bytes, mine.bytes, mine.size) == 0));
    free(theirs.bytes);
    free(mine.bytes);
    return 0;
}

static int countAll(void* user, const qev_walk_entry* e) {
    (void)e;
    ++*(long*)user;
    return 0;
}

static int stopAtOnce(void* user, const qev_walk_entry* e) {
    (void)e;
    ++*(int*)user;
    return 1;
}

/* The titles as qev-tool list prints them, and the summary as qev-tool info and qev-check
   --json give it. */
static void titlesAndSummary(const qev_archive* a, const char* tool, const char* check, const char* path) {
    char command[16384], list[4096] = "[";
    uint32_t count = 0;
    CHECK(qev_title_count(a, &count, NULL) == QEV_OK);
    for (uint32_t i = 0; i < count; ++i) {
        qev_title t = {sizeof t, 0, NULL, 0, NULL, 0};
        CHECK(qev_title_at(a, i, &t, NULL) == QEV_OK);
        size_t used = strlen(list);
        snprintf(list + used, sizeof list - used, "%s{\"folderName\":\"%.*s\",\"titleId\":\"%.16s\",\"version\":%d}",
                 i ? "," : "", (int)t.folder_name_length, t.folder_name, t.title_id, (int)t.version);
    }
    strcat(list, "]\n");
    snprintf(command, sizeof command, "'%s' list '%s'", tool, path);
    buffer listed = readAll(command, 1);
    CHECK(listed.size == strlen(list) && memcmp(listed.bytes, list, listed.size) == 0);
    free(listed.bytes);

    qev_info info = {sizeof info, 0, 0, 0, 0, 0, 0, 0};
    CHECK(qev_get_info(a, &info, NULL) == QEV_OK);
    snprintf(command, sizeof command, "'%s' info '%s'", tool, path);
    buffer summary = readAll(command, 1);
    CHECK(jsonNumber(&summary, "totalFiles") == (long long)info.root_entries);
    free(summary.bytes);
    snprintf(command, sizeof command, "'%s' --json '%s'", check, path);
    buffer checked = readAll(command, 1);
    CHECK(jsonNumber(&checked, "files") == (long long)info.files);
    CHECK(jsonNumber(&checked, "directories") == (long long)info.directories);
    CHECK(jsonNumber(&checked, "fileBytes") == (long long)info.total_size);
    CHECK(jsonNumber(&checked, "titles") == (long long)info.titles);
    CHECK(jsonNumber(&checked, "archiveSize") == (long long)info.archive_size);
    free(checked.bytes);
}

typedef struct {
    int errors, located, progressed;
} verified;

static void onFinding(void* user, const qev_finding* f) {
    verified* v = user;
    if (f->severity == QEV_FINDING_ERROR) ++v->errors;
    if (strcmp(f->kind, "block-mismatch") == 0 && f->block != QEV_NO_BLOCK && f->entry != QEV_NO_ENTRY && f->size > 0)
        ++v->located;
    CHECK(f->message[0] != '\0');
}

static int onProgress(void* user, uint64_t done, uint64_t total) {
    CHECK(done <= total);
    ++((verified*)user)->progressed;
    return 0;
}

/* qev_verify finds what qev-check finds, in the archive at `path` (bytes `b`). */
static void verifyLikeCheck(const buffer* b, const char* check, int expectErrors) {
    char path[] = "/tmp/qev-c-api-XXXXXX";
    int fd = mkstemp(path);
    CHECK(fd >= 0 && write(fd, b->bytes, b->size) == (ssize_t)b->size);
    close(fd);
    qev_open_options options;
    qev_open_options_init(&options);
    options.verify = QEV_VERIFY_NONE;
    qev_archive* a = NULL;
    CHECK(qev_open(path, &options, &a, NULL) == QEV_OK);
    verified v = {0, 0, 0};
    qev_verify_options vo;
    qev_verify_options_init(&vo);
    vo.user_data = &v;
    vo.finding = onFinding;
    vo.progress = onProgress;
    qev_verify_result result = {sizeof result, 0, 0};
    CHECK(qev_verify(a, &vo, &result, NULL) == QEV_OK);
    char command[4096];
    snprintf(command, sizeof command, "'%s' --json '%s'", check, path);
    buffer checked = readAll(command, 1);
    CHECK(jsonNumber(&checked, "errors") == (long long)result.errors);
    CHECK(jsonNumber(&checked, "warnings") == (long long)result.warnings);
    CHECK((long long)v.errors == (long long)result.errors && (v.errors > 0) == expectErrors);
    CHECK(!expectErrors || v.located > 0);
    free(checked.bytes);
    qev_close(a);
    unlink(path);
}

static int readAt(void* user, uint64_t offset, void* into, size_t length) {
    const buffer* b = user;
    if (offset > b->size || length > b->size - offset) return 1;
    memcpy(into, b->bytes + offset, length);
    return 0;
}

static int closed = 0;
static void closeSource(void* user) {
    (void)user;
    ++closed;
}

static void errorsAndArguments(const qev_archive* a) {
    qev_error* error = NULL;
    qev_entry e = 0;
    CHECK(qev_lookup(a, "no/such/thing", 13, &e, &error) == QEV_ERROR_NOT_FOUND);
    CHECK(error && qev_error_code(error) == QEV_ERROR_NOT_FOUND);
    CHECK(error && strcmp(qev_error_message(error), "Path not found in archive: no/such/thing") == 0);
    qev_error_free(error);
    CHECK(qev_lookup(a, "", 0, &e, NULL) == QEV_OK && e == QEV_ROOT);
    size_t done = 0;
    char byte;
    CHECK(qev_read(a, QEV_ROOT, 0, &byte, 1, &done, NULL) == QEV_ERROR_NOT_A_FILE);
    CHECK(qev_read(a, QEV_NO_ENTRY, 0, &byte, 1, &done, NULL) == QEV_ERROR_INVALID_ARGUMENT);
    CHECK(qev_dir_count(NULL, QEV_ROOT, NULL, NULL) == QEV_ERROR_INVALID_ARGUMENT);
    qev_dirent small = {sizeof(size_t), 0, NULL, 0, 0, 0}; /* a caller that knows no fields */
    CHECK(qev_dir_entry(a, QEV_ROOT, 0, &small, NULL) == QEV_ERROR_INVALID_ARGUMENT);
    qev_archive* none = NULL;
    CHECK(qev_open("/no/such/file.qev", NULL, &none, &error) == QEV_ERROR_IO && none == NULL);
    CHECK(error && strncmp(qev_error_message(error), "Failed to open QEV file: /no/such/file.qev", 42) == 0);
    CHECK(error && qev_error_system_code(error) == ENOENT);
    qev_error_free(error);
    CHECK(qev_error_system_code(NULL) == 0);

    /* Resolving: any case finds the first twin; the exact spelling only what it spells. */
    const char* typed = "0005000010101D00_V64/code/APP.XML";
    qev_entry any = QEV_NO_ENTRY, first = QEV_NO_ENTRY, exact = 0;
    qev_resolve_options match;
    qev_resolve_options_init(&match);
    CHECK(match.struct_size == sizeof match && match.match == QEV_MATCH_EXACT_FIRST);
    CHECK(qev_resolve(a, typed, strlen(typed), NULL, &first, NULL) == QEV_OK);
    CHECK(qev_lookup(a, typed, strlen(typed), &any, NULL) == QEV_OK && any == first);
    match.match = QEV_MATCH_EXACT;
    CHECK(qev_resolve(a, typed, strlen(typed), &match, &exact, NULL) == QEV_ERROR_NOT_FOUND);
    match.match = 7;
    CHECK(qev_resolve(a, typed, strlen(typed), &match, &exact, NULL) == QEV_ERROR_INVALID_ARGUMENT);
}

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    char sample[4096], regression[4096];
    snprintf(sample, sizeof sample, "%s/examples/sample.qev", argv[1]);
    snprintf(regression, sizeof regression, "%s/tests/regression/archive", argv[1]);
    CHECK(strcmp(qev_version(), QEV_VERSION_STRING) == 0);

    qev_open_options options;
    qev_open_options_init(&options);
    qev_archive* a = NULL;
    CHECK(qev_open(sample, &options, &a, NULL) == QEV_OK && a != NULL);
    if (!a) return 1;
    CHECK(walk(a, argv[2], sample) == 7);
    walked w = {a, argv[2], sample, 0, 0, 0};
    CHECK(qev_walk(a, QEV_ROOT, onWalk, &w, NULL) == QEV_OK && w.files == 7 && w.directories == 8);
    int calls = 0;
    CHECK(qev_walk(a, QEV_ROOT, stopAtOnce, &calls, NULL) == QEV_ERROR_STOPPED && calls == 1);
    titlesAndSummary(a, argv[2], argv[3], sample);
    qev_entry e = QEV_NO_ENTRY;
    const char* spelled = "0005000010101d00_V64\\CODE/app.xml";
    CHECK(qev_lookup(a, spelled, strlen(spelled), &e, NULL) == QEV_OK);
    qev_stat st = {sizeof st, 0, 0};
    CHECK(qev_stat_entry(a, e, &st, NULL) == QEV_OK && st.kind == QEV_KIND_FILE && st.size == 333);
    errorsAndArguments(a);

    /* The same archive from memory: the same bytes; a flipped byte in the data is an error,
       never other bytes. */
    buffer bytes = readAll(sample, 0);
    qev_source source = {sizeof source, bytes.size, &bytes, readAt, closeSource};
    qev_archive* m = NULL;
    CHECK(qev_open_source(&source, NULL, &m, NULL) == QEV_OK);
    buffer fromFile = {NULL, 0}, fromMemory = {NULL, 0};
    CHECK(readWhole(a, e, &fromFile) == QEV_OK && readWhole(m, e, &fromMemory) == QEV_OK);
    CHECK(fromFile.size == fromMemory.size && memcmp(fromFile.bytes, fromMemory.bytes, fromFile.size) == 0);
    free(fromFile.bytes);
    free(fromMemory.bytes);
    qev_close(m);
    CHECK(closed == 1);
    /* Refused for its options: the source stays the caller's, closed by nobody. */
    qev_open_options odd;
    qev_open_options_init(&odd);
    odd.verify = 7;
    CHECK(qev_open_source(&source, &odd, &m, NULL) == QEV_ERROR_INVALID_ARGUMENT && m == NULL && closed == 1);
    buffer damaged = {malloc(bytes.size), bytes.size};
    memcpy(damaged.bytes, bytes.bytes, bytes.size);
    damaged.bytes[40] ^= 0x20;
    verifyLikeCheck(&bytes, argv[3], 0);
    verifyLikeCheck(&damaged, argv[3], 1);
    qev_source bad = {sizeof bad, damaged.size, &damaged, readAt, NULL};
    CHECK(qev_open_source(&bad, NULL, &m, NULL) == QEV_OK);
    int corrupt = 0;
    for (qev_entry n = 0; m && n < 64; ++n) {
        qev_stat s2 = {sizeof s2, 0, 0};
        if (qev_stat_entry(m, n, &s2, NULL) != QEV_OK || s2.kind != QEV_KIND_FILE) continue;
        buffer good = {NULL, 0}, read = {NULL, 0};
        CHECK(readWhole(a, n, &good) == QEV_OK);
        qev_status s = readWhole(m, n, &read);
        if (s == QEV_ERROR_CORRUPT)
            ++corrupt;
        else
            CHECK(s == QEV_OK && read.size == good.size && memcmp(read.bytes, good.bytes, good.size) == 0);
        free(good.bytes);
        free(read.bytes);
    }
    CHECK(corrupt > 0);
    qev_close(m);
    qev_close(a);
    free(damaged.bytes);
    free(bytes.bytes);

    /* Every archive that ever misbehaved: a status and a message, or an archive walked. */
    DIR* dir = opendir(regression);
    CHECK(dir != NULL);
    for (struct dirent* d; dir && (d = readdir(dir));) {
        if (d->d_name[0] == '.') continue;
        char path[8192];
        snprintf(path, sizeof path, "%s/%s", regression, d->d_name);
        qev_error* error = NULL;
        qev_archive* h = NULL;
        qev_status s = qev_open(path, NULL, &h, &error);
        CHECK((s == QEV_OK) == (h != NULL));
        CHECK(s == QEV_OK || (error && qev_error_code(error) == s && qev_error_message(error)[0] != '\0'));
        qev_error_free(error);
        if (h) {
            walk(h, NULL, NULL);
            long entries = 0;
            qev_info info = {sizeof info, 0, 0, 0, 0, 0, 0, 0};
            s = qev_walk(h, QEV_ROOT, countAll, &entries, NULL);
            CHECK(s == QEV_OK || s == QEV_ERROR_NOT_A_DIRECTORY);
            CHECK(qev_get_info(h, &info, NULL) == QEV_OK);
            CHECK(s != QEV_OK || (uint64_t)entries == info.files + info.directories);
            CHECK(qev_verify(h, NULL, NULL, NULL) == QEV_OK);
        }
        qev_close(h);
    }
    if (dir) closedir(dir);
    printf("%s: %d failed\n", failures ? "FAILED" : "passed", failures);
    return failures ? 1 : 0;
}
