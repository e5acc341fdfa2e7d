#include "system/process.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <cstdio>
#include <filesystem>

#include "system/text.h"

namespace qev {

uint64_t processId() { return GetCurrentProcessId(); }

std::string hostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return {};
    return std::string(name, size);
}

bool processRuns(uint64_t pid) {
    if (pid > 0xFFFFFFFFu) return true;
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (h == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
    bool runs = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return runs;
}

ProcessUser processUser() { return {}; }

std::optional<uint64_t> openFileLimit() { return std::nullopt; }

Utf8Arguments::Utf8Arguments(int argc, char** argv) {
    int wideCount = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    if (wide == nullptr) {
        strings_.assign(argv, argv + argc);
    } else {
        for (int i = 0; i < wideCount; ++i) strings_.push_back(utf8FromPath(std::filesystem::path(wide[i])));
        LocalFree(wide);
    }
    for (std::string& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
}

void makeStandardOutputBinary() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

unsigned standardErrorColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    return unsigned(info.srWindow.Right - info.srWindow.Left + 1);
}

bool standardErrorShowsProgress() {
    // A Windows console understands the erase sequence only once asked to (Windows 10
    // and later); where it cannot, no progress line is shown by default.
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!_isatty(_fileno(stderr)) || !GetConsoleMode(h, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

// The process heap is shared by every thread already and gives large blocks back.
void keepServerMemoryLean() {}

void openSystemLog(const char*) {}

void writeSystemLog(const std::string&) {}

void holdOwnConsoleOpen() {
    // A console of which this process is the only one: nobody else will show what it printed.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) != 1) return;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) return;
    std::fputs("\nPress a key to close this window.", stderr);
    std::fflush(stderr);
    FlushConsoleInputBuffer(input);
    for (;;) {
        INPUT_RECORD record;
        DWORD read = 0;
        if (!ReadConsoleInputW(input, &record, 1, &read) || read == 0) return;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
    }
}

}  // namespace qev
