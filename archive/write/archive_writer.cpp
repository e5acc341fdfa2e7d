#include "archive/write/archive_writer.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

namespace qev::writer {

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
    if (name.size() > kMaxNameLength) throw std::length_error("name longer than 32767 bytes");
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

TreeLayout layOutTree(const TreeSource& tree, bool twoBytePrefixes, bool shareNames) {
    TreeLayout l;
    std::unordered_map<std::string_view, uint32_t> written;  // name -> its offset
    std::vector<uint32_t> firstChild;
    l.order.push_back(0);
    for (size_t id = 0; id < l.order.size(); ++id) {
        firstChild.push_back(uint32_t(l.order.size()));
        size_t node = l.order[id];
        for (size_t k = 0; k < tree.childCount(node); ++k) l.order.push_back(tree.child(node, k));
    }
    if (l.order.size() > kMaxTreeSectionSize / kTreeEntrySize) {
        throw std::length_error("too many entries for one archive");
    }
    for (size_t id = 0; id < l.order.size(); ++id) {
        size_t node = l.order[id];
        uint32_t nameRef = kNoName;
        if (id != 0) {
            std::string_view name = tree.name(node);
            auto [at, added] = written.try_emplace(name, uint32_t(l.names.size()));
            nameRef = at->second;
            if (added || !shareNames) {
                nameRef = uint32_t(l.names.size());
                l.names += encodeName(name, twoBytePrefixes);
            }
            if (l.names.size() > kMaxNameSectionSize) throw std::length_error("name table too large");
        }
        if (tree.isFile(node)) {
            uint64_t size = tree.size(node);
            if (size > kMaxStreamSize - l.streamSize) throw std::length_error("data too large");
            l.entries.push_back(fileEntry(nameRef, l.streamSize, size));
            l.streamSize += size;
        } else {
            l.entries.push_back(directoryEntry(nameRef, firstChild[id], uint32_t(tree.childCount(node))));
        }
    }
    return l;
}

namespace {

class NodeList : public TreeSource {
public:
    explicit NodeList(const std::vector<WriterNode>& nodes) : nodes_(nodes) {}
    size_t nodeCount() const override { return nodes_.size(); }
    std::string_view name(size_t n) const override { return nodes_[n].name; }
    bool isFile(size_t n) const override { return nodes_[n].isFile; }
    uint64_t size(size_t n) const override { return nodes_[n].size; }
    size_t childCount(size_t n) const override { return nodes_[n].children.size(); }
    size_t child(size_t n, size_t k) const override { return nodes_[n].children[k]; }

private:
    const std::vector<WriterNode>& nodes_;
};

}  // namespace

TreeLayout layOutTree(const std::vector<WriterNode>& nodes, bool twoBytePrefixes, bool shareNames) {
    return layOutTree(NodeList(nodes), twoBytePrefixes, shareNames);
}

std::vector<BlockOffsetRecord> offsetRecordsFor(const std::vector<uint32_t>& lengths) {
    std::vector<BlockOffsetRecord> records(std::max<size_t>(1, (lengths.size() + 15) / 16));
    uint64_t offset = 0;
    for (size_t r = 0; r < records.size(); ++r) {
        records[r].base = offset;
        for (size_t s = 0; s < kBlocksPerRecord; ++s) {
            size_t b = r * kBlocksPerRecord + s;
            uint32_t length = b < lengths.size() ? lengths[b] : 0;
            records[r].storedSizes[s] = uint16_t(std::clamp<uint32_t>(length, 1, kBlockSize) - 1);
            offset += length;
        }
    }
    return records;
}

ArchiveFooter footerFor(uint64_t dataOffset, uint64_t dataSize, size_t recordCount, size_t namesSize,
                        size_t entryCount) {
    ArchiveFooter f{};
    f.dataSection = {dataOffset, dataSize};
    f.offsetSection = {dataOffset + dataSize, recordCount * kOffsetRecordSize};
    f.nameSection = {f.offsetSection.offset + f.offsetSection.size, namesSize};
    f.treeSection = {f.nameSection.offset + namesSize, entryCount * kTreeEntrySize};
    uint64_t end = f.treeSection.offset + f.treeSection.size;
    f.auxSection1 = f.auxSection2 = {end, 0};
    f.archiveSize = end + kFooterSize;
    f.formatVersion = kFormatVersion;
    f.magic = kArchiveMagic;
    return f;
}

std::string encodeTables(const std::vector<BlockOffsetRecord>& records, std::string_view names,
                         const std::vector<TreeEntry>& entries) {
    std::string out;
    out.reserve(records.size() * kOffsetRecordSize + names.size() + entries.size() * kTreeEntrySize);
    for (const auto& r : records) out += encodeOffsetRecord(r);
    out += names;
    for (const auto& e : entries) out += encodeTreeEntry(e);
    return out;
}

}  // namespace qev::writer
