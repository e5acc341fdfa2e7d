// Directories and new files on Windows, both through NT calls relative to an open
// directory handle, as openat works on POSIX.
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "system/directory.h"
#include "system/new_file.h"
#include "system/text.h"
#include "system/windows/handle_info.h"

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                               FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);

namespace qev {
namespace {

// The few NTSTATUS values looked at here (ntstatus.h clashes with windows.h).
constexpr NTSTATUS kNameInvalid = NTSTATUS(0xC0000033);
constexpr NTSTATUS kNotADirectory = NTSTATUS(0xC0000103);
constexpr NTSTATUS kNameCollision = NTSTATUS(0xC0000035);

constexpr ACCESS_MASK kDirAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::string_view kLinkInTheWay = "a symbolic link of that name is in the way";

SystemError fromStatus(NTSTATUS status) { return SystemError{int(RtlNtStatusToDosError(status)), {}}; }
SystemError fromLastError() { return SystemError{int(GetLastError()), {}}; }

UNICODE_STRING counted(std::wstring& text) {
    return {USHORT(text.size() * sizeof(wchar_t)), USHORT(text.size() * sizeof(wchar_t)), text.data()};
}

// Opens `name` inside `parent` as openat does: relative to the open directory, never a path
// (the name holds no separator). FILE_OPEN_REPARSE_POINT opens a link itself, never what it
// points to.
NTSTATUS openRelative(HANDLE parent, std::string_view name, ACCESS_MASK access, ULONG disposition, ULONG options,
                      HANDLE& out, ULONG_PTR* information = nullptr) {
    std::wstring wide = pathFromUtf8(name).native();
    if (wide.empty() || wide.size() * sizeof(wchar_t) > 0xFFFE) return kNameInvalid;
    UNICODE_STRING objectName = counted(wide);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK io{};
    NTSTATUS status =
        NtCreateFile(&out, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, kShareAll, disposition,
                     options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (information != nullptr) *information = io.Information;
    return status;
}

// The entry `name` as its directory lists it: attributes and file id.
std::optional<FILE_ID_BOTH_DIR_INFO> listedEntry(HANDLE parent, std::string_view name) {
    // A handle of its own: a directory handle keeps one search pattern and position.
    std::wstring self;
    UNICODE_STRING none = counted(self);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &none, 0, parent, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE dir;
    if (!NT_SUCCESS(NtCreateFile(&dir, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &io, nullptr, 0, kShareAll,
                                 FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0))) {
        return std::nullopt;
    }
    // Names written here hold no wildcard, so the pattern matches that one name.
    std::wstring wide = pathFromUtf8(name).native();
    UNICODE_STRING pattern = counted(wide);
    std::vector<unsigned char> buffer(sizeof(FILE_ID_BOTH_DIR_INFO) + 1024 * sizeof(wchar_t));
    NTSTATUS status = NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &io, buffer.data(), ULONG(buffer.size()),
                                           FileIdBothDirectoryInformation, TRUE, &pattern, TRUE);
    CloseHandle(dir);
    if (!NT_SUCCESS(status)) return std::nullopt;
    FILE_ID_BOTH_DIR_INFO entry;
    std::memcpy(&entry, buffer.data(), sizeof entry);
    return entry;
}

// Whether a handle opened as `name` inside `parent` holds that entry itself, and the
// entry is no link. Windows opens a link itself when asked to and marks it in the
// attributes; Wine may follow a Unix symbolic link all the same, and even remove its
// target through the handle, so a link is never used or removed here: only the
// directory's own entry (not a link, and the same file id) passes.
bool isPlainEntry(HANDLE parent, std::string_view name, HANDLE h) {
    FILE_BASIC_INFO basic;
    std::optional<FileIdentity> identity = identityOfHandle(h);
    if (!identity || !GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    auto listed = listedEntry(parent, name);
    if (!listed || (listed->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    // Some file systems (FAT) list no file ids; they hold no links either.
    uint64_t id = uint64_t(listed->FileId.QuadPart);
    return id == 0 || id == identity->index;
}

// Gives an open file or directory the time `t` as its last write and access time.
bool setTime(HANDLE h, FileTime t) {
    int64_t ticks = windowsTicksFromFileTime(t);
    if (ticks <= 0) return true;  // before 1601: Windows has no such time, so none is set
    FILE_BASIC_INFO basic{};      // zero times are left as they are
    basic.LastWriteTime.QuadPart = ticks;
    basic.LastAccessTime.QuadPart = ticks;
    return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
}

// Removes the file `name` inside `parent`; refuses a link.
std::optional<SystemError> removeEntry(HANDLE parent, std::string_view name) {
    HANDLE h;
    NTSTATUS status = openRelative(parent, name, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, 0, h);
    if (!NT_SUCCESS(status)) return fromStatus(status);
    std::optional<SystemError> error;
    FILE_DISPOSITION_INFO remove{TRUE};
    if (!isPlainEntry(parent, name, h)) {
        error = SystemError{ERROR_CANT_RESOLVE_FILENAME, std::string(kLinkInTheWay)};
    } else if (!SetFileInformationByHandle(h, FileDispositionInfo, &remove, sizeof remove)) {
        error = fromLastError();
    }
    CloseHandle(h);
    return error;
}

bool anyEntryIn(HANDLE dir) {
    std::vector<unsigned char> buffer(64 * 1024);
    auto* entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(buffer.data());
    if (!GetFileInformationByHandleEx(dir, FileIdBothDirectoryRestartInfo, entry, DWORD(buffer.size()))) {
        return GetLastError() != ERROR_NO_MORE_FILES;
    }
    for (;;) {
        std::wstring_view name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
        if (name != L"." && name != L"..") return true;
        if (entry->NextEntryOffset == 0) break;
        entry =
            reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<unsigned char*>(entry) + entry->NextEntryOffset);
    }
    // "." and ".." fill no 64 KiB buffer: anything else would follow in a next batch.
    if (GetFileInformationByHandleEx(dir, FileIdBothDirectoryInfo, buffer.data(), DWORD(buffer.size()))) return true;
    return GetLastError() != ERROR_NO_MORE_FILES;
}

SharedDir share(HANDLE h) { return std::make_shared<const DirHandle>(h); }

}  // namespace

DirHandle::~DirHandle() { CloseHandle(handle_); }

std::string SystemError::text() const { return message.empty() ? systemErrorText(DWORD(code)) : message; }

bool failsEveryFile(const SystemError& error) {
    constexpr DWORD kDiskQuotaExceeded = 1295;  // ERROR_DISK_QUOTA_EXCEEDED, which MinGW's headers lack
    if (!error.message.empty()) return false;
    DWORD code = DWORD(error.code);
    return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL || code == ERROR_WRITE_PROTECT ||
           code == ERROR_ACCESS_DENIED || code == kDiskQuotaExceeded;
}

Expected<SharedDir, SystemError> openDirectoryPath(const std::string& path) {
    HANDLE h = CreateFileW(longPathForm(pathFromUtf8(path)).c_str(), kDirAccess, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fromLastError();
    SharedDir dir = share(h);
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return SystemError{ERROR_DIRECTORY, {}};
    }
    return dir;
}

bool holdsAnything(const DirHandle& dir) { return anyEntryIn(dir.native()); }

Expected<SharedDir, SystemError> openDirectory(const DirHandle& parent, std::string_view name) {
    HANDLE h;
    NTSTATUS status = openRelative(parent.native(), name, kDirAccess, FILE_OPEN, FILE_DIRECTORY_FILE, h);
    if (!NT_SUCCESS(status)) return fromStatus(status);
    SharedDir dir = share(h);
    if (!isPlainEntry(parent.native(), name, h)) {
        return SystemError{ERROR_CANT_RESOLVE_FILENAME, std::string(kLinkInTheWay)};
    }
    return dir;
}

Expected<SharedDir, SystemError> makeDirectory(const DirHandle& parent, std::string_view name, bool force,
                                               bool* created) {
    for (int attempt = 0;; ++attempt) {
        HANDLE h;
        ULONG_PTR information = 0;
        NTSTATUS status =
            openRelative(parent.native(), name, kDirAccess, FILE_OPEN_IF, FILE_DIRECTORY_FILE, h, &information);
        if (NT_SUCCESS(status)) {
            if (created != nullptr) *created = information == FILE_CREATED;
            if (isPlainEntry(parent.native(), name, h)) return share(h);
            CloseHandle(h);
            return SystemError{ERROR_CANT_RESOLVE_FILENAME, std::string(kLinkInTheWay)};
        }
        if (status != kNotADirectory) return fromStatus(status);
        // A file in the way: replaced only when forced, and only once. A link is never
        // removed (see isPlainEntry).
        if (!force || attempt > 0) return SystemError{ERROR_ALREADY_EXISTS, {}};
        if (auto error = removeEntry(parent.native(), name)) return *error;
    }
}

std::optional<FileIdentity> identityOf(const DirHandle& dir) { return identityOfHandle(dir.native()); }

std::optional<SystemError> removeFile(const DirHandle& dir, std::string_view name) {
    return removeEntry(dir.native(), name);
}

bool canOpenParent() { return false; }

std::unique_ptr<InputFile> openFileIn(const DirHandle& dir, std::string_view name) {
    // Shared for writing and deleting too, so that reading never stands in anyone's way.
    HANDLE h;
    NTSTATUS status = openRelative(dir.native(), name, GENERIC_READ | SYNCHRONIZE, FILE_OPEN,
                                   FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, h);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return nullptr;
    }
    return std::unique_ptr<InputFile>(new InputFile(reinterpret_cast<intptr_t>(h)));
}

Expected<std::vector<ListedEntry>, ListFailure> listDirectory(const DirHandle& dir) {
    std::vector<unsigned char> buffer(64 * 1024);
    std::vector<ListedEntry> out;
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(dir.native(), kind, buffer.data(), DWORD(buffer.size()))) {
        kind = FileIdBothDirectoryInfo;
        for (size_t at = 0;;) {
            const auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + at);
            std::filesystem::path name(std::wstring(e->FileName, e->FileNameLength / sizeof(wchar_t)));
            if (name != L"." && name != L"..") {
                FileKind k = hasUtf8Form(name) ? kindOfAttributes(e->FileAttributes) : FileKind::kUnnamable;
                uint64_t size = k == FileKind::kFile ? uint64_t(e->EndOfFile.QuadPart) : 0;
                // As a listing of names: the change time and identity are looked up when needed.
                out.push_back(
                    {utf8FromPath(name), k, size, fileTimeFromWindowsTicks(e->LastWriteTime.QuadPart), 0, {}});
            }
            if (e->NextEntryOffset == 0) break;
            at += e->NextEntryOffset;
        }
    }
    DWORD error = GetLastError();
    // An empty drive root has nothing at all, not even "." and "..".
    if (error != ERROR_NO_MORE_FILES && error != ERROR_FILE_NOT_FOUND) return ListFailure{{}, systemErrorText(error)};
    return out;
}

std::optional<FileIdentity> entryIdentity(const DirHandle& dir, std::string_view name) {
    HANDLE h;
    if (!NT_SUCCESS(openRelative(dir.native(), name, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, 0, h))) {
        return std::nullopt;
    }
    DirHandle entry(h);
    return identityOf(entry);
}

// Windows compares names without regard to letter case (a folder may be made otherwise,
// which few ever are).
std::optional<bool> foldsLetterCase(const DirHandle&, std::string_view) { return true; }

bool canSyncFilesystem() { return false; }

std::optional<SystemError> syncFilesystem(const DirHandle&) { return SystemError{ERROR_NOT_SUPPORTED, {}}; }

Expected<SharedDir, SystemError> openParent(const DirHandle&) { return SystemError{ERROR_NOT_SUPPORTED, {}}; }

void setDirectoryTime(const DirHandle& parent, std::string_view name, FileTime time) {
    HANDLE h;
    ACCESS_MASK access = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    if (!NT_SUCCESS(openRelative(parent.native(), name, access, FILE_OPEN, FILE_DIRECTORY_FILE, h))) return;
    if (isPlainEntry(parent.native(), name, h)) setTime(h, time);
    CloseHandle(h);
}

Expected<std::unique_ptr<NewFile>, SystemError> NewFile::create(SharedDir dir, std::string temp) {
    HANDLE h;
    NTSTATUS status =
        openRelative(dir->native(), temp, GENERIC_WRITE | DELETE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, h);
    if (!NT_SUCCESS(status)) {
        SystemError error = fromStatus(status);
        error.nameTaken = status == kNameCollision;
        return error;
    }
    return std::unique_ptr<NewFile>(new NewFile(std::move(dir), std::move(temp), h));
}

NewFile::~NewFile() {
    if (!open_) return;
    if (!committed_) {
        FILE_DISPOSITION_INFO remove{TRUE};
        SetFileInformationByHandle(handle_, FileDispositionInfo, &remove, sizeof remove);
    }
    CloseHandle(handle_);
}

std::optional<SystemError> NewFile::writeAt(const uint8_t* data, uint64_t length, uint64_t offset) {
    while (length > 0) {
        // The offset travels with each call: writers share no file position.
        OVERLAPPED at{};
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        DWORD asked = DWORD(length < (uint64_t(1) << 30) ? length : (uint64_t(1) << 30));
        DWORD n = 0;
        if (!WriteFile(handle_, data, asked, &n, &at)) return fromLastError();
        if (n == 0) return SystemError{ERROR_DISK_FULL, {}};
        data += n;
        length -= n;
        offset += n;
    }
    return std::nullopt;
}

std::optional<SystemError> NewFile::copyFrom(const InputFile& source, uint64_t from, uint64_t length, uint64_t at) {
    return copyThroughMemory(source, from, length, at);
}

std::optional<FileIdentity> NewFile::identity() const {
    if (!open_) return std::nullopt;
    return identityOfHandle(handle_);
}

std::optional<SystemError> NewFile::sync() {
    if (!FlushFileBuffers(handle_)) return fromLastError();
    return std::nullopt;
}

std::optional<SystemError> NewFile::commit(const std::string& name, const Commit& how) {
    if (how.time && !setTime(handle_, *how.time)) return fromLastError();
    if (how.sync && !FlushFileBuffers(handle_)) return fromLastError();
    // Renamed through its own handle, relative to its directory: a file or link of that
    // name is replaced only when asked, and never followed. (Windows flushes a directory
    // by itself; it has no call for it.)
    std::wstring wide = pathFromUtf8(name).native();
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFORMATION) + wide.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = how.replace ? TRUE : FALSE;
    rename->RootDirectory = dir_->native();
    rename->FileNameLength = ULONG(wide.size() * sizeof(wchar_t));
    wide.copy(rename->FileName, wide.size());
    IO_STATUS_BLOCK io{};
    NTSTATUS status = NtSetInformationFile(handle_, &io, rename, ULONG(buffer.size()), FileRenameInformation);
    if (!NT_SUCCESS(status)) {
        if (!how.replace && status == kNameCollision) return SystemError{ERROR_ALREADY_EXISTS, {}, true};
        HANDLE probe;
        if (NT_SUCCESS(openRelative(dir_->native(), name, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                                    FILE_DIRECTORY_FILE, probe))) {
            CloseHandle(probe);
            return SystemError{ERROR_ALREADY_EXISTS, std::string(kDirectoryInTheWay)};
        }
        return fromStatus(status);
    }
    committed_ = true;
    open_ = false;
    if (!CloseHandle(handle_)) return fromLastError();
    return std::nullopt;
}

}  // namespace qev
