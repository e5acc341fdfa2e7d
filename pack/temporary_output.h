// The new archive, written to a temporary file beside the output and renamed into place
// only when complete and durable; removed on every other path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pack/source_tree.h"
#include "system/directory.h"
#include "system/file.h"
#include "system/new_file.h"
#include "system/temporaries.h"

namespace qev::pack {

class TemporaryOutput {
public:
    // Throws PackError when the temporary cannot be made.
    explicit TemporaryOutput(const std::string& output);

    // Appends; throws PackError.
    void write(std::string_view bytes);
    uint64_t written() const { return written_; }
    // Writes at `offset`, extending the file as needed; throws PackError.
    void writeAt(uint64_t offset, std::string_view bytes);
    // Appends `length` bytes of `source` from `from`, through the system's copy; throws
    // PackError.
    void copyFrom(const InputFile& source, uint64_t from, uint64_t length);
    // Reads back what was written; false when it cannot.
    bool readAt(uint64_t offset, uint8_t* into, uint32_t count);

    // What the scan must leave out: this temporary, and an existing output about to be
    // replaced.
    std::vector<Excluded> excluded() const;

    // Makes the archive durable and puts it in place; refuses to replace an existing file
    // unless told to. Throws PackError.
    void commit(bool replace);

    static std::string existsMessage(const std::string& output);

    // The line telling what temporaries of ended qev-pack runs were removed from the
    // output's folder (without "Warning: "); empty when none were.
    std::string staleNote() const;

private:
    std::string output_;
    std::filesystem::path target_;
    std::string name_;      // the output's name in its folder
    std::string tempName_;  // the temporary's
    SharedDir dir_;
    std::unique_ptr<NewFile> file_;
    std::unique_ptr<InputFile> reader_;
    uint64_t written_ = 0;
    std::string folder_;  // the output's folder, as the messages name it
    TemporaryNames::Removed stale_;
};

}  // namespace qev::pack
