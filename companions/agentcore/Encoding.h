// The text forms around key files: base64 and the armor of PEM files
// ("-----BEGIN label-----", optional headers, base64, "-----END label-----").
#ifndef AGENTCORE_ENCODING_H
#define AGENTCORE_ENCODING_H

#include "Bytes.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace agentcore {

std::string base64Encode(const std::uint8_t* data, std::size_t size);
inline std::string base64Encode(const Bytes& b) { return base64Encode(b.data(), b.size()); }

// Strict: white space is skipped, anything else outside the alphabet, or
// padding anywhere but at the end, fails.
bool base64Decode(const char* text, std::size_t size, Bytes& out);

// Hex digits of either case, an even number of them.
bool hexDecode(const std::string& text, Bytes& out);

struct Armor {
    std::vector<std::pair<std::string, std::string>> headers;  // in file order
    Bytes body;

    const std::string* header(const char* name) const;
};

enum class ArmorResult { Found, Absent, Malformed };

// The first block of the given label. Malformed: its begin line is there,
// but the block is not whole or not base64.
ArmorResult findArmor(std::string_view text, const std::string& label, Armor& out);

// The base64 of data in lines of at most width characters, each ended by
// a line feed, between the begin and end lines of label.
Bytes armor(const std::string& label, const Bytes& data, std::size_t width);

}  // namespace agentcore

#endif
