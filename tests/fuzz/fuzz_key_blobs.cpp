// Public key blobs (plain and certificates) and the key part of add
// requests, from arbitrary bytes.
#include "Key.h"

using namespace agentcore;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    initCrypto();
    PublicKey pub;
    if (parsePublicKey(data, size, pub)) {
        // A blob that parses names its whole self.
        if (pub.blob.size() != size) __builtin_trap();
        fingerprintSha256(pub.blob);
        static const std::uint8_t msg[] = "m";
        static const std::uint8_t sig[] = {0, 0, 0, 11, 's', 's', 'h', '-', 'e', 'd', '2', '5', '5', '1', '9', 0, 0, 0, 0};
        verifySignature(pub, msg, 1, sig, sizeof sig);
    }
    WireReader r(data, size);
    std::unique_ptr<PrivateKey> key;
    readPrivateKey(r, key);
    return 0;
}
