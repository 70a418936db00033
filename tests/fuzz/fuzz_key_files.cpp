// Private key files (OpenSSH, PEM, PKCS#8) and certificate lines, from
// arbitrary bytes, with and without a passphrase.
#include "KeyFile.h"

using namespace agentcore;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    initCrypto();
    // Low bounds keep each input fast; the bounds themselves are tested.
    KeyFileLimits limits;
    limits.maxBcryptRounds = 4;
    limits.maxPbkdf2Iterations = 2048;
    Bytes file(data, data + size);
    std::unique_ptr<PrivateKey> key;
    readPrivateKeyFile(file, nullptr, key, limits);
    if (readPrivateKeyFile(file, "fuzz", key, limits) == KeyFileResult::Ok) {
        if (!key) __builtin_trap();
        // What is read can be written and read back as the same key (the
        // writer leaves a certificate out).
        std::unique_ptr<PrivateKey> again;
        if (readPrivateKeyFile(openSshPrivateKeyFile(*key), nullptr, again) != KeyFileResult::Ok ||
            plainPublicBlob(again->pub) != plainPublicBlob(key->pub))
            __builtin_trap();
        publicKeyLine(key->pub, key->comment);
        rfc4716PublicKey(key->pub, key->comment);
        std::unique_ptr<PrivateKey> certified;
        certifiedKey(*key, file, certified);
    }
    return 0;
}
