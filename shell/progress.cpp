#include "shell/progress.h"

#include <cstdio>

#include "shell/json_writer.h"
#include "system/process.h"

namespace qev {

ProgressLine::ProgressLine(Console& console, bool enabled, bool json)
    : console_(console), enabled_(enabled || json), json_(json), start_(std::chrono::steady_clock::now()) {}

std::string ProgressLine::renderJson(const ProgressCounts& c, double seconds) {
    JsonWriter json;
    json.beginObject();
    json.stringField("phase", c.unit);
    json.uintField("done", c.done);
    json.uintField("total", c.total);
    if (c.bytesTotal > 0 || c.bytesDone > 0) {
        json.uintField("bytesDone", c.bytesDone);
        json.uintField("bytesTotal", c.bytesTotal);
        if (seconds > 0 && c.bytesDone > 0) {
            double rate = double(c.bytesDone) / seconds;
            json.uintField("rate", uint64_t(rate));
            json.uintField("secondsLeft",
                           c.bytesTotal > c.bytesDone ? uint64_t(double(c.bytesTotal - c.bytesDone) / rate) : 0);
        }
    }
    json.endObject();
    return json.result();
}

std::string humanBytes(uint64_t bytes) {
    static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    char text[32];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
        return text;
    }
    double v = double(bytes);
    int unit = 0;
    while (v >= 1024 && unit < 5) {
        v /= 1024;
        ++unit;
    }
    std::snprintf(text, sizeof text, "%.1f %s", v, kUnits[unit]);
    return text;
}

std::string ProgressLine::render(const ProgressCounts& c, double seconds) {
    char line[160];
    int n = std::snprintf(line, sizeof line, "%llu of %llu %s", static_cast<unsigned long long>(c.done),
                          static_cast<unsigned long long>(c.total), c.unit);
    // Bytes where they are counted: a comparison with a folder counts files alone.
    if (n > 0 && size_t(n) < sizeof line && (c.bytesTotal > 0 || c.bytesDone > 0)) {
        n += std::snprintf(line + n, sizeof line - size_t(n), ", %s of %s", humanBytes(c.bytesDone).c_str(),
                           humanBytes(c.bytesTotal).c_str());
    }
    if (seconds <= 0 || c.bytesDone == 0 || n < 0 || size_t(n) >= sizeof line) return line;
    double rate = double(c.bytesDone) / seconds;
    double left = c.bytesTotal > c.bytesDone ? double(c.bytesTotal - c.bytesDone) / rate : 0;
    int m = std::snprintf(line + n, sizeof line - size_t(n), ", %s/s", humanBytes(uint64_t(rate)).c_str());
    if (m > 0 && size_t(n + m) < sizeof line && c.ratio >= 0) {
        m += std::snprintf(line + n + m, sizeof line - size_t(n + m), ", ratio %.3f", c.ratio);
    }
    if (m > 0 && size_t(n + m) < sizeof line)
        std::snprintf(line + n + m, sizeof line - size_t(n + m), ", %.0f s left", left);
    return line;
}

void ProgressLine::update(const ProgressCounts& counts) {
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (shown_ && now - lastDrawn_ < std::chrono::milliseconds(json_ ? 250 : 100)) return;
    lastDrawn_ = now;
    std::chrono::duration<double> elapsed = now - start_;
    if (json_) return writeJson(renderJson(counts, elapsed.count()));
    draw(render(counts, elapsed.count()));
}

void ProgressLine::note(std::string_view text) {
    if (!enabled_) return;
    if (json_) {
        JsonWriter json;
        json.beginObject();
        json.stringField("phase", text == kSyncingLine ? "syncing" : text);
        json.endObject();
        return writeJson(json.result());
    }
    draw(std::string(text));
}

void ProgressLine::writeJson(std::string line) {
    line += '\n';
    console_.err.write(line.data(), std::streamsize(line.size()));
    console_.err.flush();
    shown_ = true;  // for the pace of updates; there is no line to clear
}

void ProgressLine::draw(std::string line) {
    // Within the terminal's width: a line that wraps leaves its first rows behind on every
    // redraw. (The progress lines are ASCII, so bytes are columns.)
    unsigned columns = standardErrorColumns();
    if (columns > 1 && line.size() > columns - 1) line.resize(columns - 1);
    // Carriage return, the line, and erase to its end: each redraw replaces the last.
    line.insert(line.begin(), '\r');
    line.append("\x1b[K");
    console_.err.write(line.data(), std::streamsize(line.size()));
    console_.err.flush();
    shown_ = true;
}

void ProgressLine::clear() {
    if (!shown_ || json_) return;
    console_.err.write("\r\x1b[K", 4);
    console_.err.flush();
    shown_ = false;
}

}  // namespace qev
