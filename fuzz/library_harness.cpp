#include "fuzz/library_harness.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qev/qev.h"

namespace qev::fuzz {
namespace {

// A broken promise of the API.
void require(bool holds) {
    if (!holds) std::abort();
}

struct Memory {
    const uint8_t* data;
    size_t size;
};

int readAt(void* user, uint64_t offset, void* into, size_t length) {
    const Memory* m = static_cast<const Memory*>(user);
    if (offset > m->size || length > m->size - offset) return 1;
    std::memcpy(into, m->data + offset, length);
    return 0;
}

// Every failure comes with an error object of its own code and a line of text.
void checked(qev_status status, qev_error* error) {
    if (status == QEV_OK) {
        require(error == nullptr);
        return;
    }
    require(error != nullptr && qev_error_code(error) == status && qev_error_message(error)[0] != '\0');
    qev_error_free(error);
}

struct Walked {
    const qev_archive* archive;
    std::vector<qev_entry> files;
    size_t entries = 0;
};

int onEntry(void* user, const qev_walk_entry* e) {
    Walked* w = static_cast<Walked*>(user);
    require(e->path_length >= e->name_length &&
            std::memcmp(e->path + e->path_length - e->name_length, e->name, e->name_length) == 0);
    if (e->kind == QEV_KIND_FILE && w->files.size() < 64) w->files.push_back(e->entry);
    // Every walked path looks up, to this entry or (for a letter-case twin) to the
    // earlier sibling the lookup prefers, without fault; resolved, to this very entry.
    qev_entry found = QEV_NO_ENTRY;
    qev_error* error = nullptr;
    qev_status s = qev_lookup(w->archive, e->path, e->path_length, &found, &error);
    checked(s, error);
    require(qev_resolve(w->archive, e->path, e->path_length, nullptr, &found, nullptr) == QEV_OK && found == e->entry);
    return ++w->entries < 20000 ? 0 : 1;
}

void readFile(const qev_archive* a, qev_entry file) {
    qev_stat st{sizeof st, 0, 0};
    require(qev_stat_entry(a, file, &st, nullptr) == QEV_OK);
    std::vector<uint8_t> buffer(100000);
    uint64_t at = 0;
    for (int piece = 0; piece < 8 && at < st.size; ++piece) {
        size_t done = 0;
        qev_error* error = nullptr;
        qev_status s = qev_read(a, file, at, buffer.data(), buffer.size(), &done, &error);
        checked(s, error);
        if (s != QEV_OK) return;
        require(done <= buffer.size() && done <= st.size - at && (done > 0 || st.size == at));
        at += done + 65536 * 37;  // reads spread over a large file
    }
}

void onFinding(void* user, const qev_finding* f) {
    require(f->kind != nullptr && f->message != nullptr && f->message[0] != '\0');
    ++*static_cast<uint64_t*>(user);
}

}  // namespace

void exerciseLibrary(const uint8_t* data, size_t size) {
    Memory memory{data, size};
    qev_source source{sizeof source, memory.size, &memory, readAt, nullptr};
    qev_open_options options;
    qev_open_options_init(&options);
    // The whole input is the archive (so seeds stay archives); its size picks the options.
    options.verify = int(size % 3);
    options.cache_size = (size / 3 % 8) * 65536;
    qev_archive* a = nullptr;
    qev_error* error = nullptr;
    qev_status s = qev_open_source(&source, &options, &a, &error);
    checked(s, error);
    require((s == QEV_OK) == (a != nullptr));
    if (a == nullptr) return;

    Walked walked{a, {}, 0};
    error = nullptr;
    s = qev_walk(a, QEV_ROOT, onEntry, &walked, &error);
    checked(s, error);
    for (qev_entry f : walked.files) readFile(a, f);

    uint32_t titles = 0;
    require(qev_title_count(a, &titles, nullptr) == QEV_OK);
    for (uint32_t i = 0; i < titles; ++i) {
        qev_title t{sizeof t, 0, nullptr, 0, nullptr, 0};
        require(qev_title_at(a, i, &t, nullptr) == QEV_OK && t.folder_name_length >= 19);
    }
    qev_info info{sizeof info, 0, 0, 0, 0, 0, 0, 0};
    require(qev_get_info(a, &info, nullptr) == QEV_OK && info.titles == titles);

    uint64_t shown = 0;
    qev_verify_options vo;
    qev_verify_options_init(&vo);
    vo.threads = 1;
    vo.user_data = &shown;
    vo.finding = onFinding;
    qev_verify_result result{sizeof result, 0, 0};
    error = nullptr;
    s = qev_verify(a, &vo, &result, &error);
    checked(s, error);
    require(s != QEV_OK || shown <= result.errors + result.warnings);
    qev_close(a);
}

}  // namespace qev::fuzz
