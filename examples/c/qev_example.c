/* A short libqev program: lists every entry of an archive, and with a path and an output
   file, copies that file out.
     qev_example ARCHIVE [PATH OUTPUT]
   Build it against an installed libqev:
     cc qev_example.c -o qev_example $(pkg-config --cflags --libs qev) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <qev/qev.h>

/* Fails with the library's own words. */
static int report(qev_error *error) {
    fprintf(stderr, "Error: %s\n", qev_error_message(error));
    qev_error_free(error);
    return 1;
}

/* Breadth first, with a queue of folders rather than recursion. */
static int list(const qev_archive *archive) {
    size_t head = 0, tail = 1, capacity = 16;
    qev_entry *queue = malloc(capacity * sizeof *queue);
    if (!queue) return 1;
    queue[0] = QEV_ROOT;
    while (head < tail) {
        qev_entry dir = queue[head++];
        uint32_t count = 0;
        qev_error *error = NULL;
        if (qev_dir_count(archive, dir, &count, &error) != QEV_OK) return report(error);
        for (uint32_t i = 0; i < count; ++i) {
            qev_dirent entry = {sizeof entry, 0, NULL, 0, 0, 0};
            if (qev_dir_entry(archive, dir, i, &entry, &error) != QEV_OK) return report(error);
            printf("%c %10llu %.*s\n", entry.kind == QEV_KIND_DIRECTORY ? 'd' : 'f', (unsigned long long)entry.size,
                   (int)entry.name_length, entry.name);
            if (entry.kind != QEV_KIND_DIRECTORY) continue;
            if (tail == capacity) {
                qev_entry *grown = realloc(queue, 2 * capacity * sizeof *queue);
                if (!grown) return 1;
                queue = grown;
                capacity *= 2;
            }
            queue[tail++] = entry.entry;
        }
    }
    free(queue);
    return 0;
}

static int copyOut(const qev_archive *archive, const char *path, const char *output) {
    qev_entry file;
    qev_error *error = NULL;
    if (qev_lookup(archive, path, strlen(path), &file, &error) != QEV_OK) return report(error);
    FILE *out = fopen(output, "wb");
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
        fwrite(buffer, 1, done, out);
        at += done;
    }
    return fclose(out) == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "Usage: %s ARCHIVE [PATH OUTPUT]  (libqev %s)\n", argv[0], qev_version());
        return 2;
    }
    qev_archive *archive = NULL;
    qev_error *error = NULL;
    if (qev_open(argv[1], NULL, &archive, &error) != QEV_OK) return report(error);
    int status = argc == 2 ? list(archive) : copyOut(archive, argv[2], argv[3]);
    qev_close(archive);
    return status;
}
