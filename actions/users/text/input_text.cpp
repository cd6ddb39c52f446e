#include "actions/users/text/input_text.h"

namespace ca {

namespace {

// Length of the character that starts at `pos`: 2 for a lead byte with a
// trail byte behind it, else 1.
size_t CharLength(std::string_view text, size_t pos, LeadBytePredicate isLead) {
    return isLead(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size() ? 2 : 1;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The components of a path between "\" or "/" separators, empty ones included.
std::vector<std::string_view> PathComponents(std::string_view path, LeadBytePredicate isLead) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t pos = 0; pos < path.size();) {
        if (IsSeparator(path[pos])) {
            parts.push_back(path.substr(start, pos - start));
            start = ++pos;
        } else {
            pos += CharLength(path, pos, isLead);
        }
    }
    parts.push_back(path.substr(start));
    return parts;
}

// Dots and blanks only. "." stays where it is and ".." goes up; as the system
// drops the trailing dots and blanks of a component, any such component with
// two dots or more is taken as going up.
bool IsDotsOnly(std::string_view part) {
    if (part.empty()) return false;
    for (char c : part)
        if (c != '.' && c != ' ') return false;
    return true;
}

size_t DotCount(std::string_view part) {
    size_t n = 0;
    for (char c : part) n += c == '.';
    return n;
}

bool IsKeyBelowRoot(std::string_view key) { return !key.empty() && key[0] != '\\'; }

bool IsFolderBelowAppData(std::string_view folder, LeadBytePredicate isLead) {
    if (folder.empty()) return false;
    if (folder.size() >= 2 && folder[1] == ':') return false;  // a drive
    if (folder.size() >= 2 && IsSeparator(folder[0]) && IsSeparator(folder[1])) return false;
    bool namesFolder = false;
    for (std::string_view part : PathComponents(folder, isLead)) {
        if (part.empty()) continue;
        if (!IsDotsOnly(part)) {
            namesFolder = true;
        } else if (DotCount(part) >= 2) {
            return false;  // leaves the folder above it
        }
    }
    return namesFolder;
}

}  // namespace

bool NoLeadBytes(unsigned char) { return false; }

size_t FindChar(std::string_view text, char c, size_t from, LeadBytePredicate isLead) {
    for (size_t pos = from; pos < text.size(); pos += CharLength(text, pos, isLead))
        if (text[pos] == c) return pos;
    return std::string_view::npos;
}

size_t FindLastChar(std::string_view text, char c, LeadBytePredicate isLead) {
    size_t found = std::string_view::npos;
    for (size_t pos = 0; pos < text.size(); pos += CharLength(text, pos, isLead))
        if (text[pos] == c) found = pos;
    return found;
}

std::optional<std::vector<std::string>> SplitTerminatedItems(std::string_view text, size_t count,
                                                             LeadBytePredicate isLead) {
    std::vector<std::string> items;
    size_t start = 0;
    while (items.size() < count) {
        const size_t end = FindChar(text, ';', start, isLead);
        if (end == std::string_view::npos) return std::nullopt;
        items.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

bool AreRemovalItemsSafe(const RemovalItems& items, LeadBytePredicate isLead) {
    if (!IsKeyBelowRoot(items.emptyOnlyKey) || !IsKeyBelowRoot(items.treeKey)) return false;
    if (FindChar(items.filePattern, '\\', 0, isLead) != std::string_view::npos ||
        FindChar(items.filePattern, '/', 0, isLead) != std::string_view::npos)
        return false;
    return IsFolderBelowAppData(items.appFolder, isLead);
}

size_t AbsoluteRootLength(std::string_view path, LeadBytePredicate isLead) {
    if (path.size() >= 3 && path[1] == ':' && path[2] == '\\' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
        return 2;
    if (path.size() < 5 || path[0] != '\\' || path[1] != '\\') return 0;
    // "\\server\share": neither part empty, no device prefix.
    const size_t shareStart = FindChar(path, '\\', 2, isLead);
    if (shareStart == std::string_view::npos || shareStart == 2) return 0;
    const std::string_view server = path.substr(2, shareStart - 2);
    if (server == "?" || server == ".") return 0;
    const size_t shareEnd = FindChar(path, '\\', shareStart + 1, isLead);
    const size_t end = shareEnd == std::string_view::npos ? path.size() : shareEnd;
    return end > shareStart + 1 ? end : 0;
}

std::optional<std::string> ResolveAgainstProfile(std::string_view value, std::string_view profileFolder,
                                                 LeadBytePredicate isLead) {
    constexpr std::string_view kVariable = "%USERPROFILE%";
    if (value.size() < kVariable.size()) return std::nullopt;
    for (size_t i = 0; i < kVariable.size(); ++i) {
        const char c = value[i];
        const char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        if (upper != kVariable[i]) return std::nullopt;
    }
    const std::string_view rest = value.substr(kVariable.size());
    if (FindChar(rest, '%', 0, isLead) != std::string_view::npos) return std::nullopt;
    return std::string(profileFolder) + std::string(rest);
}

std::optional<std::string> ExpandInUserTerms(std::string_view value, std::string_view profileFolder,
                                             std::optional<std::string_view> appData, LeadBytePredicate isLead) {
    const auto named = [](std::string_view name, std::string_view wanted) {
        if (name.size() != wanted.size()) return false;
        for (size_t i = 0; i < name.size(); ++i) {
            const char c = name[i];
            if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) != wanted[i]) return false;
        }
        return true;
    };
    std::string result;
    size_t pos = 0;
    for (;;) {
        const size_t open = FindChar(value, '%', pos, isLead);
        const size_t close = open == std::string_view::npos ? open : FindChar(value, '%', open + 1, isLead);
        if (close == std::string_view::npos) return result.append(value.substr(pos));
        result.append(value.substr(pos, open - pos));
        const std::string_view name = value.substr(open + 1, close - open - 1);
        if (named(name, "USERPROFILE")) {
            result.append(profileFolder);
        } else if (named(name, "APPDATA") && appData) {
            result.append(*appData);
        } else {
            return std::nullopt;
        }
        pos = close + 1;
    }
}

bool LiesWithin(std::string_view path, std::string_view folder, LeadBytePredicate isLead) {
    if (folder.empty() || path.size() < folder.size()) return false;
    const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    for (size_t i = 0; i < folder.size(); ++i) {
        if (isLead(static_cast<unsigned char>(folder[i]))) {
            // Both bytes as they are; a trail byte is never folded.
            if (i + 1 >= folder.size() || path[i] != folder[i] || path[i + 1] != folder[i + 1]) return false;
            ++i;
            continue;
        }
        if (fold(path[i]) != fold(folder[i])) return false;
    }
    return path.size() == folder.size() || path[folder.size()] == '\\';
}

}  // namespace ca
