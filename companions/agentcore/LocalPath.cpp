#include "LocalPath.h"

#include <cstring>

namespace agentcore {

namespace {

// Windows' MAX_PATH, terminator included: the agent opens files with the
// ANSI functions, which take no longer path.
const std::size_t kMaxPath = 260;

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool isDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// Characters no Windows file name holds; '?' and '*' are wildcards, and
// control characters (a NUL above all) would cut the path where the check
// did not look.
bool forbiddenCharacter(char c) {
    return static_cast<unsigned char>(c) < 0x20 || std::strchr("<>\"|?*", c) != nullptr;
}

// The device names Windows finds in every folder. A name is one when its
// part before the first dot, trailing spaces dropped, is one of them:
// "nul.txt" and "COM1 .key" are devices too. The superscript digits are
// those of the Latin-1 code page, which Windows counts as well.
bool isDeviceName(const std::string& component) {
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = upper(c);
    static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* name : kNames)
        if (base == name) return true;
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
        unsigned char digit = static_cast<unsigned char>(base[3]);
        return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    }
    return false;
}

bool anyDeviceComponent(const std::string& path) {
    std::size_t start = 3;  // past "X:\"
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        if (isDeviceName(path.substr(start, end - start))) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

const char* localPathRefusal(const std::string& path) {
    if (path.empty()) return "refused, an empty path";
    if (path.size() >= kMaxPath) return "refused, a path longer than Windows allows";
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        bool device = path.size() >= 4 && (path[2] == '.' || path[2] == '?') && isSeparator(path[3]);
        return device ? "refused, a device path" : "refused, a path of another computer";
    }
    if (path.size() >= 4 && isSeparator(path[0]) && path[1] == '?' && path[2] == '?' && isSeparator(path[3]))
        return "refused, a device path";
    if (path.size() < 3 || !isDriveLetter(path[0]) || path[1] != ':' || path[2] != '\\')
        return "refused, not a whole path from a drive";
    for (char c : path)
        if (forbiddenCharacter(c)) return "refused, a character no file name holds";
    if (path.find(':', 2) != std::string::npos) return "refused, a stream of a file";
    if (anyDeviceComponent(path)) return "refused, a device name";
    return nullptr;
}

}  // namespace agentcore
