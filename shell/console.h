// The output conventions every program shares: the two streams it writes to, the message
// texts, and the rules for writing to them.
//
// Every error is one line on the error stream beginning "Error: ", every warning one line
// beginning "Warning: "; every text line ends with a newline and a flush; a command's
// result goes to the output stream in one write.
#pragma once

#include <ostream>
#include <string_view>

namespace qev {

struct Console {
    std::ostream& out;
    std::ostream& err;
    // Puts the real standard output into binary mode where the platform translates line
    // ends; null for in-memory sinks.
    void (*makeOutputBinary)() = nullptr;
    // Whether the error stream is a terminal, where a progress line may be drawn.
    bool errorIsTerminal = false;
};

inline constexpr std::string_view kFailedToOpen = "Error: Failed to open QEV file: ";
inline constexpr std::string_view kOutputFailed = "Error: Failed to write to standard output";
inline constexpr std::string_view kOutOfMemory = "Error: Out of memory";
inline constexpr std::string_view kErrorPrefix = "Error: ";
inline constexpr std::string_view kWarningPrefix = "Warning: ";

// Writes one error line: the message, the detail exactly as given, a newline, a flush.
void printError(Console& console, std::string_view message, std::string_view detail = {});

// Writes one warning line: "Warning: ", the text, a newline, a flush.
void printWarning(Console& console, std::string_view text);

// Writes one line to the output stream and flushes; false when it could not be written.
bool printLine(Console& console, std::string_view text);

// Writes a command's result in one write and flushes. Returns the exit code: 0, or 1
// after reporting that standard output could not take it.
int emitResult(Console& console, std::string_view bytes);

// The console of a real process: standard output unbuffered and outside stdio, so each
// result or line reaches the descriptor as one system call.
Console processConsole(bool binaryOutput = false);

}  // namespace qev
