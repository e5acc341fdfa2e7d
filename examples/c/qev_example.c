/* A short libqev program: lists the title folders and every entry of an archive, and
   with a path and an output file, copies that file out.
     qev_example ARCHIVE [PATH OUTPUT]
   Build it against an installed libqev:
     cc qev_example.c -o qev_example $(pkg-config --cflags --libs qev) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <qev/qev.h>

/* Fails with the library's own words. */
static int report(qev_error* error) {
    fprintf(stderr, "Error: %s\n", qev_error_message(error));
    qev_error_free(error);
    return 1;
}

static int print(void* user_data, const qev_walk_entry* entry) {
    (void)user_data;
    printf("%c %10llu %.*s\n", entry->kind == QEV_KIND_DIRECTORY ? 'd' : 'f', (unsigned long long)entry->size,
           (int)entry->path_length, entry->path);
    return 0;
}

/* The title folders, then every entry with its path. */
static int list(const qev_archive* archive) {
    uint32_t titles = 0;
    qev_error* error = NULL;
    if (qev_title_count(archive, &titles, &error) != QEV_OK) return report(error);
    for (uint32_t i = 0; i < titles; ++i) {
        qev_title title = {sizeof title, 0, NULL, 0, NULL, 0};
        if (qev_title_at(archive, i, &title, &error) != QEV_OK) return report(error);
        printf("title %.16s version %d\n", title.title_id, (int)title.version);
    }
    if (qev_walk(archive, QEV_ROOT, print, NULL, &error) != QEV_OK) return report(error);
    return 0;
}

static int copyOut(const qev_archive* archive, const char* path, const char* output) {
    qev_entry file;
    qev_error* error = NULL;
    if (qev_lookup(archive, path, strlen(path), &file, &error) != QEV_OK) return report(error);
    FILE* out = fopen(output, "wb");
    if (!out) return 1;
    static char buffer[1 << 20];
    uint64_t at = 0;
    for (;;) {
        size_t done = 0;
        if (qev_read(archive, file, at, buffer, sizeof buffer, &done, &error) != QEV_OK) {
            fclose(out);
            remove(output);
            return report(error);
        }
        if (done == 0) break;
        if (fwrite(buffer, 1, done, out) != done) {
            fclose(out);
            remove(output);
            fprintf(stderr, "Error: Cannot write %s\n", output);
            return 1;
        }
        at += done;
    }
    return fclose(out) == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "Usage: %s ARCHIVE [PATH OUTPUT]  (libqev %s)\n", argv[0], qev_version());
        return 2;
    }
    qev_archive* archive = NULL;
    qev_error* error = NULL;
    if (qev_open(argv[1], NULL, &archive, &error) != QEV_OK) return report(error);
    int status = argc == 2 ? list(archive) : copyOut(archive, argv[2], argv[3]);
    qev_close(archive);
    return status;
}
