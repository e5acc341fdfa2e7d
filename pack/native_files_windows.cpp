#include <windows.h>

#include <utility>

#include "console/native_text.h"
#include "pack/native_files.h"

// Every path goes to Windows in its long form, so that deep source trees are read whole.
namespace qev::pack {
namespace {

HANDLE asHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

int64_t ticks(const FILETIME& t) { return int64_t((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime); }

std::string cannotRead(const std::filesystem::path& path) {
    return "Cannot read " + utf8FromPath(path) + ": " + lastSystemError();
}

std::optional<FileIdentity> identityOfHandle(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool isValidUtf16(std::wstring_view name) {
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(), int(name.size()), nullptr, 0, nullptr,
                               nullptr) > 0;
}

EntryKind kindOf(DWORD attributes) {
    // Every reparse point (symbolic link, junction, mount point) counts as a link: none is
    // followed.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kLink;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::kDirectory : EntryKind::kFile;
}

}  // namespace

std::vector<Listed> listDirectory(const std::filesystem::path& dir) {
    std::wstring pattern = (longPathForm(dir) / L"*").native();
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    std::vector<Listed> out;
    if (find == INVALID_HANDLE_VALUE) {
        // A drive's root may hold nothing at all, not even "." and "..".
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return out;
        throw PackError(cannotRead(dir));
    }
    do {
        std::wstring_view name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        EntryKind kind = isValidUtf16(name) ? kindOf(data.dwFileAttributes) : EntryKind::kUnnamable;
        uint64_t size = kind == EntryKind::kFile ? (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow : 0;
        out.push_back({utf8FromPath(std::filesystem::path(name)), kind, size, {ticks(data.ftLastWriteTime), 0}, {}});
    } while (FindNextFileW(find, &data));
    DWORD error = GetLastError();
    FindClose(find);
    if (error != ERROR_NO_MORE_FILES) {
        SetLastError(error);
        throw PackError(cannotRead(dir));
    }
    return out;
}

std::optional<FileIdentity> identityOf(const std::filesystem::path& path) {
    HANDLE h = CreateFileW(longPathForm(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    auto id = identityOfHandle(h);
    CloseHandle(h);
    return id;
}

InputFile::InputFile(const std::filesystem::path& path) : path_(path) {
    // Shared for writing and deleting too, so that packing never stands in anyone's way;
    // the status taken before and after reading tells whether the file changed.
    HANDLE h = CreateFileW(longPathForm(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw PackError(cannotRead(path));
    handle_ = reinterpret_cast<intptr_t>(h);
}

InputFile::~InputFile() { CloseHandle(asHandle(handle_)); }

std::optional<InputFile::Status> InputFile::status() const {
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(asHandle(handle_), FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(asHandle(handle_), FileStandardInfo, &standard, sizeof standard)) {
        return std::nullopt;
    }
    bool regular = (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    return Status{regular, uint64_t(standard.EndOfFile.QuadPart),
                  {int64_t(basic.LastWriteTime.QuadPart), int64_t(basic.ChangeTime.QuadPart)}};
}

size_t InputFile::readSome(char* into, size_t capacity) {
    DWORD got = 0;
    DWORD asked = DWORD(capacity < (DWORD(1) << 30) ? capacity : (DWORD(1) << 30));
    if (!ReadFile(asHandle(handle_), into, asked, &got, nullptr)) throw PackError(cannotRead(path_));
    return got;
}

void OutputFile::close() {
    if (handle_ != -1) CloseHandle(asHandle(std::exchange(handle_, -1)));
}

OutputFile::~OutputFile() { close(); }

OutputFile::Created OutputFile::create(const std::filesystem::path& path) {
    // CREATE_NEW refuses anything at the name, a link included.
    HANDLE h = CreateFileW(longPathForm(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? Created::kExists : Created::kFailed;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return Created::kYes;
}

bool OutputFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD n = 0;
        DWORD asked = DWORD(bytes.size() < (size_t(1) << 30) ? bytes.size() : (size_t(1) << 30));
        if (!WriteFile(asHandle(handle_), bytes.data(), asked, &n, nullptr)) return false;
        if (n == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        bytes.remove_prefix(n);
    }
    return true;
}

std::optional<FileIdentity> OutputFile::identity() const { return identityOfHandle(asHandle(handle_)); }

bool OutputFile::syncAndClose() {
    if (handle_ == -1) return false;
    bool flushed = FlushFileBuffers(asHandle(handle_));
    DWORD error = GetLastError();
    bool closed = CloseHandle(asHandle(std::exchange(handle_, -1)));
    if (!flushed) SetLastError(error);
    return flushed && closed;
}

Moved moveFile(const std::filesystem::path& from, const std::filesystem::path& to, bool replace) {
    DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(longPathForm(from).c_str(), longPathForm(to).c_str(), flags)) return Moved::kYes;
    DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? Moved::kExists : Moved::kFailed;
}

void removeFile(const std::filesystem::path& path) { DeleteFileW(longPathForm(path).c_str()); }


}  // namespace qev::pack
