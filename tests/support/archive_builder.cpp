#include "tests/support/archive_builder.h"

#include <stdlib.h>
#include <zstd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qev::testing {

std::string storeBE16(uint16_t v) { return {char(v >> 8), char(v)}; }
std::string storeBE32(uint32_t v) { return storeBE16(uint16_t(v >> 16)) + storeBE16(uint16_t(v)); }
std::string storeBE64(uint64_t v) { return storeBE32(uint32_t(v >> 32)) + storeBE32(uint32_t(v)); }

std::string encodeFooter(const ArchiveFooter& f) {
    std::string out;
    for (const SectionRange* s : f.sections()) out += storeBE64(s->offset) + storeBE64(s->size);
    out.append(reinterpret_cast<const char*>(f.opaqueBytes.data()), f.opaqueBytes.size());
    out += storeBE64(f.archiveSize) + storeBE32(f.formatVersion) + storeBE32(f.magic);
    return out;
}

std::string encodeOffsetRecord(const BlockOffsetRecord& record) {
    std::string out = storeBE64(record.base);
    for (uint16_t s : record.storedSizes) out += storeBE16(s);
    return out;
}

std::string encodeTreeEntry(const TreeEntry& entry) {
    std::string out;
    for (uint32_t w : entry.words) out += storeBE32(w);
    return out;
}

std::string encodeName(std::string_view name, bool twoByte) {
    if (name.size() > 32767) throw std::invalid_argument("name longer than 32767 bytes");
    std::string out;
    if (name.size() < 0x80 && !twoByte) {
        out += char(name.size());
    } else {
        out += char(0x80 | (name.size() & 0x7F));
        out += char(name.size() >> 7);
    }
    return out.append(name);
}

TreeEntry directoryEntry(uint32_t nameRef, uint32_t firstChild, uint32_t childCount) {
    return TreeEntry{{nameRef & kNameOffsetMask, firstChild, childCount, 0}};
}

TreeEntry fileEntry(uint32_t nameRef, uint64_t start, uint64_t size) {
    uint32_t high = uint32_t((size >> 32) & 0xFFFF) << 16 | uint32_t((start >> 32) & 0xFFFF);
    return TreeEntry{{nameRef | kFileFlag, uint32_t(start), uint32_t(size), high}};
}

std::string compressed(std::string_view bytes, int level) {
    std::string packed(ZSTD_compressBound(bytes.size()), '\0');
    size_t n = ZSTD_compress(packed.data(), packed.size(), bytes.data(), bytes.size(), level);
    if (ZSTD_isError(n)) throw std::runtime_error("ZSTD_compress failed");
    packed.resize(n);
    return packed;
}

namespace {

// A block is stored raw unless compression brings it below kBlockSize.
std::string storeBlock(std::string_view block, int level) {
    std::string packed = compressed(block, level);
    return packed.size() < kBlockSize ? packed : std::string(block);
}

uint16_t storedSizeOf(const std::string& stored) {
    return stored.empty() ? 0 : uint16_t(std::min<size_t>(stored.size(), kBlockSize) - 1);
}

}  // namespace

struct ArchiveBuilder::Layout {
    std::vector<size_t> order;          // NodeId -> index into nodes_
    std::vector<uint32_t> firstChild;   // NodeId -> NodeId of its first child
};

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

ArchiveBuilder& ArchiveBuilder::editNamesAndTree(
    std::function<void(std::string&, std::vector<TreeEntry>&)> edit) {
    jointEdits_.push_back(std::move(edit));
    return *this;
}

ArchiveBuilder& ArchiveBuilder::editBlock(uint64_t blockIndex,
                                          std::function<void(std::string&)> edit) {
    blockEdits_.emplace_back(blockIndex, std::move(edit));
    return *this;
}

ArchiveBuilder& ArchiveBuilder::editRecords(
    std::function<void(std::vector<BlockOffsetRecord>&)> edit) {
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

ArchiveBuilder::Layout ArchiveBuilder::layOut() const {
    Layout l;
    l.order.push_back(0);
    for (size_t id = 0; id < l.order.size(); ++id) {
        l.firstChild.push_back(uint32_t(l.order.size()));
        for (size_t c : nodes_[l.order[id]].children) l.order.push_back(c);
    }
    return l;
}

NodeId ArchiveBuilder::node(std::string_view path) const {
    Layout l = layOut();
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
    Layout l = layOut();

    std::string names;
    std::vector<uint32_t> nameRefs(l.order.size(), kNoName);
    for (size_t id = 1; id < l.order.size(); ++id) {
        nameRefs[id] = uint32_t(names.size());
        names += encodeName(nodes_[l.order[id]].name, twoByte_);
    }
    for (const auto& edit : nameEdits_) edit(names);

    std::string stream;
    std::vector<TreeEntry> tree;
    for (size_t id = 0; id < l.order.size(); ++id) {
        const Node& n = nodes_[l.order[id]];
        if (n.isFile) {
            tree.push_back(fileEntry(nameRefs[id], stream.size(), n.contents.size()));
            stream += n.contents;
        } else {
            tree.push_back(directoryEntry(nameRefs[id], l.firstChild[id], uint32_t(n.children.size())));
        }
    }
    for (const auto& edit : treeEdits_) edit(tree);
    for (const auto& edit : jointEdits_) edit(names, tree);

    stream.resize((stream.size() + kBlockSize - 1) / kBlockSize * kBlockSize, '\0');
    std::vector<std::string> stored;
    for (size_t at = 0; at < stream.size(); at += kBlockSize) {
        stored.push_back(storeBlock(std::string_view(stream).substr(at, kBlockSize), level_));
    }
    for (const auto& [index, edit] : blockEdits_) {
        if (index >= stored.size()) throw std::out_of_range("editBlock: no such block");
        edit(stored[index]);
    }

    std::string data;
    std::vector<BlockOffsetRecord> records(std::max<size_t>(1, (stored.size() + 15) / 16));
    for (size_t r = 0; r < records.size(); ++r) {
        records[r].base = data.size();
        for (size_t s = 0; s < kBlocksPerRecord; ++s) {
            size_t b = r * kBlocksPerRecord + s;
            records[r].storedSizes[s] = b < stored.size() ? storedSizeOf(stored[b]) : 0;
            if (b < stored.size()) data += stored[b];
        }
    }
    for (const auto& edit : recordEdits_) edit(records);

    std::string file(leading_, '\x5A');
    ArchiveFooter f{};
    f.dataSection = {file.size(), data.size()};
    file += data;
    f.offsetSection = {file.size(), records.size() * kOffsetRecordSize};
    for (const auto& r : records) file += encodeOffsetRecord(r);
    f.nameSection = {file.size(), names.size()};
    file += names;
    f.treeSection = {file.size(), tree.size() * kTreeEntrySize};
    for (const auto& e : tree) file += encodeTreeEntry(e);
    f.auxSection1 = f.auxSection2 = {file.size(), 0};
    f.archiveSize = file.size() + kFooterSize;
    f.formatVersion = kFormatVersion;
    f.magic = kArchiveMagic;
    for (const auto& edit : footerEdits_) edit(f);
    file += encodeFooter(f);
    for (const auto& edit : byteEdits_) edit(file);
    return file;
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

void ArchiveBuilder::writeTo(const std::filesystem::path& path) const { writeFile(path, build()); }

std::unique_ptr<ArchiveReader> openBytes(std::string bytes) {
    std::unique_ptr<std::istream> stream = std::make_unique<std::istringstream>(std::move(bytes));
    return openArchiveStream(stream);
}

TempFile::TempFile(std::string_view name) {
    std::string pattern = (std::filesystem::temp_directory_path() / "qev-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    path_ = dir_ / name;
}

TempFile::~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void TempFile::write(std::string_view bytes) const { writeFile(path_, bytes); }

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
