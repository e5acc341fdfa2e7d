#include "check/report.h"

#include <algorithm>
#include <cstdio>

#include "archive/format/escape.h"
#include "shell/json_writer.h"

namespace qev::check {
namespace {

double ratio(const BlockStats& b) {
    uint64_t blocks = b.compressed + b.raw;
    return blocks == 0 ? 0.0 : double(b.storedBytes) / (double(blocks) * kBlockSize);
}

std::string line(const char* label, const std::string& value) {
    char head[32];
    std::snprintf(head, sizeof head, "%-14s", label);
    return head + value + "\n";
}

std::string integrityText(const Report& r) {
    switch (r.record) {
        case RecordState::kAbsent: return "no integrity record (written by another program)";
        case RecordState::kDamaged: return "the integrity record is damaged";
        case RecordState::kVerified: break;
    }
    if (r.recordMismatches > 0) return plural(r.recordMismatches, "part does", "parts do") + " not match the record";
    return r.dataChecked ? "every byte matches the record" : "tables and footer match the record";
}

std::string recoveryText(const Report& r) {
    const RecoveryStatus& s = r.recovery;
    if (!s.present) return "none";
    if (!s.damage) return "cannot be read: " + s.unreadable;
    const RecoveryDamage& d = *s.damage;
    if (d.any() && !d.repairable()) return "cannot repair the damage found: " + d.whyNot();
    if (d.headersLost()) {
        bool more = !d.dataCells.empty() || !d.parityCells.empty() || !d.table.damaged[0].empty() ||
                    !d.table.damaged[1].empty();
        return (more ? "can repair all but its own header (qev-check --repair): " : "cannot rebuild its own header: ") +
               std::string(kHeadersLost);
    }
    if (d.any()) return "can repair the damage found (qev-check --repair)";
    const RecoveryGeometry& g = d.layout.geometry;
    return percentText(g.hundredths) + " (" + std::to_string(d.layout.recordSize()) +
           " bytes): rebuilds any run of up to " + std::to_string(s.runBytes()) + " bytes, or any " +
           plural(s.sectors(), "damaged sector", "damaged sectors") + " of 4 KiB";
}

const char* recordStateWord(RecordState state) {
    switch (state) {
        case RecordState::kAbsent: return "absent";
        case RecordState::kDamaged: return "damaged";
        case RecordState::kVerified: return "verified";
    }
    return "absent";
}

}  // namespace

std::string plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string summaryText(const Report& r, const Findings& f) {
    const Totals& t = r.totals;
    char ratioText[32];
    std::snprintf(ratioText, sizeof ratioText, "%.3f", ratio(r.blocks));
    std::string out;
    out += line("Archive:", displayPath(r.archive));
    out += line("Size:", std::to_string(r.archiveSize) + " bytes");
    out += line("Titles:", std::to_string(t.titles));
    out += line("Directories:", std::to_string(t.directories));
    out += line("Files:", std::to_string(t.files) + " (" + std::to_string(t.fileBytes) + " bytes)");
    out += line("Blocks:", std::to_string(r.blocks.compressed + r.blocks.raw) + " (" +
                               std::to_string(r.blocks.compressed) + " compressed, " + std::to_string(r.blocks.raw) +
                               " raw)");
    out += line("Stored:", std::to_string(r.blocks.storedBytes) + " bytes (ratio " + ratioText + ")");
    out += line("Largest file:", t.largestFile == kInvalidNode
                                     ? std::string("none")
                                     : t.largestPath + " (" + std::to_string(t.largestSize) + " bytes)");
    out += line("Data:", !r.against.empty() ? "compared with " + displayPath(r.against) + ": " +
                                                  plural(r.againstFiles, "file", "files") + ", " +
                                                  plural(r.differences.size(), "difference", "differences")
                         : r.dataChecked ? "every block checked"
                                         : "not checked (--quick)");
    out += line("Integrity:", integrityText(r));
    out += line("Recovery:", recoveryText(r));
    if (r.repaired.ranges > 0) {
        out += line("Repaired:",
                    plural(r.repaired.bytes, "byte", "bytes") + " in " + plural(r.repaired.ranges, "range", "ranges"));
    }
    out += line("Findings:", plural(f.errors, "error", "errors") + ", " + plural(f.warnings, "warning", "warnings"));
    return out;
}

std::string summaryJson(const Report& r, const Findings& f, bool opened) {
    JsonWriter json;
    json.beginObject();
    json.stringField("archive", escapePath(r.archive));
    json.boolField("opened", opened);
    if (opened) {
        const Totals& t = r.totals;
        json.uintField("archiveSize", r.archiveSize);
        json.boolField("dataChecked", r.dataChecked);
        json.uintField("titles", t.titles);
        json.uintField("directories", t.directories);
        json.uintField("files", t.files);
        json.uintField("fileBytes", t.fileBytes);
        json.beginObject("blocks");
        json.uintField("compressed", r.blocks.compressed);
        json.uintField("raw", r.blocks.raw);
        json.endObject();
        json.uintField("storedBytes", r.blocks.storedBytes);
        json.decimalField("compressionRatio", ratio(r.blocks), 4);
        json.beginObject("largestFile");
        json.stringField("path", t.largestPath);
        json.uintField("size", t.largestSize);
        json.endObject();
        json.stringField("integrityRecord", recordStateWord(r.record));
        json.uintField("integrityMismatches", r.recordMismatches);
        if (!r.against.empty()) {
            json.beginObject("against");
            json.stringField("folder", escapePath(r.against));
            json.uintField("files", r.againstFiles);
            json.beginArray("differences");
            for (const std::string& d : r.differences) json.stringField({}, d);  // in an array: no key
            json.endArray();
            json.endObject();
        }
    }
    const RecoveryStatus& s = r.recovery;
    json.stringField("recoveryRecord", !s.present                 ? "absent"
                                       : !s.damage                ? "unreadable"
                                       : s.damage->ownParts() > 0 ? "damaged"
                                                                  : "verified");
    if (s.damage) {
        json.beginObject("recovery");
        json.decimalField("percent", s.damage->layout.geometry.hundredths / 100.0, 2);
        json.uintField("recordBytes", s.damage->layout.recordSize());
        json.boolField("repairable", s.damage->repairable() && !s.damage->headersLost());
        json.uintField("runBytes", s.runBytes());
        json.uintField("sectors", s.sectors());
        json.endObject();
    }
    if (r.repaired.ranges > 0) {
        json.beginObject("repaired");
        json.uintField("bytes", r.repaired.bytes);
        json.uintField("ranges", r.repaired.ranges);
        json.endObject();
    }
    json.uintField("errors", f.errors);
    json.uintField("warnings", f.warnings);
    json.beginArray("findings");
    for (const Finding& item : f.items) {
        json.beginObject();
        json.stringField("severity", item.error ? "error" : "warning");
        json.stringField("kind", item.kind);
        json.stringField("message", item.shown());
        if (item.repairable) json.boolField("repairable", *item.repairable);
        json.endObject();
    }
    json.endArray();
    json.endObject();
    return json.result() + "\n";
}

std::string listLine(const WalkedEntry& e, bool json) {
    if (!json) return std::string(e.isFile ? "f " : "d ") + std::to_string(e.size) + " " + e.path + "\n";
    JsonWriter w;
    w.beginObject();
    w.stringField("type", e.isFile ? "file" : "directory");
    w.uintField("size", e.size);
    w.stringField("path", e.path);
    w.endObject();
    return w.result() + "\n";
}

void printFindings(Console& console, const Findings& f) {
    for (const Finding& item : f.items) {
        printError(console, item.error ? kErrorPrefix : kWarningPrefix, item.shown());
    }
    for (const auto& entry : f.perKind) {
        const std::string& kind = entry.first;
        if (entry.second <= kShownPerKind) continue;
        bool isError =
            std::any_of(f.items.begin(), f.items.end(), [&](const Finding& i) { return i.kind == kind && i.error; });
        printError(console, isError ? kErrorPrefix : kWarningPrefix,
                   std::to_string(entry.second - kShownPerKind) + " more findings of kind " + kind + " left out");
    }
    if (f.errors > 0) {
        printError(console, "Error: Found ",
                   plural(f.errors, "error", "errors") + " and " + plural(f.warnings, "warning", "warnings"));
    }
}

}  // namespace qev::check
