#include "KeyListText.h"

#include "Key.h"
#include "Wire.h"

#include <cctype>
#include <cstdio>
#include <unordered_set>

namespace keylist {

namespace {

std::string format(const std::string& pattern, unsigned value) {
    char out[128];
    std::snprintf(out, sizeof out, pattern.c_str(), value);
    return out;
}

// Room for the value and the pattern's own words: a list of hops may take
// the whole detail.
std::string format(const std::string& pattern, const std::string& value, unsigned count = 0) {
    std::vector<char> out(pattern.size() + value.size() + 16);
    std::snprintf(out.data(), out.size(), pattern.c_str(), value.c_str(), count);
    return out.data();
}

bool endsWith(const std::string& s, const char* end) {
    std::string e(end);
    return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

bool startsWith(const std::string& s, const char* start) { return s.compare(0, std::string(start).size(), start) == 0; }

// A list row is one line.
std::string printable(const std::string& comment) {
    std::string out = comment;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return out;
}

// Cut to at most size bytes without splitting a UTF-8 sequence.
std::string cut(const std::string& s, std::size_t size) {
    if (s.size() <= size) return s;
    while (size > 0 && (static_cast<unsigned char>(s[size]) & 0xc0) == 0x80) --size;
    return s.substr(0, size);
}

std::string typeNameOf(const Bytes& blob) {
    agentcore::WireReader r(blob.data(), blob.size());
    std::string name;
    return r.text(name) ? name : std::string();
}

std::string hopText(const Destination& hop) {
    std::string to = hop.toUser.empty() ? hop.toHost : hop.toUser + "@" + hop.toHost;
    return printable(hop.fromHost.empty() ? to : hop.fromHost + ">" + to);
}

std::string withMore(const std::string& list, std::size_t more, const DetailTexts& texts) {
    if (more == 0) return list;
    return more == 1 ? format(texts.oneMore, list) : format(texts.more, list, unsigned(more));
}

// As many whole hops as fit in room bytes, and how many more there are; a
// first hop that does not fit alone is cut at a character and marked.
std::string destinationList(const std::vector<Destination>& hops, const DetailTexts& texts, std::size_t room) {
    std::string list, best;
    for (std::size_t shown = 1; shown <= hops.size(); ++shown) {
        list += (shown == 1 ? "" : texts.hopSeparator) + hopText(hops[shown - 1]);
        // Hops only lengthen the list: past the room none can fit.
        if (list.size() > room) break;
        std::string whole = withMore(list, hops.size() - shown, texts);
        if (whole.size() <= room) best = whole;
    }
    if (!best.empty() || hops.empty()) return best;
    const std::string mark = "...";
    std::size_t frame = withMore(mark, hops.size() - 1, texts).size();
    if (frame >= room) return std::string();
    return withMore(cut(hopText(hops[0]), room - frame) + mark, hops.size() - 1, texts);
}

std::string detailOf(const HeldKey& key, const DetailTexts& texts, const std::string& fingerprint) {
    // The column is headed "Fingerprint": that comes first.
    std::vector<std::string> parts(1, fingerprint);
    agentcore::PublicKey pub;
    if (agentcore::parsePublicKey(key.blob.data(), key.blob.size(), pub)) parts.push_back(format(texts.bits, pub.bits()));
    if (key.secondsLeft) parts.push_back(format(texts.expires, durationText(key.secondsLeft, texts)));
    if (key.confirm) parts.push_back(texts.confirm);
    const std::string& separator = texts.partSeparator;
    std::string detail;
    for (const std::string& p : parts) detail += (detail.empty() ? "" : separator) + p;
    if (key.destinations.empty()) return detail;
    // The destinations take what the rest leaves of the column.
    std::size_t frame = detail.size() + separator.size() + format(texts.destinations, std::string()).size();
    std::string list = destinationList(key.destinations, texts, frame < kMaxDetail ? kMaxDetail - frame : 0);
    return list.empty() ? detail : detail + separator + format(texts.destinations, list);
}

bool isAscii(const std::string& word) {
    for (char c : word)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Only ASCII words are compared without case: in a double-byte code page
// the second byte of a character may be an ASCII letter.
bool wordAt(const char* p, const std::string& word) {
    for (std::size_t i = 0; i < word.size(); ++i) {
        unsigned char a = static_cast<unsigned char>(p[i]), b = static_cast<unsigned char>(word[i]);
        if (!a) return false;
        if (a != b && !(isAscii(word) && std::tolower(a) == std::tolower(b))) return false;
    }
    return true;
}

// The seconds of the longest unit word at p, or 0; length is its size.
std::uint32_t unitAt(const char* p, const LifetimeUnits& units, std::size_t& length) {
    static const std::uint32_t sizes[4] = {1, 60, 3600, 86400};
    std::uint32_t size = 0;
    length = 0;
    for (int u = 0; u < 4; ++u)
        for (const std::string& word : units.words[u])
            if (word.size() > length && wordAt(p, word)) {
                length = word.size();
                size = sizes[u];
            }
    return size;
}

const char* skipSpaces(const char* p) {
    while (*p == ' ') ++p;
    return p;
}

}  // namespace

std::int32_t typeCodeOf(const std::string& typeName) {
    if (startsWith(typeName, "sk-")) return 6;
    if (endsWith(typeName, "-cert-v01@openssh.com")) return 4;
    if (typeName == "ssh-ed25519") return 0;
    if (typeName == "ssh-rsa") return 1;
    if (startsWith(typeName, "ecdsa-sha2-")) return 2;
    if (typeName == "ssh-dss") return 3;
    return 5;
}

std::vector<std::string> uniqueNames(const std::vector<std::string>& comments, const std::vector<std::string>& fallbacks) {
    std::vector<std::string> wanted;
    std::unordered_set<std::string> plain;
    plain.reserve(comments.size());
    for (std::size_t i = 0; i < comments.size(); ++i) {
        std::string name = printable(comments[i]);
        if (name.find_first_not_of(' ') == std::string::npos) name = fallbacks[i];
        wanted.push_back(name);
        if (name.size() <= kMaxName) plain.insert(name);
    }
    // A name that fits keeps its form for its first holder; the others
    // get an end no other row has, so that every row can be named again.
    std::unordered_set<std::string> taken;
    taken.reserve(comments.size());
    std::vector<std::string> names;
    names.reserve(comments.size());
    for (const std::string& name : wanted) {
        if (name.size() <= kMaxName && !taken.count(name)) {
            taken.insert(name);
            names.push_back(name);
            continue;
        }
        for (unsigned n = name.size() > kMaxName ? 1 : 2;; ++n) {
            std::string end = " (" + std::to_string(n) + ")";
            std::string candidate = cut(name, kMaxName - end.size()) + end;
            if (!taken.count(candidate) && !plain.count(candidate)) {
                taken.insert(candidate);
                names.push_back(candidate);
                break;
            }
        }
    }
    return names;
}

std::vector<ShownKey> showKeys(const std::vector<HeldKey>& keys, const DetailTexts& texts, const Fingerprint& fingerprint) {
    // The fingerprint is both a nameless key's name and part of its detail.
    std::vector<std::string> comments, fallbacks;
    for (const HeldKey& k : keys) {
        comments.push_back(k.comment);
        fallbacks.push_back(fingerprint(k.blob));
    }
    std::vector<std::string> names = uniqueNames(comments, fallbacks);
    std::vector<ShownKey> shown(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        shown[i].name = names[i];
        shown[i].typeCode = typeCodeOf(typeNameOf(keys[i].blob));
        shown[i].detail = detailOf(keys[i], texts, fallbacks[i]);
        shown[i].key = &keys[i];
    }
    return shown;
}

LifetimeUnits lifetimeUnitsFrom(const std::string& list) {
    LifetimeUnits units;
    std::size_t unit = 0;
    std::string word;
    for (std::size_t at = 0; at <= list.size() && unit < 4; ++at) {
        char c = at < list.size() ? list[at] : '|';
        if (c != ',' && c != '|') {
            word += c;
            continue;
        }
        if (!word.empty()) units.words[unit].push_back(word);
        if (word.size() > 1 && word.back() == '.') units.words[unit].push_back(word.substr(0, word.size() - 1));
        word.clear();
        if (c == '|') ++unit;
    }
    return units;
}

bool parseLifetime(const char* text, const LifetimeUnits& units, std::uint32_t& seconds) {
    if (!text) return false;
    const char* p = skipSpaces(text);
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    std::uint64_t total = 0;
    while (*p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        std::uint64_t value = 0;
        for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
            value = value * 10 + unsigned(*p - '0');
            if (value > 0xffffffffu) return false;
        }
        p = skipSpaces(p);
        std::size_t length = 0;
        std::uint32_t unit = unitAt(p, units, length);
        if (!unit && *p) return false;
        total += value * (unit ? unit : 1);
        if (total > 0xffffffffu) return false;
        p = skipSpaces(p + length);
    }
    seconds = std::uint32_t(total);
    return true;
}

std::string durationText(std::uint32_t seconds, const DetailTexts& texts) {
    const struct {
        std::uint32_t size;
        const std::string* format;
    } units[] = {{86400, &texts.days}, {3600, &texts.hours}, {60, &texts.minutes}, {1, &texts.seconds}};
    std::string out;
    int shown = 0;
    for (const auto& u : units) {
        std::uint32_t count = seconds / u.size;
        if (!count && !shown) continue;
        if (count) out += (out.empty() ? "" : " ") + format(*u.format, count);
        seconds %= u.size;
        if (++shown == 2) break;
    }
    return out.empty() ? format(texts.seconds, 0) : out;
}

}  // namespace keylist
