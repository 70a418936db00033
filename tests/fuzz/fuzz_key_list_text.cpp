// The key manager's rows made from the key list the agent reports. The
// comments are chosen by whoever added the keys, a forwarded host too, so
// every name must come out one printable line of at most kMaxName bytes,
// and no two rows may be named alike (a row is found again by its name).
// The input is a lifetime text as the user types it, up to the first
// newline, then keys laid out as in the agent's key list answer: string
// blob, string comment, uint32 seconds left, boolean confirm.
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

std::vector<HeldKey> heldKeys(WireReader& in) {
    std::vector<HeldKey> keys;
    HeldKey key;
    while (keys.size() < kMostKeys && in.string(key.blob) && in.text(key.comment) && in.u32(key.secondsLeft) &&
           in.boolean(key.confirm))
        keys.push_back(key);
    return keys;
}

void checkNames(const std::vector<ShownKey>& rows) {
    std::set<std::string> names;
    for (const ShownKey& row : rows) {
        if (row.name.empty() || row.name.size() > kMaxName || !names.insert(row.name).second) __builtin_trap();
        for (char c : row.name)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    initCrypto();
    const std::uint8_t* newline = static_cast<const std::uint8_t*>(std::memchr(data, '\n', size));
    std::size_t textSize = newline ? std::size_t(newline - data) : size;
    std::string lifetime(reinterpret_cast<const char*>(data), textSize);
    std::uint32_t seconds = 0;
    if (parseLifetime(lifetime.c_str(), seconds)) durationText(seconds, DetailTexts());

    std::size_t listAt = newline ? textSize + 1 : size;
    WireReader in(data + listAt, size - listAt);
    std::vector<HeldKey> keys = heldKeys(in);
    checkNames(showKeys(keys, DetailTexts(), fingerprintSha256));
    return 0;
}
