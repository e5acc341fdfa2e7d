#include "fuzz/unpack_harness.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "unpack/run_unpack.h"

namespace qev::fuzz {
namespace {

namespace fs = std::filesystem;

void check(bool ok) {
    if (!ok) std::abort();
}

fs::path freshDirectory() {
    std::string pattern = (fs::temp_directory_path() / "qev-unpack-fuzz-XXXXXX").string();
    check(::mkdtemp(pattern.data()) != nullptr);
    return pattern;
}

// Only directories and regular files, none of them a leftover temporary.
void checkWritten(const fs::path& dest) {
    for (auto& e : fs::recursive_directory_iterator(dest)) {
        fs::file_status st = e.symlink_status();
        check(fs::is_directory(st) || fs::is_regular_file(st));
        check(!e.path().filename().string().starts_with(".qev-unpack-"));
    }
}

}  // namespace

void exerciseUnpack(const uint8_t* data, size_t size) {
    fs::path box = freshDirectory();
    fs::path archive = box / "archive.qev";
    std::ofstream(archive, std::ios::binary).write(reinterpret_cast<const char*>(data), std::streamsize(size));
    fs::path dest = box / "dest";
    std::string a = archive.string(), d = dest.string();
    const char* argv[] = {"qev-unpack", a.c_str(), d.c_str(), "-q", "-j", "2", nullptr};
    std::ostringstream out, err;
    Console console{out, err};
    int code = unpack::runUnpack(6, argv, console);
    check(code == 0 || code == 1);
    // The box holds what it held, and the destination if the archive opened.
    for (auto& e : fs::directory_iterator(box)) check(e.path() == archive || e.path() == dest);
    if (fs::exists(dest)) checkWritten(dest);
    fs::remove_all(box);
}

}  // namespace qev::fuzz
