#include "archive/testing/archive_builder.h"

#include <zstd.h>

#include <fstream>
#include <stdexcept>

#include "archive/write/parallel_blocks.h"

namespace qev::testing {

std::string compressed(std::string_view bytes, int level) {
    std::string packed(ZSTD_compressBound(bytes.size()), '\0');
    size_t n = ZSTD_compress(packed.data(), packed.size(), bytes.data(), bytes.size(), level);
    if (ZSTD_isError(n)) throw std::runtime_error("ZSTD_compress failed");
    packed.resize(n);
    return packed;
}

ArchiveBuilder::ArchiveBuilder() { nodes_.push_back(Node{}); }

size_t ArchiveBuilder::addNode(size_t parent, std::string_view name, bool isFile) {
    nodes_.push_back(Node{std::string(name), isFile, {}, {}});
    nodes_[parent].children.push_back(nodes_.size() - 1);
    return nodes_.size() - 1;
}

size_t ArchiveBuilder::childNamed(size_t parent, std::string_view name) {
    for (size_t c : nodes_[parent].children) {
        if (!nodes_[c].isFile && nodes_[c].name == name) return c;
    }
    return addNode(parent, name, false);
}

static std::vector<std::string_view> splitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    for (size_t i = 0; i <= path.size();) {
        size_t end = std::min(path.find('/', i), path.size());
        if (end > i) parts.push_back(path.substr(i, end - i));
        i = end + 1;
    }
    return parts;
}

ArchiveBuilder& ArchiveBuilder::dir(std::string_view path) {
    size_t at = 0;
    for (std::string_view part : splitPath(path)) at = childNamed(at, part);
    return *this;
}

ArchiveBuilder& ArchiveBuilder::file(std::string_view path, std::string contents) {
    std::vector<std::string_view> parts = splitPath(path);
    if (parts.empty()) throw std::invalid_argument("a file needs a name");
    size_t at = 0;
    for (size_t i = 0; i + 1 < parts.size(); ++i) at = childNamed(at, parts[i]);
    nodes_[addNode(at, parts.back(), true)].contents = std::move(contents);
    return *this;
}

ArchiveBuilder& ArchiveBuilder::compressionLevel(int level) {
    level_ = level;
    return *this;
}

ArchiveBuilder& ArchiveBuilder::twoBytePrefixes() {
    twoByte_ = true;
    return *this;
}

ArchiveBuilder& ArchiveBuilder::leadingBytes(size_t count) {
    leading_ = count;
    return *this;
}

ArchiveBuilder& ArchiveBuilder::editNames(std::function<void(std::string&)> edit) {
    nameEdits_.push_back(std::move(edit));
    return *this;
}

ArchiveBuilder& ArchiveBuilder::editTree(std::function<void(std::vector<TreeEntry>&)> edit) {
    treeEdits_.push_back(std::move(edit));
    return *this;
}

ArchiveBuilder& ArchiveBuilder::editNamesAndTree(std::function<void(std::string&, std::vector<TreeEntry>&)> edit) {
    jointEdits_.push_back(std::move(edit));
    return *this;
}

ArchiveBuilder& ArchiveBuilder::editBlock(uint64_t blockIndex, std::function<void(std::string&)> edit) {
    blockEdits_.emplace_back(blockIndex, std::move(edit));
    return *this;
}

ArchiveBuilder& ArchiveBuilder::editRecords(std::function<void(std::vector<BlockOffsetRecord>&)> edit) {
    recordEdits_.push_back(std::move(edit));
    return *this;
}

ArchiveBuilder& ArchiveBuilder::editFooter(std::function<void(ArchiveFooter&)> edit) {
    footerEdits_.push_back(std::move(edit));
    return *this;
}

ArchiveBuilder& ArchiveBuilder::editBytes(std::function<void(std::string&)> edit) {
    byteEdits_.push_back(std::move(edit));
    return *this;
}

writer::TreeLayout ArchiveBuilder::layOut() const {
    std::vector<writer::WriterNode> plan;
    for (const Node& n : nodes_) plan.push_back({n.name, n.isFile, n.contents.size(), n.children});
    return writer::layOutTree(plan, twoByte_);
}

NodeId ArchiveBuilder::node(std::string_view path) const {
    writer::TreeLayout l = layOut();
    size_t at = 0;
    for (std::string_view part : splitPath(path)) {
        size_t found = SIZE_MAX;
        for (size_t c : nodes_[at].children) {
            if (nodes_[c].name == part) found = c;
        }
        if (found == SIZE_MAX) return kInvalidNode;
        at = found;
    }
    for (size_t id = 0; id < l.order.size(); ++id) {
        if (l.order[id] == at) return NodeId(id);
    }
    return kInvalidNode;
}

std::string ArchiveBuilder::build() const {
    writer::TreeLayout l = layOut();
    for (const auto& edit : nameEdits_) edit(l.names);
    for (const auto& edit : treeEdits_) edit(l.entries);
    for (const auto& edit : jointEdits_) edit(l.names, l.entries);

    std::vector<std::string> stored;
    writer::ParallelBlockWriter packer(level_, 1, [&](std::string_view block) { stored.emplace_back(block); });
    for (size_t index : l.order) packer.append(nodes_[index].contents);
    packer.finish();
    for (auto& [index, edit] : blockEdits_) {
        if (index >= stored.size()) throw std::out_of_range("editBlock: no such block");
        edit(stored[index]);
    }
    std::string data;
    std::vector<uint32_t> lengths;
    for (const std::string& block : stored) {
        data += block;
        lengths.push_back(uint32_t(block.size()));
    }
    std::vector<BlockOffsetRecord> records = writer::offsetRecordsFor(lengths);
    for (const auto& edit : recordEdits_) edit(records);

    ArchiveFooter f = writer::footerFor(leading_, data.size(), records.size(), l.names.size(), l.entries.size());
    for (const auto& edit : footerEdits_) edit(f);
    std::string file =
        std::string(leading_, '\x5A') + data + writer::encodeTables(records, l.names, l.entries) + encodeFooter(f);
    for (const auto& edit : byteEdits_) edit(file);
    return file;
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

void ArchiveBuilder::writeTo(const std::filesystem::path& path) const { writeFile(path, build()); }

std::string incompressible(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x >> 24);
    }
    return out;
}

std::string patterned(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = char('a' + (i / 7 + i / 4093 * 5 + seed) % 26);
    return out;
}

}  // namespace qev::testing
