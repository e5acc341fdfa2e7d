#include "shell/options.h"

#include <algorithm>

namespace qev {
namespace {

// The spellings in --help, such as "-j, --jobs N" or "    --version".
std::string spellings(const Option& o) {
    std::string text = o.shortName != 0 ? std::string("-") + o.shortName + (o.longName.empty() ? "" : ", ") : "    ";
    if (!o.longName.empty()) text.append("--").append(o.longName);
    if (!o.valueName.empty()) text.append(" ").append(o.valueName);
    return text;
}

const Option* findLong(const OptionTable& table, std::string_view name) {
    for (const Option& o : table) {
        if (!o.longName.empty() && o.longName == name) return &o;
    }
    return nullptr;
}

const Option* findShort(const OptionTable& table, char name) {
    for (const Option& o : table) {
        if (o.shortName != 0 && o.shortName == name) return &o;
    }
    return nullptr;
}

}  // namespace

std::function<std::string(std::string_view)> setFlag(bool& to) {
    return [&to](std::string_view) {
        to = true;
        return std::string();
    };
}

std::string parseCommandLine(int argc, const char* const* argv, const OptionTable& table,
                             std::vector<std::string>& positional) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (optionsEnded || a == "-" || !a.starts_with("-")) {
            positional.emplace_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        const Option* o = nullptr;
        std::string_view attached;
        bool hasAttached = false;
        if (a.starts_with("--")) {
            std::string_view body = a.substr(2);
            // A flag may be spelt with its value ("progress=json"); else "--name=value".
            o = findLong(table, body);
            if (o == nullptr) {
                size_t equals = body.find('=');
                o = findLong(table, body.substr(0, equals));
                hasAttached = equals != std::string_view::npos;
                if (hasAttached) attached = body.substr(equals + 1);
            }
        } else {
            o = findShort(table, a[1]);
            hasAttached = a.size() > 2;
            attached = a.substr(2);
        }
        // A flag takes nothing, not even an attached value.
        if (o == nullptr || (o->valueName.empty() && hasAttached)) return "Unknown option: " + std::string(a);
        std::string_view value = attached;
        if (!o->valueName.empty() && !hasAttached) {
            if (i + 1 >= argc) return std::string(a) + " needs " + std::string(o->needs);
            value = argv[++i];
        }
        if (std::string error = o->apply(value); !error.empty()) return error;
    }
    return "";
}

std::string helpText(std::string_view usage, const OptionTable& table) {
    // The help column: 24, or further right where an option is spelt longer.
    size_t column = 24;
    for (const Option& o : table) column = std::max(column, spellings(o).size() + 4);
    std::string text(usage);
    text += "\n\nOptions:\n";
    for (const Option& o : table) {
        std::string line = "  " + spellings(o);
        line.append(column - line.size(), ' ');
        text += line + std::string(o.help) + "\n";
    }
    return text;
}

}  // namespace qev
