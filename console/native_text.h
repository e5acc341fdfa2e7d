// Paths and arguments in the programs that write files: inside, every name and path is
// UTF-8; Windows gets and gives wide strings, POSIX the bytes as they are.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qev {

// A path from UTF-8 (on POSIX, from bytes kept as they are).
std::filesystem::path pathFromUtf8(std::string_view text);
// A path as UTF-8, for messages and for names stored in an archive. On Windows a lone
// surrogate, which UTF-8 cannot carry, becomes U+FFFD.
std::string utf8FromPath(const std::filesystem::path& path);

// On Windows, `path` made absolute in the "\\?\" form, which no MAX_PATH limit applies to
// (Windows takes it as it stands, so it is normalised first); elsewhere `path` itself.
std::filesystem::path longPathForm(const std::filesystem::path& path);

// The text of the last failed system call (errno on POSIX, GetLastError on Windows).
std::string lastSystemError();
#ifdef _WIN32
std::string systemErrorText(unsigned long code);
#endif

uint64_t processId();

// The command line in UTF-8. On Windows it is read again as wide strings, so that names no
// code page holds arrive whole; elsewhere `argv` is used as it is.
class Utf8Arguments {
public:
    Utf8Arguments(int argc, char** argv);
    int count() const { return int(pointers_.size()) - 1; }
    char** values() { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;  // ends with a null, as argv does
};

}  // namespace qev
