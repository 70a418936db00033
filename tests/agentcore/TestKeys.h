// Fixture keys for the core's tests: OpenSSH key files made once with
// ssh-keygen and kept beside the tests.
#ifndef AGENTCORE_TESTKEYS_H
#define AGENTCORE_TESTKEYS_H

#include "Bytes.h"
#include "Key.h"
#include "Wire.h"

#include <memory>
#include <string>

namespace testkeys {

std::string fixturePath(const std::string& name);
std::string readText(const std::string& path);
agentcore::Bytes base64Decode(const std::string& text);
std::string base64Encode(const agentcore::Bytes& data);
agentcore::Bytes fromHex(const std::string& hex);

// The blob of a ".pub" file (its second field).
agentcore::Bytes publicBlob(const std::string& pubPath);

// The body of an add identity request (type, key numbers, comment) for an
// unencrypted OpenSSH private key file: its private section holds the key
// in exactly that form.
agentcore::Bytes addIdentityBody(const std::string& keyPath);

// The fixture key of that name, read as an added key is; null when it
// does not read.
std::unique_ptr<agentcore::PrivateKey> fixturePrivateKey(const std::string& name);

// The same with another comment.
agentcore::Bytes addIdentityBody(const std::string& keyPath, const std::string& comment);

// The same key added with its certificate (a "-cert.pub" file, or a blob).
agentcore::Bytes addCertificateBody(const std::string& keyPath, const std::string& certPath);
agentcore::Bytes addCertificateBody(const std::string& keyPath, const agentcore::Bytes& certBlob);

// SSHSIG as ssh-keygen -Y sign makes it (namespace "file", SHA-512): the
// data a key signs for a message...
agentcore::Bytes sshsigSignedData(const agentcore::Bytes& message);
// ...and, for the key's signature of it, the files that ssh-keygen -Y
// verify reads: dir/allowed (signer "tester"), dir/message, dir/message.sig.
void writeSshsigFiles(const std::string& dir, const agentcore::Bytes& pubBlob, const agentcore::Bytes& signature,
                      const agentcore::Bytes& message);
// The shell command that checks them, with the directory as Linux names it.
std::string sshsigVerifyCommand(const std::string& unixDir);

// A whole request with its length prefix.
agentcore::Bytes frame(std::uint8_t type, const agentcore::Bytes& body);

}  // namespace testkeys

#endif
