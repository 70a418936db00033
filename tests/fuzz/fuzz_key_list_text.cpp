// The key manager's rows made from the key list the agent reports. The
// comments and destinations are chosen by whoever added the keys, a
// forwarded host too, so every name must come out one printable line of at
// most kMaxName bytes, no two rows may be named alike (a row is found again
// by its name), and every detail must be one printable line the list can
// draw whole (kMaxDetail). The input is a lifetime text as the user types
// it, up to the first newline, then keys laid out as in the agent's key
// list answer: string blob, string comment, uint32 seconds left, boolean
// confirm, uint32 hops and each hop's from host, to user and to host.
#include "Key.h"
#include "KeyListText.h"
#include "Wire.h"

#include <cstring>
#include <set>

using namespace agentcore;
using namespace keylist;

namespace {

// Enough rows to walk the renaming of clashes; more only take longer.
const std::size_t kMostKeys = 64;

// Enough hops to fill any detail; the library bounds the count by what is
// left of the answer.
const std::uint32_t kMostHops = 512;

bool readHops(WireReader& in, std::vector<Destination>& hops) {
    std::uint32_t count;
    if (!in.u32(count) || count > kMostHops) return false;
    hops.assign(count, Destination());
    for (Destination& hop : hops)
        if (!in.text(hop.fromHost) || !in.text(hop.toUser) || !in.text(hop.toHost)) return false;
    return true;
}

std::vector<HeldKey> heldKeys(WireReader& in) {
    std::vector<HeldKey> keys;
    HeldKey key;
    while (keys.size() < kMostKeys && in.string(key.blob) && in.text(key.comment) && in.u32(key.secondsLeft) &&
           in.boolean(key.confirm) && readHops(in, key.destinations))
        keys.push_back(key);
    return keys;
}

bool oneLine(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

void checkRows(const std::vector<ShownKey>& rows) {
    std::set<std::string> names;
    for (const ShownKey& row : rows) {
        if (row.name.empty() || row.name.size() > kMaxName || !names.insert(row.name).second) __builtin_trap();
        if (!oneLine(row.name) || !oneLine(row.detail) || row.detail.size() > kMaxDetail) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    initCrypto();
    const std::uint8_t* newline = static_cast<const std::uint8_t*>(std::memchr(data, '\n', size));
    std::size_t textSize = newline ? std::size_t(newline - data) : size;
    std::string lifetime(reinterpret_cast<const char*>(data), textSize);
    std::uint32_t seconds = 0;
    // Dotted, one-letter and double-byte words, as the languages have them.
    static const LifetimeUnits units = lifetimeUnitsFrom("s,Sek.,\x95\x62|m,min,Min.|h,Std.,\x8e\x9e\x8a\xd4|d,T,Tg.,j");
    if (parseLifetime(lifetime.c_str(), units, seconds)) durationText(seconds, DetailTexts());

    std::size_t listAt = newline ? textSize + 1 : size;
    WireReader in(data + listAt, size - listAt);
    std::vector<HeldKey> keys = heldKeys(in);
    checkRows(showKeys(keys, DetailTexts(), fingerprintSha256));
    return 0;
}
