#include "system/text.h"

#include <windows.h>
#include <winternl.h>

#include <cstring>

extern "C" NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING, PCUNICODE_STRING, BOOLEAN);

namespace qev {

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
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);         // \\server\share
    return L"\\\\?\\" + full;
}

std::string systemErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide = n > 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
    LocalFree(text);
    // One line, without the closing period, like the other reasons in messages.
    while (!wide.empty() &&
           (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ' || wide.back() == L'.')) {
        wide.pop_back();
    }
    return wide.empty() ? "Windows error " + std::to_string(code) : utf8FromWide(wide);
}

std::string lastSystemError() { return systemErrorText(GetLastError()); }

unsigned long lastSystemErrorCode() { return GetLastError(); }

bool hasUtf8Form(const std::filesystem::path& name) {
    const std::wstring& wide = name.native();
    return wide.size() < 0x7FFFFFFF && WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), int(wide.size()),
                                                           nullptr, 0, nullptr, nullptr) > 0;
}

std::string upcaseName(std::string_view name) {
    std::wstring wide = wideFromUtf8(name);
    if (!wide.empty() && wide.size() < 0x7FFF) {
        UNICODE_STRING from{USHORT(wide.size() * 2), USHORT(wide.size() * 2), wide.data()};
        std::wstring upper(wide.size(), L'\0');
        UNICODE_STRING to{0, USHORT(upper.size() * 2), upper.data()};
        if (NT_SUCCESS(RtlUpcaseUnicodeString(&to, &from, FALSE))) return utf8FromWide(upper);
    }
    std::string upper(name);
    for (char& c : upper) c = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    return upper;
}

namespace {

// The code page the file functions read narrow strings in.
UINT fileInterfaceCodePage() {
    if (GetACP() == CP_UTF8) return CP_UTF8;
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

}  // namespace

std::optional<std::filesystem::path> pathFromNarrowArgument(const char* argument) {
    size_t length = std::strlen(argument);
    if (length > 0x7FFFFFFF) return std::nullopt;
    if (length == 0) return std::filesystem::path();
    UINT codePage = fileInterfaceCodePage();
    // Invalid sequences are refused, never replaced.
    int wide = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, argument, int(length), nullptr, 0);
    if (wide <= 0) return std::nullopt;
    std::wstring converted(size_t(wide), L'\0');
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, argument, int(length), converted.data(), wide) != wide) {
        return std::nullopt;
    }
    return std::filesystem::path(converted);
}

}  // namespace qev
