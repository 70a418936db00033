#include "TestKeys.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

using agentcore::Bytes;
using agentcore::WireReader;
using agentcore::WireWriter;

void sha512For(const agentcore::Bytes& in, agentcore::Bytes& out);

namespace testkeys {

std::string fixturePath(const std::string& name) { return std::string(AGENTCORE_FIXTURES) + "/" + name; }

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Bytes base64Decode(const std::string& text) {
    Bytes out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else continue;
        acc = (acc << 6) | std::uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(std::uint8_t(acc >> bits));
        }
    }
    return out;
}

std::string base64Encode(const Bytes& data) {
    static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += a[v >> 18], out += a[(v >> 12) & 63], out += a[(v >> 6) & 63], out += a[v & 63];
    }
    if (i + 1 == data.size()) {
        std::uint32_t v = data[i] << 16;
        out += a[v >> 18], out += a[(v >> 12) & 63], out += "==";
    } else if (i + 2 == data.size()) {
        std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8);
        out += a[v >> 18], out += a[(v >> 12) & 63], out += a[(v >> 6) & 63], out += '=';
    }
    return out;
}

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes publicBlob(const std::string& pubPath) {
    std::istringstream s(readText(pubPath));
    std::string type, b64;
    s >> type >> b64;
    return base64Decode(b64);
}

namespace {

// The private section of an unencrypted key file, positioned at its key.
Bytes privateSection(const std::string& keyPath) {
    std::string text = readText(keyPath);
    std::size_t begin = text.find("-----\n");
    std::size_t end = text.find("-----END");
    Bytes raw = base64Decode(text.substr(begin + 6, end - begin - 6));
    static const char magic[] = "openssh-key-v1";
    WireReader r(raw.data() + sizeof magic, raw.size() - sizeof magic);
    std::string cipher, kdf;
    Bytes kdfOptions, pub, priv;
    std::uint32_t count;
    if (!r.text(cipher) || cipher != "none" || !r.text(kdf) || !r.string(kdfOptions) || !r.u32(count) || count != 1 ||
        !r.string(pub) || !r.string(priv))
        throw std::runtime_error("not an unencrypted key file: " + keyPath);
    return priv;
}

}  // namespace

namespace {

// The key part of the private section: type and numbers, without the
// comment that ends it.
Bytes keyWithoutComment(const std::string& keyPath, std::string& comment) {
    Bytes priv = privateSection(keyPath);
    WireReader r(priv);
    std::uint32_t check1, check2;
    r.u32(check1), r.u32(check2);
    // What follows the key is padding 1, 2, 3...: the key ends with its comment.
    std::size_t start = r.position();
    std::string type;
    r.text(type);
    int fields = type == "ssh-ed25519" ? 2 : type == "ssh-rsa" ? 6 : type == "ssh-dss" ? 5 : 3;
    Bytes skip;
    for (int i = 0; i < fields; ++i) r.string(skip);
    std::size_t end = r.position();
    r.text(comment);
    if (!r.ok()) throw std::runtime_error("bad private section: " + keyPath);
    return Bytes(priv.begin() + std::ptrdiff_t(start), priv.begin() + std::ptrdiff_t(end));
}

}  // namespace

Bytes addIdentityBody(const std::string& keyPath) {
    std::string comment;
    WireWriter w;
    w.raw(keyWithoutComment(keyPath, comment));
    w.string(comment);
    return w.take();
}

std::unique_ptr<agentcore::PrivateKey> fixturePrivateKey(const std::string& name) {
    agentcore::initCrypto();
    Bytes body = addIdentityBody(fixturePath(name));
    WireReader r(body);
    std::unique_ptr<agentcore::PrivateKey> key;
    if (agentcore::readPrivateKey(r, key) != agentcore::AddResult::Ok) key.reset();
    return key;
}

Bytes addIdentityBody(const std::string& keyPath, const std::string& comment) {
    std::string own;
    WireWriter w;
    w.raw(keyWithoutComment(keyPath, own));
    w.string(comment);
    return w.take();
}

Bytes addCertificateBody(const std::string& keyPath, const std::string& certPath) {
    return addCertificateBody(keyPath, publicBlob(certPath));
}

Bytes addCertificateBody(const std::string& keyPath, const Bytes& cert) {
    Bytes plain = addIdentityBody(keyPath);
    WireReader r(plain);
    std::string type;
    r.text(type);
    WireWriter w;
    w.string(type + "-cert-v01@openssh.com");
    w.string(cert);
    // The certificate carries the public numbers; only the private ones follow.
    int skipFields = type == "ssh-ed25519" ? 0 : type == "ssh-rsa" ? 2 : type == "ssh-dss" ? 4 : 2;
    Bytes field;
    for (int i = 0; i < skipFields; ++i) r.string(field);
    w.raw(plain.data() + r.position(), plain.size() - r.position());
    return w.take();
}

Bytes frame(std::uint8_t type, const Bytes& body) {
    WireWriter w;
    w.u32(std::uint32_t(body.size() + 1));
    w.u8(type);
    w.raw(body);
    return w.take();
}

Bytes sshsigSignedData(const Bytes& message) {
    Bytes digest;
    sha512For(message, digest);
    WireWriter w;
    w.raw(reinterpret_cast<const std::uint8_t*>("SSHSIG"), 6);
    w.string(std::string("file"));
    w.string(std::string());
    w.string(std::string("sha512"));
    w.string(digest);
    return w.take();
}

void writeSshsigFiles(const std::string& dir, const Bytes& pubBlob, const Bytes& signature, const Bytes& message) {
    WireReader blob(pubBlob);
    std::string keyType;
    blob.text(keyType);
    std::ofstream(dir + "/allowed", std::ios::binary) << "tester " << keyType << " " << base64Encode(pubBlob) << "\n";
    std::ofstream(dir + "/message", std::ios::binary)
        .write(reinterpret_cast<const char*>(message.data()), std::streamsize(message.size()));
    WireWriter w;
    w.raw(reinterpret_cast<const std::uint8_t*>("SSHSIG"), 6);
    w.u32(1);
    w.string(pubBlob);
    w.string(std::string("file"));
    w.string(std::string());
    w.string(std::string("sha512"));
    w.string(signature);
    std::string b64 = base64Encode(w.bytes());
    std::ofstream sig(dir + "/message.sig", std::ios::binary);
    sig << "-----BEGIN SSH SIGNATURE-----\n";
    for (std::size_t i = 0; i < b64.size(); i += 70) sig << b64.substr(i, 70) << "\n";
    sig << "-----END SSH SIGNATURE-----\n";
}

std::string sshsigVerifyCommand(const std::string& d) {
    return "ssh-keygen -Y verify -f " + d + "/allowed -I tester -n file -s " + d + "/message.sig < " + d + "/message";
}

}  // namespace testkeys

#include <gcrypt.h>
void sha512For(const agentcore::Bytes& in, agentcore::Bytes& out) {
    out.resize(64);
    gcry_md_hash_buffer(GCRY_MD_SHA512, out.data(), in.data(), in.size());
}
