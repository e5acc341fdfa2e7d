#include "tool/native_path.h"

#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qev::tool {

#ifdef _WIN32

namespace {

// The code page the file functions read narrow strings in.
UINT fileInterfaceCodePage() {
    if (GetACP() == CP_UTF8) return CP_UTF8;
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

}  // namespace

std::optional<std::filesystem::path> toNativePath(const char* argument) {
    size_t length = std::strlen(argument);
    if (length > 0x7FFFFFFF) return std::nullopt;
    if (length == 0) return std::filesystem::path();
    UINT codePage = fileInterfaceCodePage();
    // Invalid sequences are refused, never replaced.
    int wide = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, argument, int(length), nullptr, 0);
    if (wide <= 0) return std::nullopt;
    std::wstring converted(size_t(wide), L'\0');
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, argument, int(length), converted.data(),
                            wide) != wide) {
        return std::nullopt;
    }
    return std::filesystem::path(converted);
}

#else

std::optional<std::filesystem::path> toNativePath(const char* argument) {
    return std::filesystem::path(std::string(argument));
}

#endif

}  // namespace qev::tool
