// Private and public key files as OpenSSH and OpenSSL write them. Readers
// take the file's bytes (the caller reads the file) and answer with the
// core's key object; writers answer with the bytes of a whole file.
#ifndef AGENTCORE_KEYFILE_H
#define AGENTCORE_KEYFILE_H

#include "Key.h"

#include <memory>
#include <string>

namespace agentcore {

enum class KeyFileResult {
    Ok,
    NotKeyFile,       // no private key armor of any known kind
    Unsupported,      // a key file, but a cipher, KDF or key this agent does not take
    NeedsPassphrase,  // encrypted, and no passphrase was given
    WrongPassphrase,  // the check bytes, tag or padding came out wrong
    Corrupt,          // readable as far as the damage
};

// Bounds on the work a file may ask for, so that a hostile file cannot
// hold the agent for hours.
struct KeyFileLimits {
    unsigned maxBcryptRounds = 10000;
    unsigned maxPbkdf2Iterations = 10000000;
};

// Reads an OpenSSH private key ("openssh-key-v1", any of its ciphers), a
// PEM key of RSA, EC or DSA (plain, or with the classic DEK-Info
// encryption) or PKCS#8 (plain, or PBES2 with PBKDF2 and AES). passphrase
// is null when none is known yet. The comment is the file's own, empty for
// formats without one.
KeyFileResult readPrivateKeyFile(const Bytes& contents, const char* passphrase, std::unique_ptr<PrivateKey>& out,
                                 const KeyFileLimits& limits = KeyFileLimits());

// A certificate file ("<key>-cert.pub", one line as OpenSSH writes it) for
// key: out is the same private key under the certificate. False when the
// line is no certificate or certifies another key.
bool certifiedKey(const PrivateKey& key, const Bytes& certificateFile, std::unique_ptr<PrivateKey>& out);

// The whole of a small file (key files are a few kilobytes; more than
// maxSize fails).
bool readFileContents(const std::string& path, Bytes& out, std::size_t maxSize = 1 << 20);

// The OpenSSH private key format, unencrypted, with the key's comment.
Bytes openSshPrivateKeyFile(const PrivateKey& key);

}  // namespace agentcore

#endif
