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

}  // namespace ca
