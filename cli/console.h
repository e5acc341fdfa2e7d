// The two output streams a command writes to, and the rules for writing to them.
//
// Every error is one line on the error stream beginning "Error: "; every text line ends
// with a newline and a flush; a command's result goes to the output stream in one write.
#pragma once

#include <ostream>
#include <string_view>

namespace qev::cli {

struct Console {
    std::ostream& out;
    std::ostream& err;
    // Puts the real standard output into binary mode where the platform translates line
    // ends; null for in-memory sinks.
    void (*makeOutputBinary)() = nullptr;
};

inline constexpr std::string_view kUnknownCommand = "Error: Unknown command: ";
inline constexpr std::string_view kMissingArchivePath = "Error: Missing QEV file path";
inline constexpr std::string_view kMissingArchiveOrFilePath =
    "Error: Missing QEV file path or file path";
inline constexpr std::string_view kFailedToOpen = "Error: Failed to open QEV file: ";
inline constexpr std::string_view kFileNotFound = "Error: File not found or is not a file: ";
inline constexpr std::string_view kIncompleteRead = "Error: Failed to read complete file";
inline constexpr std::string_view kOutputFailed = "Error: Failed to write to standard output";
inline constexpr std::string_view kOutOfMemory = "Error: Out of memory";

// Writes one error line: the message, the detail exactly as given, a newline, a flush.
void printError(Console& console, std::string_view message, std::string_view detail = {});

// Writes a command's result in one write and flushes. Returns the exit code: 0, or 1
// after reporting that standard output could not take it.
int emitResult(Console& console, std::string_view bytes);

// The binary-mode switch for the process's real standard output.
void makeStandardOutputBinary();

}  // namespace qev::cli
