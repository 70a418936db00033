// Key files against their outside judges: published Blowfish and
// bcrypt_pbkdf vectors, files written by ssh-keygen and openssl, and
// ssh-keygen reading what is written here.
#include "Bcrypt.h"
#include "Encoding.h"
#include "KeyFile.h"
#include "KeyFileRequest.h"
#include "TestKeys.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace agentcore;

namespace {

const char kPass[] = "passw0rd";

// One temporary folder of generated files for the whole program.
std::string g_dir;

class KeyFiles : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        initCrypto();
        char dir[] = "/tmp/agentcore-keyfiles-XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        g_dir = dir;
        std::string cmd = std::string(AGENTCORE_KEYFILE_SCRIPT) + " " + AGENTCORE_FIXTURES + " " + g_dir + " " + kPass;
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + g_dir).c_str()); }

    static std::string path(const std::string& name) { return g_dir + "/" + name; }
};

Bytes contents(const std::string& path) {
    Bytes b;
    EXPECT_TRUE(readFileContents(path, b)) << path;
    return b;
}

KeyFileResult read(const std::string& path, const char* pass, std::unique_ptr<PrivateKey>& key) {
    return readPrivateKeyFile(contents(path), pass, key);
}

// A command's standard output (its error output is dropped).
std::string output(const std::string& cmd) {
    std::string out;
    FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
    char buf[4096];
    std::size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (p) pclose(p);
    return out;
}

// The blob of a "type base64 ..." line.
Bytes lineBlob(const std::string& line) {
    std::istringstream s(line);
    std::string type, b64;
    s >> type >> b64;
    return testkeys::base64Decode(b64);
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), 0600);
}

// The files make-keyfiles.sh writes, each with the key it holds.
struct Made {
    const char* file;
    const char* key;
    bool encrypted;
};
const Made kMade[] = {
    {"ed25519.openssh.aes256-ctr", "ed25519", true},
    {"ed25519.openssh.aes256-cbc", "ed25519", true},
    {"ed25519.openssh.aes256-gcm@openssh.com", "ed25519", true},
    {"ed25519.openssh.chacha20-poly1305@openssh.com", "ed25519", true},
    {"rsa2048.openssh.aes256-ctr", "rsa2048", true},
    {"rsa2048.openssh.chacha20-poly1305@openssh.com", "rsa2048", true},
    {"dsa1024.openssh.aes256-gcm@openssh.com", "dsa1024", true},
    {"ecdsa256.openssh.aes256-cbc", "ecdsa256", true},
    {"ecdsa384.openssh.chacha20-poly1305@openssh.com", "ecdsa384", true},
    {"ecdsa521.openssh.aes256-ctr", "ecdsa521", true},
    {"rsa2048.PEM", "rsa2048", false},
    {"rsa2048.PEM.enc", "rsa2048", true},
    {"rsa2048.PEM.aes256.enc", "rsa2048", true},
    {"rsa2048.PEM.des3.enc", "rsa2048", true},
    {"rsa2048.PKCS8", "rsa2048", false},
    {"rsa2048.PKCS8.enc", "rsa2048", true},
    {"rsa2048.PKCS8.sha1.enc", "rsa2048", true},
    {"dsa1024.PEM", "dsa1024", false},
    {"dsa1024.PEM.enc", "dsa1024", true},
    {"dsa1024.PEM.des3.enc", "dsa1024", true},
    {"dsa1024.PKCS8", "dsa1024", false},
    {"dsa1024.PKCS8.enc", "dsa1024", true},
    {"ecdsa256.PEM", "ecdsa256", false},
    {"ecdsa256.PEM.nopublic", "ecdsa256", false},
    {"ecdsa256.PKCS8.enc", "ecdsa256", true},
    {"ecdsa384.PEM.enc", "ecdsa384", true},
    {"ecdsa384.PEM.aes192.enc", "ecdsa384", true},
    {"ecdsa384.PKCS8", "ecdsa384", false},
    {"ecdsa521.PEM", "ecdsa521", false},
    {"ecdsa521.PKCS8.enc", "ecdsa521", true},
    {"ed25519.PKCS8", nullptr, false},
    {"ed25519.PKCS8.enc", nullptr, true},
};

// The public half ssh-keygen -y finds in a file (openssl's, where
// ssh-keygen cannot read the file).
Bytes expectedBlob(const Made& m) {
    if (!m.key) return lineBlob(testkeys::readText(KeyFiles::path("ed25519.PKCS8.expected")));
    return lineBlob(output("ssh-keygen -y -P " + std::string(kPass) + " -f " + KeyFiles::path(m.file)));
}

}  // namespace

TEST(Bcrypt, BlowfishMatchesPublishedVectors) {
    struct Vector {
        const char *key, *plain, *cipher;
    } vectors[] = {
        {"0000000000000000", "0000000000000000", "4ef997456198dd78"},
        {"ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"},
        {"3000000000000000", "1000000000000001", "7d856f9a613063f2"},
        {"1111111111111111", "1111111111111111", "2466dd878b963c9d"},
    };
    for (const Vector& v : vectors) {
        Bytes key = testkeys::fromHex(v.key), plain = testkeys::fromHex(v.plain);
        Blowfish bf;
        bf.expand(key.data(), key.size());
        std::uint32_t l = (std::uint32_t(plain[0]) << 24) | (plain[1] << 16) | (plain[2] << 8) | plain[3];
        std::uint32_t r = (std::uint32_t(plain[4]) << 24) | (plain[5] << 16) | (plain[6] << 8) | plain[7];
        bf.encrypt(l, r);
        char hex[17];
        std::snprintf(hex, sizeof hex, "%08x%08x", l, r);
        EXPECT_STREQ(hex, v.cipher) << v.key;
    }
}

// OpenBSD's own vectors for bcrypt_pbkdf, and the inputs it refuses.
TEST(Bcrypt, PbkdfMatchesPublishedVectorsAndRefusesEmptyInputs) {
    struct Vector {
        std::string pass, salt;
        unsigned rounds;
        const char* key;
    } vectors[] = {
        {"password", "salt", 4, "5bbf0cc293587f1c3635555c27796598d47e579071bf427e9d8fbe842aba34d9"},
        {"password", std::string(1, '\0'), 4, "c12b566235eee04c212598970a579a67"},
        {std::string(1, '\0'), "salt", 4, "6051be18c2f4f82cbf0efee5471b4bb9"},
        {std::string("password\0", 9), std::string("salt\0", 5), 4,
         "7410e44cf4fa07bfaac8a928b1727fac001375e7bf7384370f48efd121743050"},
    };
    for (const Vector& v : vectors) {
        Bytes expected = testkeys::fromHex(v.key), key(expected.size());
        ASSERT_TRUE(bcryptPbkdf(reinterpret_cast<const std::uint8_t*>(v.pass.data()), v.pass.size(),
                                reinterpret_cast<const std::uint8_t*>(v.salt.data()), v.salt.size(), v.rounds, key.data(),
                                key.size()));
        EXPECT_EQ(key, expected) << v.key;
    }
    std::uint8_t p[1] = {1}, key[32];
    EXPECT_FALSE(bcryptPbkdf(p, 1, p, 1, 0, key, sizeof key));
    EXPECT_FALSE(bcryptPbkdf(p, 0, p, 1, 1, key, sizeof key));
    EXPECT_FALSE(bcryptPbkdf(p, 1, p, 0, 1, key, sizeof key));
    EXPECT_FALSE(bcryptPbkdf(p, 1, p, 1, 1, key, 0));
}

TEST(Encoding, Base64RoundTripsAndRefusesWhatNoEncoderWrites) {
    Bytes data;
    for (int n = 0; n < 7; ++n) {
        std::string text = base64Encode(data);
        text.insert(text.size() / 2, "\r\n ");  // white space anywhere is skipped
        Bytes back;
        EXPECT_TRUE(base64Decode(text.data(), text.size(), back)) << text;
        EXPECT_EQ(back, data);
        data.push_back(std::uint8_t(0xf0 + n));
    }
    for (const char* bad : {"QQ", "QQ=", "Q===", "QQ==QQ==", "QR==", "QUI=x", "QU!=", "QUJD\x80"}) {
        Bytes out;
        EXPECT_FALSE(base64Decode(bad, std::strlen(bad), out)) << bad;
    }
}

TEST_F(KeyFiles, EveryFormatGivesThePublicHalfSshKeygenShows) {
    for (const Made& m : kMade) {
        SCOPED_TRACE(m.file);
        std::unique_ptr<PrivateKey> key;
        ASSERT_EQ(read(path(m.file), kPass, key), KeyFileResult::Ok);
        EXPECT_EQ(key->pub.blob, expectedBlob(m));
        EXPECT_FALSE(key->pub.certificate);
        // Only OpenSSH's own format keeps the comment.
        if (std::strstr(m.file, ".openssh."))
            EXPECT_EQ(key->comment.rfind("fixture ", 0), 0u) << key->comment;
        else
            EXPECT_EQ(key->comment, "");
        // The key signs as the one in the fixture would.
        static const std::uint8_t data[] = "data";
        Bytes sig;
        ASSERT_TRUE(signData(*key, data, sizeof data, SIGN_FLAG_RSA_SHA2_256, sig));
        EXPECT_TRUE(verifySignature(key->pub, data, sizeof data, sig.data(), sig.size()));
    }
    // The committed fixtures are unencrypted OpenSSH files.
    std::unique_ptr<PrivateKey> key;
    ASSERT_EQ(read(testkeys::fixturePath("ecdsa521"), nullptr, key), KeyFileResult::Ok);
    EXPECT_EQ(key->pub.blob, testkeys::publicBlob(testkeys::fixturePath("ecdsa521.pub")));
}

TEST_F(KeyFiles, EncryptedFilesAskForThePassphraseAndRefuseWrongOnes) {
    for (const Made& m : kMade) {
        if (!m.encrypted) continue;
        SCOPED_TRACE(m.file);
        std::unique_ptr<PrivateKey> key;
        EXPECT_EQ(read(path(m.file), nullptr, key), KeyFileResult::NeedsPassphrase);
        EXPECT_EQ(read(path(m.file), "passw0rD", key), KeyFileResult::WrongPassphrase);
        EXPECT_EQ(read(path(m.file), "", key), KeyFileResult::WrongPassphrase);
        EXPECT_FALSE(key);
    }
}

namespace {

// The body of an OpenSSH key file, changed by edit, armored again.
Bytes editOpenSsh(const std::string& file, void (*edit)(Bytes&)) {
    Bytes raw = contents(file);
    Armor a;
    EXPECT_EQ(findArmor(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()), "OPENSSH PRIVATE KEY", a),
              ArmorResult::Found);
    edit(a.body);
    return armor("OPENSSH PRIVATE KEY", a.body, 70);
}

// Where the first check word of an OpenSSH key file's private section is.
std::size_t checkBytesAt(const Bytes& body) {
    WireReader r(body.data() + 15, body.size() - 15);
    Bytes skip;
    std::uint32_t count;
    r.string(skip), r.string(skip), r.string(skip), r.u32(count), r.string(skip), r.u32(count);
    EXPECT_TRUE(r.ok());
    return 15 + r.position();
}

void replaceText(Bytes& b, const std::string& from, const std::string& to) {
    auto at = std::search(b.begin(), b.end(), from.begin(), from.end());
    ASSERT_NE(at, b.end()) << from;
    std::copy(to.begin(), to.end(), at);
}

}  // namespace

TEST_F(KeyFiles, DamagedUnsupportedAndForeignFilesAreToldApart) {
    std::unique_ptr<PrivateKey> key;
    auto result = [&](const Bytes& file, const char* pass = kPass) { return readPrivateKeyFile(file, pass, key); };
    const std::string plain = testkeys::fixturePath("rsa2048");

    // A byte of the private numbers: the halves no longer belong together.
    EXPECT_EQ(result(editOpenSsh(plain, [](Bytes& b) { b[b.size() - 100] ^= 1; })), KeyFileResult::Corrupt);
    // The padding after the comment.
    EXPECT_EQ(result(editOpenSsh(plain, [](Bytes& b) { b.back() ^= 0x40; })), KeyFileResult::Corrupt);
    // Check bytes that differ in an unencrypted file are damage, not a passphrase.
    EXPECT_EQ(result(editOpenSsh(plain, [](Bytes& b) { b[checkBytesAt(b)] ^= 1; })), KeyFileResult::Corrupt);
    // Cut anywhere: never a key, never a crash.
    Bytes whole = contents(plain);
    for (std::size_t cut = 0; cut < whole.size(); cut += 37) {
        Bytes part(whole.begin(), whole.begin() + std::ptrdiff_t(cut));
        EXPECT_NE(result(part), KeyFileResult::Ok) << cut;
    }
    Armor a;
    findArmor(std::string_view(reinterpret_cast<const char*>(whole.data()), whole.size()), "OPENSSH PRIVATE KEY", a);
    for (std::size_t cut = 0; cut < a.body.size(); cut += 13) {
        Bytes body(a.body.begin(), a.body.begin() + std::ptrdiff_t(cut));
        EXPECT_EQ(result(armor("OPENSSH PRIVATE KEY", body, 70)), KeyFileResult::Corrupt) << cut;
    }
    // Encrypted: a changed byte breaks the tag of GCM and Poly1305; under CTR
    // the check bytes still match, so the damage shows in the key itself.
    EXPECT_EQ(result(editOpenSsh(path("ed25519.openssh.aes256-gcm@openssh.com"), [](Bytes& b) { b[b.size() - 40] ^= 1; })),
              KeyFileResult::WrongPassphrase);
    EXPECT_EQ(result(editOpenSsh(path("ecdsa384.openssh.chacha20-poly1305@openssh.com"),
                                 [](Bytes& b) { b[b.size() - 40] ^= 1; })),
              KeyFileResult::WrongPassphrase);
    EXPECT_EQ(result(editOpenSsh(path("rsa2048.openssh.aes256-ctr"), [](Bytes& b) { b[b.size() - 100] ^= 1; })),
              KeyFileResult::Corrupt);
    // A cipher or KDF this agent does not know, or too many rounds.
    EXPECT_EQ(result(editOpenSsh(path("ed25519.openssh.aes256-ctr"), [](Bytes& b) { replaceText(b, "aes256-ctr", "aes256-xts"); })),
              KeyFileResult::Unsupported);
    EXPECT_EQ(result(editOpenSsh(path("ed25519.openssh.aes256-ctr"), [](Bytes& b) { replaceText(b, "bcrypt", "scrypt"); })),
              KeyFileResult::Unsupported);
    KeyFileLimits tight;
    tight.maxBcryptRounds = 1;
    EXPECT_EQ(readPrivateKeyFile(contents(path("ed25519.openssh.aes256-ctr")), kPass, key, tight), KeyFileResult::Unsupported);
    tight.maxPbkdf2Iterations = 99;
    EXPECT_EQ(readPrivateKeyFile(contents(path("rsa2048.PKCS8.sha1.enc")), kPass, key, tight), KeyFileResult::Unsupported);
    // RSA under 1024 bits is a key, but not one this agent holds.
    EXPECT_EQ(result(contents(path("rsa768.PEM"))), KeyFileResult::Unsupported);
    // A PEM body whose base64 is broken, a DER length past its end.
    Bytes pem = contents(path("ecdsa256.PEM"));
    replaceText(pem, "MHcCAQEE", "MHcCAQE*");
    EXPECT_EQ(result(pem), KeyFileResult::Corrupt);
    pem = contents(path("ecdsa256.PEM"));
    replaceText(pem, "MHcCAQEE", "MHgCAQEE");
    EXPECT_EQ(result(pem), KeyFileResult::Corrupt);
    // Not key files at all.
    EXPECT_EQ(result(contents(testkeys::fixturePath("ed25519.pub"))), KeyFileResult::NotKeyFile);
    EXPECT_EQ(result(Bytes()), KeyFileResult::NotKeyFile);
    EXPECT_FALSE(key);
}

namespace {

Bytes derOf(std::uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    std::size_t n = content.size();
    if (n < 0x80) {
        out.push_back(std::uint8_t(n));
    } else {
        Bytes len;
        for (; n; n >>= 8) len.insert(len.begin(), std::uint8_t(n));
        out.push_back(std::uint8_t(0x80 | len.size()));
        out.insert(out.end(), len.begin(), len.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes derInteger(Bytes magnitude) {
    if (magnitude.empty() || (magnitude[0] & 0x80)) magnitude.insert(magnitude.begin(), 0);
    return derOf(0x02, magnitude);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

// PKCS#8 leaves DSA's y out: it is computed from the file's own group and
// x, which must be of the one size held before any of it is raised.
TEST(KeyFileBounds, ADsaFileWhoseGroupWouldCostSecondsIsRefusedAtOnce) {
    initCrypto();
    Bytes p(4096, 0xff), x(4095, 0xff), q(20, 0xff);  // 32768, 32760 and 160 bits
    Bytes dsaOid{0x2a, 0x86, 0x48, 0xce, 0x38, 0x04, 0x01};
    Bytes group = derOf(0x30, concat({derInteger(p), derInteger(q), derInteger(Bytes{2})}));
    Bytes algorithm = derOf(0x30, concat({derOf(0x06, dsaOid), group}));
    Bytes info = derOf(0x30, concat({derInteger(Bytes{0}), algorithm, derOf(0x04, derInteger(x))}));
    Bytes file = armor("PRIVATE KEY", info, 64);
    std::unique_ptr<PrivateKey> key;
    auto start = std::chrono::steady_clock::now();
    KeyFileResult result = readPrivateKeyFile(file, nullptr, key);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NE(result, KeyFileResult::Ok);
    EXPECT_LT(ms, 250);
}

TEST_F(KeyFiles, ACertificateBesideTheKeyGivesTheSameKeyUnderIt) {
    for (const char* name : {"ed25519", "rsa2048", "ecdsa256"}) {
        SCOPED_TRACE(name);
        std::unique_ptr<PrivateKey> key, certified;
        ASSERT_EQ(read(testkeys::fixturePath(name), nullptr, key), KeyFileResult::Ok);
        std::string certPath = testkeys::fixturePath(std::string(name) + "-cert.pub");
        ASSERT_TRUE(certifiedKey(*key, contents(certPath), certified));
        EXPECT_TRUE(certified->pub.certificate);
        EXPECT_EQ(certified->pub.blob, testkeys::publicBlob(certPath));
        EXPECT_EQ(certified->comment, key->comment);
        // What the agent is sent for it is what an OpenSSH client sends.
        EXPECT_EQ(encodePrivateKeyBody(*certified, true), testkeys::addCertificateBody(testkeys::fixturePath(name), certPath));
        // A certificate of another key is not taken.
        const char* other = std::strcmp(name, "ed25519") ? "ed25519-cert.pub" : "rsa2048-cert.pub";
        EXPECT_FALSE(certifiedKey(*key, contents(testkeys::fixturePath(other)), certified));
    }
    std::unique_ptr<PrivateKey> key, certified;
    ASSERT_EQ(read(testkeys::fixturePath("ed25519"), nullptr, key), KeyFileResult::Ok);
    EXPECT_FALSE(certifiedKey(*key, contents(testkeys::fixturePath("ed25519.pub")), certified)) << "a plain key";
}

TEST_F(KeyFiles, GeneratedKeysAreReadBySshKeygenAndByTheReader) {
    struct Case {
        KeyKind kind;
        unsigned bits;
        const char* type;
        unsigned expectedBits;
        const char* shownAs;  // by ssh-keygen -l
    } cases[] = {
        {KeyKind::Ed25519, 0, "ssh-ed25519", 256, "ED25519"},
        {KeyKind::Rsa, 1024, "ssh-rsa", 1024, "RSA"},
        {KeyKind::Rsa, 2048, "ssh-rsa", 2048, "RSA"},
        {KeyKind::Ecdsa, 200, "ecdsa-sha2-nistp256", 256, "ECDSA"},
        {KeyKind::Ecdsa, 384, "ecdsa-sha2-nistp384", 384, "ECDSA"},
        {KeyKind::Ecdsa, 385, "ecdsa-sha2-nistp521", 521, "ECDSA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + std::to_string(c.bits));
        std::unique_ptr<PrivateKey> key, back;
        ASSERT_TRUE(generateKey(c.kind, c.bits, "made here", key));
        EXPECT_EQ(key->pub.typeName, c.type);
        EXPECT_EQ(key->pub.bits(), c.expectedBits);
        Bytes file = openSshPrivateKeyFile(*key);
        std::string p = path("generated");
        writeFile(p, toString(file));
        EXPECT_EQ(lineBlob(output("ssh-keygen -y -f " + p)), key->pub.blob);
        EXPECT_EQ(output("ssh-keygen -l -f " + p),
                  std::to_string(c.expectedBits) + " " + fingerprintSha256(key->pub.blob) + " made here (" + c.shownAs + ")\n");
        ASSERT_EQ(readPrivateKeyFile(file, nullptr, back), KeyFileResult::Ok);
        EXPECT_EQ(back->pub.blob, key->pub.blob);
        EXPECT_EQ(back->comment, "made here");
    }
    // Two keys of one kind differ, and so do the check bytes of two files.
    std::unique_ptr<PrivateKey> a, b;
    ASSERT_TRUE(generateKey(KeyKind::Ed25519, 0, "", a) && generateKey(KeyKind::Ed25519, 0, "", b));
    EXPECT_NE(a->pub.blob, b->pub.blob);
    EXPECT_NE(openSshPrivateKeyFile(*a), openSshPrivateKeyFile(*a));
}

TEST(KeyGeneration, SizesOutsideWhatIsOfferedAreRefused) {
    initCrypto();
    std::unique_ptr<PrivateKey> key;
    EXPECT_FALSE(generateKey(KeyKind::Rsa, 1023, "", key));
    EXPECT_FALSE(generateKey(KeyKind::Rsa, 16385, "", key));
    EXPECT_FALSE(generateKey(KeyKind::Ecdsa, 0, "", key));
    EXPECT_FALSE(generateKey(KeyKind::Ecdsa, 522, "", key));
    EXPECT_FALSE(key);
    ASSERT_TRUE(generateKey(KeyKind::Ecdsa, 521, "", key));
    EXPECT_EQ(key->pub.algorithm, KeyAlgorithm::EcdsaP521);
    ASSERT_TRUE(generateKey(KeyKind::Ecdsa, 256, "", key));
    EXPECT_EQ(key->pub.algorithm, KeyAlgorithm::EcdsaP256);
}

TEST_F(KeyFiles, ExportedPublicKeysAreReadBySshKeygen) {
    // A comment long enough to need three header lines, with two-byte
    // characters across the places a line would be cut.
    std::string longComment;
    for (int i = 0; i < 90; ++i) longComment += i % 3 ? "\xc3\xa9" : "x";
    for (const char* name : {"ed25519", "rsa2048", "dsa1024", "ecdsa521", "ecdsa256-cert"}) {
        SCOPED_TRACE(name);
        Bytes blob = testkeys::publicBlob(testkeys::fixturePath(std::string(name) + ".pub"));
        PublicKey pub;
        ASSERT_TRUE(parsePublicKey(blob.data(), blob.size(), pub));

        std::string line = path("exported.pub");
        writeFile(line, publicKeyLine(pub, "line\ncomment"));
        std::string shown = output("ssh-keygen -l -f " + line);
        // A certificate is shown by the fingerprint of its key.
        EXPECT_NE(shown.find(fingerprintSha256(plainPublicBlob(pub)) + " line comment ("), std::string::npos) << shown;

        std::string text = rfc4716PublicKey(pub, longComment);
        std::istringstream lines(text);
        std::string l;
        int continued = 0;
        while (std::getline(lines, l)) {
            EXPECT_LE(l.size(), 72u) << l;
            if (!l.empty() && l.back() == '\\') ++continued;
            // No line starts inside a two-byte character.
            EXPECT_FALSE(!l.empty() && (static_cast<unsigned char>(l[0]) & 0xc0) == 0x80) << l;
        }
        EXPECT_EQ(continued, 2) << text;
        std::string rfc = path("exported.rfc4716");
        writeFile(rfc, text);
        EXPECT_EQ(lineBlob(output("ssh-keygen -i -f " + rfc)), blob) << text;
    }
}

// The request by which the agent's library has the agent read a key file:
// the outcomes the library turns into its passphrase dialog and its two
// failure codes, and the names the keys get.
class AddKeyFileRequest : public KeyFiles {
protected:
    std::uint32_t add(const std::string& file, const std::string& passphrase = "") {
        WireWriter w;
        w.u8(SSH_AGENTC_EXTENSION);
        w.string(std::string(kAddKeyFileExtension));
        w.string(file);
        w.string(passphrase);
        Bytes request = w.take(), reply;
        Session session;
        session.channel = Channel::Manager;
        handler.handle(request.data(), request.size(), session, reply);
        WireReader r(reply.data(), reply.size());
        std::uint8_t type = 0;
        std::uint32_t outcome = 99;
        EXPECT_TRUE(r.u8(type) && type == SSH_AGENT_SUCCESS && r.u32(outcome) && r.atEnd());
        return outcome;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const Identity& id : store.list()) out.push_back(id.comment);
        return out;
    }

    KeyStore store;
    RequestHandler handler{store};
    // What the agent's path check answers, and the paths it was shown.
    const char* pathRefusal = nullptr;
    std::vector<std::string> pathsChecked;
    std::vector<AgentEvent> events;

    void SetUp() override {
        handler.addExtension(kAddKeyFileExtension, addKeyFileExtension(store, [this](const std::string& path) {
                                 pathsChecked.push_back(path);
                                 return pathRefusal;
                             }));
        store.setEventSink([this](const AgentEvent& e) { events.push_back(e); });
    }
};

// Counts the opens of the files watched, whoever makes them.
class OpenWatch {
public:
    explicit OpenWatch(const std::vector<std::string>& files) : fd_(inotify_init1(IN_NONBLOCK)) {
        for (const std::string& f : files) EXPECT_GE(inotify_add_watch(fd_, f.c_str(), IN_OPEN), 0) << f;
    }
    ~OpenWatch() { close(fd_); }
    // Opens since the last call.
    int opens() {
        alignas(inotify_event) char buffer[4096];
        int count = 0;
        ssize_t n;
        while ((n = read(fd_, buffer, sizeof buffer)) > 0)
            for (char* p = buffer; p < buffer + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
                ++count;
        return count;
    }

private:
    int fd_;
};

TEST_F(AddKeyFileRequest, EncryptedFilesAreAskedForUntilTheRightPassphrase) {
    std::string file = path("ecdsa256.openssh.aes256-ctr");
    EXPECT_EQ(add(file), KEYFILE_NEEDS_PASSPHRASE);
    EXPECT_EQ(add(file, "wrong"), KEYFILE_WRONG_PASSPHRASE);
    EXPECT_EQ(store.size(), 0u);
    EXPECT_EQ(add(file, kPass), KEYFILE_ADDED);
    EXPECT_EQ(add(path("rsa2048.PKCS8.enc"), kPass), KEYFILE_ADDED);
    EXPECT_EQ(store.size(), 2u);
}

TEST_F(AddKeyFileRequest, KeysAreNamedByTheirCommentOrTheirFile) {
    EXPECT_EQ(add(testkeys::fixturePath("ed25519")), KEYFILE_ADDED);
    // PEM holds no comment.
    EXPECT_EQ(add(path("rsa2048.PEM")), KEYFILE_ADDED);
    // The certificate beside the Ed25519 key shares its comment; the
    // library tells the two apart.
    EXPECT_EQ(names(), (std::vector<std::string>{"fixture ed25519", "fixture ed25519", "rsa2048.PEM"}));
}

TEST_F(AddKeyFileRequest, APublicFileStandsForItsPrivateFileAndACertificateComesAlong) {
    // The fixture folder holds ed25519, ed25519.pub and ed25519-cert.pub.
    EXPECT_EQ(add(testkeys::fixturePath("ed25519.pub")), KEYFILE_ADDED);
    std::vector<Identity> held = store.list();
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].blob, testkeys::publicBlob(testkeys::fixturePath("ed25519.pub")));
    EXPECT_EQ(held[1].blob, testkeys::publicBlob(testkeys::fixturePath("ed25519-cert.pub")));
}

TEST_F(AddKeyFileRequest, UnreadableFilesAndRefusalsAreToldApart) {
    EXPECT_EQ(add(path("no-such-file")), KEYFILE_UNREADABLE);
    EXPECT_EQ(add(testkeys::fixturePath("fingerprints.txt")), KEYFILE_UNREADABLE);
    std::ofstream(path("lonely.pub")) << testkeys::readText(testkeys::fixturePath("ed25519.pub"));
    EXPECT_EQ(add(path("lonely.pub")), KEYFILE_UNREADABLE) << "a public key without its private file";
    Policies noAdding;
    noAdding.allowAdd = false;
    store.setPolicies(noAdding);
    EXPECT_EQ(add(testkeys::fixturePath("ed25519")), KEYFILE_REFUSED);
    EXPECT_EQ(store.size(), 0u);
}

TEST_F(AddKeyFileRequest, NoFileIsOpenedWhileTheAgentTakesNoKeyOrThePathIsRefused) {
    const std::string plain = testkeys::fixturePath("ed25519"), encrypted = path("ecdsa256.openssh.aes256-ctr");
    OpenWatch watch({plain, encrypted, plain + "-cert.pub"});

    ASSERT_EQ(store.lock(reinterpret_cast<const std::uint8_t*>("p"), 1), StoreResult::Ok);
    EXPECT_EQ(add(encrypted, "wrong"), KEYFILE_REFUSED) << "no passphrase of a file is tried while locked";
    EXPECT_EQ(add(encrypted), KEYFILE_REFUSED);
    EXPECT_EQ(add(plain), KEYFILE_REFUSED);
    EXPECT_EQ(events.back().outcome, "refused, the agent is locked");
    EXPECT_EQ(watch.opens(), 0);
    ASSERT_EQ(store.unlock(reinterpret_cast<const std::uint8_t*>("p"), 1), StoreResult::Ok);

    Policies noAdding;
    noAdding.allowAdd = false;
    store.setPolicies(noAdding);
    EXPECT_EQ(add(encrypted, "wrong"), KEYFILE_REFUSED);
    EXPECT_EQ(watch.opens(), 0);
    store.setPolicies(Policies());

    pathRefusal = "refused, a path of another computer";
    pathsChecked.clear();
    EXPECT_EQ(add(plain), KEYFILE_UNREADABLE) << "the file's fault as far as the library tells the user";
    EXPECT_EQ(pathsChecked, std::vector<std::string>{plain}) << "the path as the client sent it";
    EXPECT_EQ(events.back().operation, "add key file " + plain);
    EXPECT_EQ(events.back().outcome, pathRefusal);
    EXPECT_EQ(watch.opens(), 0);
    EXPECT_EQ(store.size(), 0u);

    // The watch sees what a permitted add opens.
    pathRefusal = nullptr;
    EXPECT_EQ(add(plain), KEYFILE_ADDED);
    EXPECT_GE(watch.opens(), 1);
}
