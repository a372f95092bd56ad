#include "linux/diskutil/checks/Overlay.h"

#include <algorithm>
#include <filesystem>
#include <string_view>

namespace sarnovelle::standin {

namespace {

// One character of an option's value and whether the kernel wrote it as
// an octal escape (\072 is a colon inside a path, not a separator).
struct Unit {
    char c;
    bool escaped;
};

bool isOctal(char c) { return c >= '0' && c <= '7'; }

std::vector<Unit> decode(std::string_view raw)
{
    std::vector<Unit> units;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 3 < raw.size() && isOctal(raw[i + 1]) && isOctal(raw[i + 2])
            && isOctal(raw[i + 3])) {
            const int value = (raw[i + 1] - '0') * 64 + (raw[i + 2] - '0') * 8 + (raw[i + 3] - '0');
            units.push_back(Unit{static_cast<char>(value), true});
            i += 3;
        } else {
            units.push_back(Unit{raw[i], false});
        }
    }
    return units;
}

// Splits at the colons the kernel wrote as they are; a backslash (the
// overlay's own escape, "\:" for a colon in a name) takes the next
// character as it is. Empty pieces ("::" before data-only layers) vanish.
std::vector<std::string> splitLayers(const std::vector<Unit>& units, bool colonsSeparate)
{
    std::vector<std::string> pieces;
    std::string current;
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (units[i].c == '\\' && i + 1 < units.size()) {
            current.push_back(units[++i].c);
        } else if (colonsSeparate && units[i].c == ':' && !units[i].escaped) {
            if (!current.empty()) {
                pieces.push_back(std::move(current));
            }
            current.clear();
        } else {
            current.push_back(units[i].c);
        }
    }
    if (!current.empty()) {
        pieces.push_back(std::move(current));
    }
    return pieces;
}

std::string plainPath(const std::string& path)
{
    std::string plain = std::filesystem::path(path).lexically_normal().string();
    while (plain.size() > 1 && plain.ends_with('/')) {
        plain.pop_back();
    }
    return plain;
}

} // namespace

std::vector<std::string> overlayFolders(const std::string& superOptions)
{
    std::vector<std::string> lower;
    std::vector<std::string> upper;
    // The kernel escapes commas inside values, so every comma it wrote
    // ends an option.
    std::size_t start = 0;
    while (start <= superOptions.size()) {
        const std::size_t end = std::min(superOptions.find(',', start), superOptions.size());
        const std::string_view option = std::string_view(superOptions).substr(start, end - start);
        start = end + 1;
        const std::size_t equals = option.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = option.substr(0, equals);
        const auto units = decode(option.substr(equals + 1));
        std::vector<std::string> folders;
        if (key == "lowerdir") {
            folders = splitLayers(units, true);
        } else if (key == "lowerdir+" || key == "datadir+") {
            // One layer each, named as it is (no colon lists, no backslash escapes).
            std::string path;
            for (const auto& unit : units) {
                path.push_back(unit.c);
            }
            folders.push_back(path);
        } else if (key == "upperdir" || key == "workdir") {
            folders = splitLayers(units, false);
        } else {
            continue;
        }
        auto& list = key == "upperdir" || key == "workdir" ? upper : lower;
        for (const auto& folder : folders) {
            if (folder.starts_with('/')) {
                list.push_back(plainPath(folder));
            }
        }
    }
    lower.insert(lower.end(), upper.begin(), upper.end());
    return lower;
}

} // namespace sarnovelle::standin
