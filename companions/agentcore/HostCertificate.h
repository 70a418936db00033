// The fields of a certificate that decide which hosts it speaks for, and
// the check of its authority's signature. A host that shows a certificate
// binds a session only when its authority really signed it, so that a
// destination naming that authority can trust what the certificate says.
#ifndef AGENTCORE_HOSTCERTIFICATE_H
#define AGENTCORE_HOSTCERTIFICATE_H

#include "Bytes.h"
#include "Key.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace agentcore {

enum : std::uint32_t { SSH_CERT_TYPE_USER = 1, SSH_CERT_TYPE_HOST = 2 };

struct CertificateFields {
    std::uint32_t type = 0;
    // The principals field: strings, one after another.
    Bytes principals;
    std::uint64_t validAfter = 0;
    std::uint64_t validBefore = 0;
    bool criticalOptions = false;
    Bytes authority;          // the signer's blob
    std::string signatureFormat;
    std::size_t signedSize = 0;  // the blob up to its signature
    Bytes signature;          // string format, string signature
};

// Reads a certificate that parsePublicKey took; false for a plain key.
bool readCertificate(const PublicKey& cert, CertificateFields& out);

// The authority's signature over the certificate checks out. Authorities
// on security keys sign in a form this agent does not check: false.
bool authoritySigned(const PublicKey& cert);

}  // namespace agentcore

#endif
