#include "pack/temporary_output.h"

#include <algorithm>
#include <system_error>

#include "shell/progress.h"
#include "system/temporaries.h"
#include "system/text.h"

namespace qev::pack {

TemporaryOutput::TemporaryOutput(const std::string& output)
    : output_(output), target_(pathFromUtf8(output)), name_(utf8FromPath(target_.filename())) {
    // OUTPUT.qev-pack-HOST-PID-N beside the output; messages name it by the output's path
    // as typed.
    TemporaryNames names("qev-pack");
    std::filesystem::path parent = target_.parent_path();
    folder_ = parent.empty() ? std::string(".") : utf8FromPath(parent);
    auto dir = openDirectoryPath(folder_);
    // Errors name the output, never the temporary the user did not ask for.
    if (!dir) throw PackError("Cannot create " + output + ": " + dir.error().text());
    dir_ = *dir;
    stale_ = names.removeStale(**dir);
    for (unsigned attempt = 0; !file_; ++attempt) {
        tempName_ = names.name(name_, std::to_string(attempt));
        auto made = NewFile::create(*dir, tempName_);
        if (made) {
            file_ = std::move(*made);
        } else if (!made.error().nameTaken || attempt >= 100) {
            throw PackError("Cannot create " + output + ": " + made.error().text());
        }
    }
}

std::string TemporaryOutput::staleNote() const {
    if (stale_.files == 0) return {};
    return "Removed " + std::to_string(stale_.files) + (stale_.files == 1 ? " temporary file" : " temporary files") +
           " (" + humanBytes(stale_.bytes) + ") left in " + folder_ + " by qev-pack runs that ended";
}

void TemporaryOutput::write(std::string_view bytes) { writeAt(written_, bytes); }

void TemporaryOutput::writeAt(uint64_t offset, std::string_view bytes) {
    auto error = file_->writeAt(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), offset);
    if (error) throw PackError("Failed to write " + output_ + ": " + error->text());
    written_ = std::max(written_, offset + bytes.size());
}

void TemporaryOutput::copyFrom(const InputFile& source, uint64_t from, uint64_t length) {
    auto error = file_->copyFrom(source, from, length, written_);
    if (error) throw PackError("Failed to write " + output_ + ": " + error->text());
    written_ += length;
}

bool TemporaryOutput::readAt(uint64_t offset, uint8_t* into, uint32_t count) {
    if (!reader_) {
        reader_ = openFileIn(*dir_, tempName_);
        // The name must still be the file this run made.
        auto status = reader_ ? reader_->status() : std::nullopt;
        if (!status || status->identity != file_->identity()) reader_.reset();
    }
    return reader_ && reader_->readAt(offset, into, count);
}

std::vector<Excluded> TemporaryOutput::excluded() const {
    std::vector<Excluded> out;
    if (auto id = file_->identity()) out.push_back({*id, tempName_});
    if (auto status = linkStatus(target_)) out.push_back({status->identity, name_});
    return out;
}

void TemporaryOutput::commit(bool replace) {
    if (name_.empty()) {
        throw PackError("Cannot create " + output_ + ": " + std::make_error_code(std::errc::is_a_directory).message());
    }
    reader_.reset();
    // The commit syncs the file before the rename and the folder after it.
    auto error = file_->commit(name_, {.time = std::nullopt, .sync = true, .replace = replace});
    if (error && error->nameTaken) throw PackError(existsMessage(output_));
    if (error) throw PackError("Cannot create " + output_ + ": " + error->text());
}

std::string TemporaryOutput::existsMessage(const std::string& output) {
    return "Output file exists (use --force to replace it): " + output;
}

}  // namespace qev::pack
