#include "HostCertificate.h"

#include "KeyTypes.h"

namespace agentcore {

namespace {

bool u64(WireReader& r, std::uint64_t& out) {
    std::uint32_t high, low;
    if (!r.u32(high) || !r.u32(low)) return false;
    out = (std::uint64_t(high) << 32) | low;
    return true;
}

}  // namespace

bool readCertificate(const PublicKey& cert, CertificateFields& out) {
    if (!cert.certificate) return false;
    WireReader r(cert.blob);
    std::string type;
    const std::uint8_t* field;
    std::size_t n;
    std::uint64_t serial;
    PublicKey numbers;
    numbers.algorithm = cert.algorithm;
    // type, nonce, the key, serial, type, key id, principals, validity,
    // critical options, extensions, reserved, signer; then the signature
    // over everything before it.
    if (!r.text(type) || !r.stringView(field, n) || !detail::readPublicFields(r, numbers) || !u64(r, serial) ||
        !r.u32(out.type) || !r.stringView(field, n) || !r.string(out.principals) || !u64(r, out.validAfter) ||
        !u64(r, out.validBefore) || !r.stringView(field, n))
        return false;
    out.criticalOptions = n != 0;
    if (!r.stringView(field, n) || !r.stringView(field, n) || !r.string(out.authority)) return false;
    out.signedSize = r.position();
    if (!r.string(out.signature) || !r.atEnd()) return false;
    WireReader signature(out.signature);
    return signature.text(out.signatureFormat);
}

bool authoritySigned(const PublicKey& cert) {
    CertificateFields fields;
    PublicKey authority;
    return readCertificate(cert, fields) &&
           parsePublicKey(fields.authority.data(), fields.authority.size(), authority) && !authority.certificate &&
           verifySignature(authority, cert.blob.data(), fields.signedSize, fields.signature.data(),
                           fields.signature.size());
}

}  // namespace agentcore
