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
#include "system/new_file.h"

namespace qev::pack {

class TemporaryOutput {
public:
    // Throws PackError when the temporary cannot be made.
    explicit TemporaryOutput(const std::string& output);

    // Appends; throws PackError.
    void write(std::string_view bytes);
    uint64_t written() const { return written_; }

    // What the scan must leave out: this temporary, and an existing output about to be
    // replaced.
    std::vector<Excluded> excluded() const;

    // Makes the archive durable and puts it in place; refuses to replace an existing file
    // unless told to. Throws PackError.
    void commit(bool replace);

    static std::string existsMessage(const std::string& output);

private:
    std::string output_;
    std::filesystem::path target_;
    std::string name_;      // the output's name in its folder
    std::string tempName_;  // the temporary's
    std::unique_ptr<NewFile> file_;
    uint64_t written_ = 0;
};

}  // namespace qev::pack
