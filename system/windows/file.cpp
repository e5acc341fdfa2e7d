#include "system/file.h"

#include <windows.h>

#include "system/text.h"
#include "system/windows/handle_info.h"

namespace qev {

FileKind kindOfAttributes(unsigned long attributes) {
    // Every reparse point (symbolic link, junction, mount point) counts as a link: none is
    // followed.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileKind::kLink;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::kDirectory : FileKind::kFile;
}

std::optional<FileIdentity> identityOfHandle(void* handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE asHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// A file on a disk (not a pipe, console or device), or INVALID_HANDLE_VALUE with the
// reason as the last error.
HANDLE openDiskFile(const wchar_t* path, DWORD access, DWORD share) {
    HANDLE h = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        SetLastError(ERROR_INVALID_FUNCTION);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

// ReadFile or WriteFile of exactly `count` bytes at `offset`. The offset travels with each
// call, so that callers share no file position.
template <typename Transfer, typename Byte>
bool transferAt(HANDLE h, Transfer transfer, uint64_t offset, Byte* data, uint32_t count) {
    while (count > 0) {
        OVERLAPPED at{};
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        DWORD done = 0;
        if (!transfer(h, data, count, &done, &at) || done == 0) return false;
        offset += done;
        data += done;
        count -= done;
    }
    return true;
}

std::optional<FileStatus> statusOfHandle(HANDLE h) {
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    std::optional<FileIdentity> identity = identityOfHandle(h);
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard) || !identity) {
        return std::nullopt;
    }
    FileStatus s;
    s.kind = kindOfAttributes(basic.FileAttributes);
    s.size = standard.EndOfFile.QuadPart > 0 ? uint64_t(standard.EndOfFile.QuadPart) : 0;
    s.modified = fileTimeFromWindowsTicks(basic.LastWriteTime.QuadPart);
    s.changed = fileTimeFromWindowsTicks(basic.ChangeTime.QuadPart);
    s.accessed = fileTimeFromWindowsTicks(basic.LastAccessTime.QuadPart);
    s.identity = *identity;
    s.links = standard.DeletePending ? 0 : uint64_t(standard.NumberOfLinks);
    return s;
}

}  // namespace

std::unique_ptr<InputFile> InputFile::open(const std::filesystem::path& path) {
    // As given: without FILE_FLAG_BACKUP_SEMANTICS a directory does not open.
    HANDLE h = openDiskFile(path.c_str(), GENERIC_READ, kShareAll);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::unique_ptr<InputFile>(new InputFile(reinterpret_cast<intptr_t>(h)));
}

InputFile::~InputFile() { CloseHandle(asHandle(handle_)); }

bool InputFile::readAt(uint64_t offset, uint8_t* destination, uint32_t count) const {
    return transferAt(asHandle(handle_), ::ReadFile, offset, destination, count);
}

std::unique_ptr<FileInPlace> FileInPlace::open(const std::filesystem::path& path) {
    // Others may read meanwhile, but not write.
    HANDLE h = openDiskFile(longPathForm(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::unique_ptr<FileInPlace>(new FileInPlace(reinterpret_cast<intptr_t>(h)));
}

bool FileInPlace::writeAt(uint64_t offset, const uint8_t* data, uint32_t count) {
    return transferAt(asHandle(handle_), ::WriteFile, offset, data, count);
}

bool FileInPlace::sync() { return FlushFileBuffers(asHandle(handle_)) != 0; }

std::optional<size_t> InputFile::readSome(char* into, size_t capacity) {
    DWORD got = 0;
    DWORD asked = DWORD(capacity < (DWORD(1) << 30) ? capacity : (DWORD(1) << 30));
    if (!::ReadFile(asHandle(handle_), into, asked, &got, nullptr)) return std::nullopt;
    return size_t(got);
}

std::optional<uint64_t> InputFile::size() const {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(asHandle(handle_), &size) || size.QuadPart < 0) return std::nullopt;
    return uint64_t(size.QuadPart);
}

std::optional<FileStatus> InputFile::status() const { return statusOfHandle(asHandle(handle_)); }

std::optional<FileStatus> linkStatus(const std::filesystem::path& path) {
    HANDLE h = CreateFileW(longPathForm(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    auto status = statusOfHandle(h);
    CloseHandle(h);
    return status;
}

}  // namespace qev
