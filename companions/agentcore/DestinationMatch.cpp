#include "DestinationMatch.h"

#include "HostCertificate.h"
#include "UserAuthRequest.h"
#include "Wire.h"

#include <algorithm>

namespace agentcore {

namespace {

// As ssh takes host certificates: signed with SHA-2 or an elliptic curve,
// never SHA-1.
bool authorityFormatAccepted(const std::string& format) {
    static const char* const kAccepted[] = {"ssh-ed25519",         "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384",
                                            "ecdsa-sha2-nistp521", "rsa-sha2-256",        "rsa-sha2-512"};
    return std::find(std::begin(kAccepted), std::end(kAccepted), format) != std::end(kAccepted);
}

// No principals: any host. Otherwise the host's name (a pattern, as the
// user wrote it) must match one.
bool principalsName(const Bytes& principals, const std::string& host) {
    if (principals.empty()) return true;
    WireReader r(principals);
    std::string principal;
    while (r.remaining())
        if (r.text(principal) && matchesPattern(principal, host)) return true;
    return false;
}

bool certifiesHost(const CertificateFields& cert, const std::string& host, std::uint64_t now) {
    return cert.type == SSH_CERT_TYPE_HOST && now >= cert.validAfter && now < cert.validBefore &&
           !cert.criticalOptions && authorityFormatAccepted(cert.signatureFormat) &&
           principalsName(cert.principals, host);
}

// A bound certificate was signed by its authority (checked at the bind);
// here the hop must name that authority, and the certificate this host.
bool certifiedFor(const Bytes& hostKey, const ConstraintHop& hop, std::uint64_t now) {
    PublicKey key;
    CertificateFields cert;
    if (!parsePublicKey(hostKey.data(), hostKey.size(), key) || !readCertificate(key, cert)) return false;
    for (const HopHostKey& hopKey : hop.keys)
        if (hopKey.authority && hopKey.blob == cert.authority && certifiesHost(cert, hop.host, now)) return true;
    return false;
}

bool hostMatches(const Bytes& hostKey, const ConstraintHop& hop, std::uint64_t now) {
    bool authorities = false;
    for (const HopHostKey& hopKey : hop.keys) {
        if (!hopKey.authority && hopKey.blob == hostKey) return true;
        authorities = authorities || hopKey.authority;
    }
    return authorities && certifiedFor(hostKey, hop, now);
}

// One hop: from the host before it (nullptr: this machine) to a host
// (nullptr: anywhere), for a user (nullptr: no login yet). host receives
// the name of the destination that permits it.
bool hopPermitted(const Destinations& where, const Bytes* from, const Bytes* to, const std::string* user,
                  std::uint64_t now, std::string* host) {
    for (const DestinationConstraint& c : where) {
        bool fromMatches = from ? hostMatches(*from, c.from, now) : c.from.host.empty() && c.from.keys.empty();
        if (!fromMatches || (to && !hostMatches(*to, c.to, now))) continue;
        if (user && !c.to.user.empty() && !matchesPattern(*user, c.to.user)) continue;
        if (host) *host = c.to.host;
        return true;
    }
    return false;
}

// Every binding before the last forwards the agent; a login (user given)
// ends the chain at a host it was not forwarded to.
bool chainPermitted(const Destinations& where, const std::vector<SessionBinding>& bindings, const std::string* user,
                    std::uint64_t now, std::string* host) {
    const Bytes* from = nullptr;
    for (std::size_t i = 0; i < bindings.size(); ++i) {
        const SessionBinding& b = bindings[i];
        bool last = i + 1 == bindings.size();
        if (last ? (user && b.forwarding) : !b.forwarding) return false;
        if (!hopPermitted(where, from, &b.hostKey, last ? user : nullptr, now, last ? host : nullptr)) return false;
        from = &b.hostKey;
    }
    return true;
}

}  // namespace

bool permittedOn(const Destinations& where, const std::vector<SessionBinding>& bindings, std::uint64_t now) {
    if (where.empty() || bindings.empty()) return true;
    if (!chainPermitted(where, bindings, nullptr, now, nullptr)) return false;
    // A key that may log in to the host the agent was forwarded to, but go
    // no further from it, is no business of the programs on that host.
    const SessionBinding& last = bindings.back();
    return !last.forwarding || hopPermitted(where, &last.hostKey, nullptr, nullptr, now, nullptr);
}

const char* loginRefusal(const Destinations& where, const std::vector<SessionBinding>& bindings,
                         const Bytes& keyBlob, const std::uint8_t* data, std::size_t size, std::uint64_t now,
                         std::string& host) {
    if (bindings.empty()) return "refused, a key held for some destinations signs on bound connections only";
    UserAuthRequest login;
    if (!readUserAuthRequest(data, size, keyBlob, login))
        return "refused, a key held for some destinations signs logins only";
    if (!chainPermitted(where, bindings, &login.user, now, &host))
        return "refused, not permitted for this destination";
    const SessionBinding& last = bindings.back();
    if (login.sessionId != last.sessionId) return "refused, the login is for another session";
    // Only the host key in the login tells which host a forwarded client
    // signs for.
    if (bindings.size() > 1 && !login.hostBound) return "refused, a forwarded login names no host key";
    if (login.hostBound && login.hostKey != last.hostKey) return "refused, the login names another host key";
    return nullptr;
}

bool matchesPattern(const std::string& text, const std::string& pattern) {
    // On a mismatch, the last '*' takes one character more; no star twice,
    // so a pattern of many stars costs no more than length times length.
    std::size_t t = 0, p = 0, star = std::string::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++t, ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace agentcore
