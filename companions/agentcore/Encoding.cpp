#include "Encoding.h"

namespace agentcore {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Views, not copies: the text may be an unencrypted key.
std::string_view trimmed(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isSpace(s[b])) ++b;
    while (e > b && isSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// The line starting at pos, without its end; pos moves past it.
std::string_view nextLine(std::string_view text, std::size_t& pos) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end < text.size() ? end + 1 : end;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

}  // namespace

std::string base64Encode(const std::uint8_t* data, std::size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);  // one block: the data may be a key
    std::size_t i = 0;
    for (; i + 2 < size; i += 3) {
        std::uint32_t v = (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += kAlphabet[v >> 18], out += kAlphabet[(v >> 12) & 63], out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < size) {
        std::uint32_t v = std::uint32_t(data[i]) << 16;
        if (i + 1 < size) v |= std::uint32_t(data[i + 1]) << 8;
        out += kAlphabet[v >> 18], out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool base64Decode(const char* text, std::size_t size, Bytes& out) {
    out.clear();
    std::uint32_t acc = 0;
    int bits = 0;
    std::size_t symbols = 0, padding = 0;
    for (std::size_t i = 0; i < size; ++i) {
        char c = text[i];
        if (isSpace(c)) continue;
        if (c == '=') {
            ++padding;
            ++symbols;
            continue;
        }
        int v = base64Value(c);
        if (v < 0 || padding) return false;
        acc = (acc << 6) | std::uint32_t(v);
        bits += 6;
        ++symbols;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(std::uint8_t(acc >> bits));
        }
    }
    // Padding completes the last quantum, and the bits it drops are zero:
    // anything else is a damaged file, not another encoding of it.
    bool ok = symbols % 4 == 0 && padding <= 2 && (acc & ((1u << bits) - 1)) == 0;
    acc = 0;
    return ok;
}

bool hexDecode(const std::string& text, Bytes& out) {
    out.clear();
    if (text.size() % 2) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(std::uint8_t(hi * 16 + lo));
    }
    return true;
}

const std::string* Armor::header(const char* name) const {
    for (const auto& h : headers)
        if (h.first == name) return &h.second;
    return nullptr;
}

ArmorResult findArmor(std::string_view text, const std::string& label, Armor& out) {
    const std::string begin = "-----BEGIN " + label + "-----";
    const std::string end = "-----END " + label + "-----";
    std::size_t pos = 0;
    // The begin line must be a line of its own.
    for (;;) {
        pos = text.find(begin, pos);
        if (pos == std::string_view::npos) return ArmorResult::Absent;
        if (pos == 0 || text[pos - 1] == '\n') break;
        pos += begin.size();
    }
    pos += begin.size();
    if (!trimmed(nextLine(text, pos)).empty()) return ArmorResult::Malformed;
    out.headers.clear();
    std::string body;
    body.reserve(text.size());  // no reallocation leaves an unwiped copy behind
    bool inHeaders = true;
    while (pos < text.size()) {
        std::string_view line = nextLine(text, pos);
        if (trimmed(line) == end) {
            bool ok = base64Decode(body.data(), body.size(), out.body);
            if (!body.empty()) wipeMemory(&body[0], body.size());
            return ok ? ArmorResult::Found : ArmorResult::Malformed;
        }
        std::size_t colon = line.find(':');
        if (inHeaders && colon != std::string_view::npos) {
            out.headers.emplace_back(std::string(trimmed(line.substr(0, colon))), std::string(trimmed(line.substr(colon + 1))));
            continue;
        }
        // A blank line ends the headers; the body has none.
        inHeaders = false;
        body += line;
    }
    if (!body.empty()) wipeMemory(&body[0], body.size());
    return ArmorResult::Malformed;
}

Bytes armor(const std::string& label, const Bytes& data, std::size_t width) {
    std::string b64 = base64Encode(data);
    const std::string begin = "-----BEGIN " + label + "-----\n", end = "-----END " + label + "-----\n";
    Bytes out;
    out.reserve(begin.size() + b64.size() + b64.size() / width + 1 + end.size());
    out.insert(out.end(), begin.begin(), begin.end());
    for (std::size_t i = 0; i < b64.size(); i += width) {
        std::size_t n = b64.size() - i < width ? b64.size() - i : width;
        out.insert(out.end(), b64.begin() + std::ptrdiff_t(i), b64.begin() + std::ptrdiff_t(i + n));
        out.push_back('\n');
    }
    out.insert(out.end(), end.begin(), end.end());
    if (!b64.empty()) wipeMemory(&b64[0], b64.size());
    return out;
}

}  // namespace agentcore
