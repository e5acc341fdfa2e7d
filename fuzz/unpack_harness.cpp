#include "fuzz/unpack_harness.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "check/run_check.h"
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

void exerciseCheck(const uint8_t* data, size_t size) {
    fs::path box = freshDirectory();
    fs::path archive = box / "archive.qev";
    std::ofstream(archive, std::ios::binary).write(reinterpret_cast<const char*>(data), std::streamsize(size));
    std::string a = archive.string();
    int codes[3];
    const char* modes[3] = {"--no-progress", "--quick", "--list"};
    for (int m = 0; m < 3; ++m) {
        const char* argv[] = {"qev-check", a.c_str(), modes[m], "--json", "-j", "2", nullptr};
        std::ostringstream out, err;
        Console console{out, err};
        codes[m] = check::runCheck(6, argv, console);
        check(codes[m] == 0 || codes[m] == 1);
        // Every finding is one line, and every JSON text one line too.
        std::string e = err.str(), o = out.str();
        check(e.empty() || e.back() == '\n');
        check(m == 2 || std::count(o.begin(), o.end(), '\n') == 1);
    }
    // Structure findings are the same whichever way the check runs; the data can only add.
    check(codes[1] == codes[2] && (codes[0] == 1 || codes[1] == 0));
    fs::remove_all(box);
}

}  // namespace qev::fuzz
