#include "UserAuthRequest.h"

#include "Wire.h"

namespace agentcore {

namespace {

const std::uint8_t SSH_MSG_USERAUTH_REQUEST = 50;
const char* const kService = "ssh-connection";
const char* const kPublicKey = "publickey";
const char* const kHostBound = "publickey-hostbound-v00@openssh.com";

// RSA keys sign under names of their own for SHA-2 (RFC 8332), and so do
// their certificates.
std::string keyTypeOf(const std::string& algorithm) {
    static const char* const kRsaSha2[][2] = {
        {"rsa-sha2-256", "ssh-rsa"},
        {"rsa-sha2-512", "ssh-rsa"},
        {"rsa-sha2-256-cert-v01@openssh.com", "ssh-rsa-cert-v01@openssh.com"},
        {"rsa-sha2-512-cert-v01@openssh.com", "ssh-rsa-cert-v01@openssh.com"},
    };
    for (const auto& name : kRsaSha2)
        if (algorithm == name[0]) return name[1];
    return algorithm;
}

std::string typeOfBlob(const Bytes& blob) {
    WireReader r(blob);
    std::string type;
    r.text(type);
    return type;
}

// Names end at the first NUL byte for OpenSSH: one inside is no name.
bool text(WireReader& r, std::string& out) { return r.text(out) && out.find('\0') == std::string::npos; }

}  // namespace

bool readUserAuthRequest(const std::uint8_t* data, std::size_t size, const Bytes& keyBlob, UserAuthRequest& out) {
    WireReader r(data, size);
    std::uint8_t message, signatureFollows;
    std::string service, method, algorithm;
    Bytes key;
    if (!r.string(out.sessionId) || out.sessionId.empty() || !r.u8(message) || !text(r, out.user) ||
        !text(r, service) || !text(r, method) || !r.u8(signatureFollows) || !text(r, algorithm) || !r.string(key))
        return false;
    if (message != SSH_MSG_USERAUTH_REQUEST || service != kService || signatureFollows != 1 || key != keyBlob ||
        keyTypeOf(algorithm) != typeOfBlob(keyBlob))
        return false;
    out.hostBound = method == kHostBound;
    if (out.hostBound && !r.string(out.hostKey)) return false;
    if (!out.hostBound && method != kPublicKey) return false;
    return r.atEnd();
}

}  // namespace agentcore
