// libqev measured from a caller's side.
//   library_read read ARCHIVE PATH THREADS [none]   the file read through qev_read in 1 MiB
//                                                  pieces, each thread one contiguous part;
//                                                  prints MiB/s after opening
//   library_read lookup ARCHIVE COUNT              COUNT random file paths looked up through
//                                                  qev_lookup and through the core; ns each
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/read/archive_index.h"
#include "qev/qev.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

[[noreturn]] void die(qev_error* error) {
    std::fprintf(stderr, "Error: %s\n", qev_error_message(error));
    std::exit(1);
}

qev_archive* open(const char* path, bool verify) {
    qev_open_options o;
    qev_open_options_init(&o);
    if (!verify) o.verify = QEV_VERIFY_NONE;
    qev_archive* a = nullptr;
    qev_error* error = nullptr;
    if (qev_open(path, &o, &a, &error) != QEV_OK) die(error);
    return a;
}

int read(const char* archive, const char* path, unsigned threads, bool verify) {
    qev_archive* a = open(archive, verify);
    qev_entry file;
    qev_error* error = nullptr;
    if (qev_lookup(a, path, std::strlen(path), &file, &error) != QEV_OK) die(error);
    qev_stat st{sizeof st, 0, 0};
    qev_stat_entry(a, file, &st, nullptr);
    auto start = Clock::now();
    std::vector<std::thread> pool;
    uint64_t part = (st.size + threads - 1) / threads;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::vector<char> buffer(1 << 20);
            uint64_t end = std::min<uint64_t>(st.size, (t + 1) * part);
            for (uint64_t at = t * part; at < end;) {
                size_t done = 0;
                size_t want = size_t(std::min<uint64_t>(buffer.size(), end - at));
                if (qev_read(a, file, at, buffer.data(), want, &done, nullptr) != QEV_OK || done == 0) std::abort();
                at += done;
            }
        });
    }
    for (std::thread& t : pool) t.join();
    double seconds = since(start);
    std::printf("%u thread(s): %.0f MiB/s\n", threads, double(st.size) / seconds / 1048576);
    qev_close(a);
    return 0;
}

int onFile(void* user, const qev_walk_entry* e) {
    if (e->kind == QEV_KIND_FILE) static_cast<std::vector<std::string>*>(user)->emplace_back(e->path, e->path_length);
    return 0;
}

int lookup(const char* archive, size_t count) {
    qev_archive* a = open(archive, false);
    std::vector<std::string> files;
    qev_walk(a, QEV_ROOT, onFile, &files, nullptr);
    if (files.empty()) return 1;
    std::mt19937_64 rng(1);
    std::vector<const std::string*> paths(count);
    for (const std::string*& p : paths) p = &files[rng() % files.size()];
    auto start = Clock::now();
    for (const std::string* p : paths) {
        qev_entry e;
        if (qev_lookup(a, p->data(), p->size(), &e, nullptr) != QEV_OK) std::abort();
    }
    double library = since(start);
    auto index = qev::ArchiveIndex::open(archive);
    if (!index) return 1;
    start = Clock::now();
    for (const std::string* p : paths) {
        if ((*index)->findPath(*p) == qev::kInvalidNode) std::abort();
    }
    double core = since(start);
    std::printf("%zu lookups among %zu files: qev_lookup %.0f ns, core %.0f ns each\n", count, files.size(),
                library / double(count) * 1e9, core / double(count) * 1e9);
    qev_close(a);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "read") == 0) {
        return read(argv[2], argv[3], unsigned(std::atoi(argv[4])), !(argc > 5 && std::strcmp(argv[5], "none") == 0));
    }
    if (argc == 4 && std::strcmp(argv[1], "lookup") == 0) return lookup(argv[2], size_t(std::atoll(argv[3])));
    std::fprintf(stderr, "usage: library_read read ARCHIVE PATH THREADS [none] | lookup ARCHIVE COUNT\n");
    return 2;
}
