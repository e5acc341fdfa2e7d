#include "console/native_text.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace qev {

#ifdef _WIN32

namespace {

std::wstring wideFromUtf8(std::string_view text) {
    if (text.empty() || text.size() > 0x7FFFFFFF) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), n);
    return wide;
}

std::string utf8FromWide(std::wstring_view wide) {
    if (wide.empty() || wide.size() > 0x7FFFFFFF) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), text.data(), n, nullptr, nullptr);
    return text;
}

}  // namespace

std::filesystem::path pathFromUtf8(std::string_view text) { return std::filesystem::path(wideFromUtf8(text)); }

std::string utf8FromPath(const std::filesystem::path& path) { return utf8FromWide(path.native()); }

std::filesystem::path longPathForm(const std::filesystem::path& path) {
    const std::wstring& given = path.native();
    if (given.empty() || given.starts_with(L"\\\\?\\")) return path;
    // GetFullPathNameW resolves "." and "..", turns "/" into "\\" and adds the drive.
    DWORD n = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(given.c_str(), n, full.data(), nullptr);
    if (n == 0 || n >= full.size()) return path;
    full.resize(n);
    if (full.starts_with(L"\\\\.\\") || full.starts_with(L"\\\\?\\")) return full;  // a device, or already long
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share
    return L"\\\\?\\" + full;
}

std::string systemErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide = n > 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
    LocalFree(text);
    // One line, without the closing period, like the other reasons in messages.
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ' || wide.back() == L'.')) {
        wide.pop_back();
    }
    return wide.empty() ? "Windows error " + std::to_string(code) : utf8FromWide(wide);
}

std::string lastSystemError() { return systemErrorText(GetLastError()); }

uint64_t processId() { return GetCurrentProcessId(); }

Utf8Arguments::Utf8Arguments(int argc, char** argv) {
    int wideCount = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    if (wide == nullptr) {
        strings_.assign(argv, argv + argc);
    } else {
        for (int i = 0; i < wideCount; ++i) strings_.push_back(utf8FromWide(wide[i]));
        LocalFree(wide);
    }
    for (std::string& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
}

#else

std::filesystem::path pathFromUtf8(std::string_view text) { return std::filesystem::path(std::string(text)); }

std::string utf8FromPath(const std::filesystem::path& path) { return path.native(); }

std::filesystem::path longPathForm(const std::filesystem::path& path) { return path; }

std::string lastSystemError() { return std::strerror(errno); }

uint64_t processId() { return uint64_t(::getpid()); }

Utf8Arguments::Utf8Arguments(int argc, char** argv) : strings_(argv, argv + argc) {
    for (std::string& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
}

#endif

}  // namespace qev
