// What the key manager shows of the agent's keys: a unique name of at most
// 127 characters, the type code and a one-line detail. No Windows headers,
// so the rules are tested on the build machine.
#ifndef OPENSSH_KEYLISTTEXT_H
#define OPENSSH_KEYLISTTEXT_H

#include "Bytes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace keylist {

using agentcore::Bytes;

// The manager cuts names at this length; nothing it shows may be longer.
const std::size_t kMaxName = 127;
// A list view draws no more of a cell than this; a detail that needs more
// is shortened here, where it can be done at a hop and a character.
const std::size_t kMaxDetail = 259;

// One hop a key may be used for: from a host (empty: the user's machine)
// to a user (empty: any) at a host.
struct Destination {
    std::string fromHost;
    std::string toUser;
    std::string toHost;
};

// One key as the agent reports it.
struct HeldKey {
    Bytes blob;
    std::string comment;
    std::uint32_t secondsLeft = 0;  // 0: no lifetime
    bool confirm = false;
    std::vector<Destination> destinations;  // empty: usable anywhere
};

// The words of the detail column in the user's language: printf formats
// with one %u (bits, and the four units), one %s (expires, destinations,
// one more) or a %s and a %u (more), the separator between hops and the one
// between the parts of the detail.
struct DetailTexts {
    std::string bits = "%u bits";
    std::string expires = "expires in %s";
    std::string confirm = "confirms each use";
    std::string days = "%u d";
    std::string hours = "%u h";
    std::string minutes = "%u min";
    std::string seconds = "%u s";
    std::string destinations = "only for %s";
    std::string hopSeparator = ", ";
    std::string partSeparator = ", ";
    std::string oneMore = "%s and 1 more";
    std::string more = "%s and %u more";
};

struct ShownKey {
    std::string name;
    std::int32_t typeCode = 5;
    std::string detail;
    const HeldKey* key = nullptr;
};

// "SHA256:" and OpenSSH's unpadded base64 of the blob's SHA-256.
using Fingerprint = std::function<std::string(const Bytes& blob)>;

// In the agent's order, every name distinct; each detail one line of at
// most kMaxDetail bytes.
std::vector<ShownKey> showKeys(const std::vector<HeldKey>& keys, const DetailTexts& texts, const Fingerprint& fingerprint);

// The names alone: comments made printable, an empty one replaced by
// fallback, a clash or an overlong name given an end " (n)" that keeps it
// within kMaxName.
std::vector<std::string> uniqueNames(const std::vector<std::string>& comments, const std::vector<std::string>& fallbacks);

// The type code of the key manager by the blob's type name.
std::int32_t typeCodeOf(const std::string& typeName);

// The words a user may type after a number of a lifetime, in the user's
// language: seconds, minutes, hours and days, each a list of words, as in
// "s,Sek.|m,Min.|h,Std.|d,T,Tg." (a word ending in a dot is taken without
// it too). ASCII words match in either case, others byte for byte.
struct LifetimeUnits {
    std::vector<std::string> words[4];
};
LifetimeUnits lifetimeUnitsFrom(const std::string& list);

// One or more numbers, each followed by a unit ("90" seconds, "30m",
// "8 h", "1 h 30 min", "1h30"; only the last may lack its unit), with
// spaces around; "0" is no lifetime. False for anything else or more than
// fits in 32 bits.
bool parseLifetime(const char* text, const LifetimeUnits& units, std::uint32_t& seconds);

// At most two units, largest first ("1 h 30 min").
std::string durationText(std::uint32_t seconds, const DetailTexts& texts);

}  // namespace keylist

#endif
