/* Every file a walk of the archive lists, resolved again by its listed path and read,
   against the file qev-unpack wrote at that path. Arguments: the archive and the folder
   it was unpacked into. Prints how many files agreed; exits 1 at the first that did not. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qev/qev.h"

typedef struct {
    const qev_archive* archive;
    const char* dest;
    unsigned compared;
    int failed;
} walk_state;

static int fail(walk_state* s, const char* why, const qev_walk_entry* e) {
    fprintf(stderr, "%s: %.*s\n", why, (int)e->path_length, e->path);
    s->failed = 1;
    return 1;
}

static int compare(void* user, const qev_walk_entry* e) {
    walk_state* s = user;
    qev_entry found;
    if (qev_resolve(s->archive, e->path, e->path_length, NULL, &found, NULL) != QEV_OK) return fail(s, "not found", e);
    if (found != e->entry) return fail(s, "resolves to another entry", e);
    if (e->kind != QEV_KIND_FILE) return 0;
    char* path = malloc(strlen(s->dest) + e->path_length + 2);
    if (!path) abort();
    sprintf(path, "%s/%.*s", s->dest, (int)e->path_length, e->path);
    FILE* unpacked = fopen(path, "rb");
    free(path);
    if (!unpacked) return fail(s, "not unpacked", e);
    char mine[4096], theirs[4096];
    uint64_t at = 0;
    for (;;) {
        size_t done = 0;
        if (qev_read(s->archive, found, at, mine, sizeof mine, &done, NULL) != QEV_OK) break;
        size_t got = fread(theirs, 1, sizeof theirs, unpacked);
        if (got != done || memcmp(mine, theirs, done) != 0) break;
        if (done == 0) {
            fclose(unpacked);
            ++s->compared;
            return 0;
        }
        at += done;
    }
    fclose(unpacked);
    return fail(s, "other bytes", e);
}

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    qev_archive* archive;
    if (qev_open(argv[1], NULL, &archive, NULL) != QEV_OK) return 2;
    walk_state state = {archive, argv[2], 0, 0};
    qev_status walked = qev_walk(archive, QEV_ROOT, compare, &state, NULL);
    qev_close(archive);
    if (walked != QEV_OK || state.failed) return 1;
    printf("%u\n", state.compared);
    return 0;
}
