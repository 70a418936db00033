#include "Destinations.h"

namespace agentcore {

namespace {

// A string field as a reader of its own, so that nothing inside it can
// reach past it.
bool nested(WireReader& in, WireReader& field) {
    const std::uint8_t* p;
    std::size_t n;
    if (!in.stringView(p, n)) return false;
    field = WireReader(p, n);
    return true;
}

bool nameSound(const std::string& name) {
    return name.size() <= kMaxHopName && name.find('\0') == std::string::npos;
}

// Data of a later version of the format: not understood, so not held.
bool reservedEmpty(WireReader& in, bool& empty) {
    const std::uint8_t* p;
    std::size_t n;
    if (!in.stringView(p, n)) return false;
    empty = n == 0;
    return true;
}

AddResult readHostKey(WireReader& in, ConstraintHop& hop) {
    const std::uint8_t* blob;
    std::size_t size;
    bool authority;
    if (!in.stringView(blob, size) || !in.boolean(authority)) return AddResult::Malformed;
    if (hop.keys.size() >= kMaxHopKeys) return AddResult::Refused;
    // A certificate names no host key a session could be bound to, and
    // certifies none.
    PublicKey key;
    if (!parsePublicKey(blob, size, key) || key.certificate) return AddResult::Refused;
    hop.keys.push_back(HopHostKey{key.blob, authority});
    return AddResult::Ok;
}

// user, host, reserved, then keys to the end of the field.
AddResult readHop(WireReader& in, ConstraintHop& hop) {
    WireReader field(nullptr, 0);
    bool empty;
    if (!nested(in, field) || !field.text(hop.user) || !field.text(hop.host) || !reservedEmpty(field, empty))
        return AddResult::Malformed;
    if (!empty || !nameSound(hop.user) || !nameSound(hop.host)) return AddResult::Refused;
    while (field.remaining()) {
        AddResult read = readHostKey(field, hop);
        if (read != AddResult::Ok) return read;
    }
    return AddResult::Ok;
}

// The start is this machine (no host, no keys) or a host with its keys,
// never a user; the destination a host with its keys.
bool consistent(const DestinationConstraint& c) {
    bool startOnThisMachine = c.from.host.empty() && c.from.keys.empty();
    bool startOnHost = !c.from.host.empty() && !c.from.keys.empty();
    return c.from.user.empty() && (startOnThisMachine || startOnHost) && !c.to.host.empty() && !c.to.keys.empty();
}

AddResult readConstraint(WireReader& in, DestinationConstraint& c) {
    WireReader field(nullptr, 0);
    if (!nested(in, field)) return AddResult::Malformed;
    AddResult read = readHop(field, c.from);
    if (read == AddResult::Ok) read = readHop(field, c.to);
    if (read != AddResult::Ok) return read;
    bool empty;
    if (!reservedEmpty(field, empty) || !field.atEnd()) return AddResult::Malformed;
    return empty && consistent(c) ? AddResult::Ok : AddResult::Refused;
}

}  // namespace

AddResult readDestinations(WireReader& in, Destinations& out) {
    WireReader list(nullptr, 0);
    if (!nested(in, list)) return AddResult::Malformed;
    // A restriction to nowhere would leave the key to go anywhere.
    if (!list.remaining()) return AddResult::Refused;
    while (list.remaining()) {
        if (out.size() >= kMaxDestinationConstraints) return AddResult::Refused;
        out.emplace_back();
        AddResult read = readConstraint(list, out.back());
        if (read != AddResult::Ok) return read;
    }
    return AddResult::Ok;
}

}  // namespace agentcore
