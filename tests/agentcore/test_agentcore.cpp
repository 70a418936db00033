// The agent's core against outside judges: ssh-keygen for fingerprints and
// signatures, RFC 8032 for Ed25519, and the protocol's rules for requests.
#include "Key.h"
#include "KeyStore.h"
#include "RequestHandler.h"
#include "TestKeys.h"

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace agentcore;
using namespace testkeys;

namespace {

struct Exchange {
    KeyStore store;
    RequestHandler handler{store};
    Connection connection{handler};
    int changes = 0;
    bool open = true;

    Exchange() {
        initCrypto();
        store.setChangeListener([this] { ++changes; });
    }

    // Sends one framed request; returns the one answer's body.
    Bytes request(const Bytes& framed) {
        Bytes out;
        open = connection.receive(framed.data(), framed.size(), out);
        WireReader r(out);
        Bytes body;
        EXPECT_TRUE(r.string(body) && r.atEnd()) << "one whole answer expected";
        return body;
    }
    Bytes request(std::uint8_t type, const Bytes& body = Bytes()) { return request(frame(type, body)); }

    void add(const std::string& key) {
        Bytes answer = request(SSH_AGENTC_ADD_IDENTITY, addIdentityBody(fixturePath(key)));
        ASSERT_EQ(answer, Bytes{SSH_AGENT_SUCCESS}) << key;
    }

    std::vector<Identity> list() {
        Bytes answer = request(SSH_AGENTC_REQUEST_IDENTITIES);
        WireReader r(answer);
        std::uint8_t type;
        std::uint32_t n;
        std::vector<Identity> ids;
        EXPECT_TRUE(r.u8(type) && type == SSH_AGENT_IDENTITIES_ANSWER && r.u32(n));
        for (std::uint32_t i = 0; i < n; ++i) {
            Identity id;
            EXPECT_TRUE(r.string(id.blob) && r.text(id.comment));
            ids.push_back(id);
        }
        EXPECT_TRUE(r.atEnd());
        return ids;
    }

    // The signature blob, or empty on SSH_AGENT_FAILURE.
    Bytes sign(const Bytes& blob, const Bytes& data, std::uint32_t flags) {
        WireWriter w;
        w.string(blob);
        w.string(data);
        w.u32(flags);
        Bytes answer = request(SSH_AGENTC_SIGN_REQUEST, w.bytes());
        WireReader r(answer);
        std::uint8_t type;
        Bytes sig;
        if (!r.u8(type) || type != SSH_AGENT_SIGN_RESPONSE) return Bytes();
        EXPECT_TRUE(r.string(sig) && r.atEnd());
        return sig;
    }
};

std::string signatureFormat(const Bytes& sig) {
    WireReader r(sig);
    std::string name;
    r.text(name);
    return name;
}

const char* const kPlainKeys[] = {"ed25519", "rsa2048", "rsa1024", "ecdsa256", "ecdsa384", "ecdsa521", "dsa1024"};

}  // namespace

TEST(Wire, EveryTruncationOfAFieldFailsAndStaysFailed) {
    WireWriter w;
    w.u32(7);
    w.string(std::string("hello"));
    Bytes m{0x12, 0x80};
    w.mpint(m);
    Bytes whole = w.take();
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        WireReader r(whole.data(), cut);
        std::uint32_t v;
        std::string s;
        Bytes mp;
        bool all = r.u32(v) && r.text(s) && r.mpintUnsigned(mp);
        EXPECT_FALSE(all) << cut;
        EXPECT_FALSE(r.ok());
        EXPECT_FALSE(r.u8(*reinterpret_cast<std::uint8_t*>(&v))) << "a failed reader reads nothing more";
    }
    WireReader r(whole);
    std::uint32_t v;
    std::string s;
    Bytes mp;
    EXPECT_TRUE(r.u32(v) && r.text(s) && r.mpintUnsigned(mp) && r.atEnd());
    EXPECT_EQ(s, "hello");
    EXPECT_EQ(mp, m);
}

TEST(Wire, LengthsBeyondTheBufferAndNegativeNumbersAreRefused) {
    const std::uint8_t huge[] = {0xff, 0xff, 0xff, 0xfc, 'a', 'b'};
    WireReader r1(huge, sizeof huge);
    Bytes out;
    EXPECT_FALSE(r1.string(out));
    const std::uint8_t negative[] = {0, 0, 0, 1, 0x80};
    WireReader r2(negative, sizeof negative);
    EXPECT_FALSE(r2.mpintUnsigned(out));
    // RFC 4251's examples of mpint encodings.
    WireWriter w;
    w.mpint(Bytes{0x00});
    w.mpint(Bytes{0x80});
    w.mpint(Bytes{0x09, 0xa3, 0x78, 0xf9, 0xb2, 0xe3, 0x32, 0xa7});
    EXPECT_EQ(w.bytes(), (Bytes{0, 0, 0, 0, 0, 0, 0, 2, 0x00, 0x80, 0, 0, 0, 8, 0x09, 0xa3, 0x78, 0xf9, 0xb2, 0xe3, 0x32, 0xa7}));
}

TEST(Keys, FingerprintsAndBlobsAgreeWithSshKeygen) {
    std::map<std::string, std::string> expected;  // comment -> fingerprint
    std::istringstream lines(readText(fixturePath("fingerprints.txt")));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream f(line);
        std::string bits, fp, w1, w2;
        f >> bits >> fp >> w1 >> w2;
        expected[w1 + " " + w2] = fp;
    }
    Exchange x;
    for (const char* k : kPlainKeys) x.add(k);
    std::vector<Identity> ids = x.list();
    ASSERT_EQ(ids.size(), std::size(kPlainKeys));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE(kPlainKeys[i]);
        EXPECT_EQ(ids[i].blob, publicBlob(fixturePath(std::string(kPlainKeys[i]) + ".pub")));
        ASSERT_TRUE(expected.count(ids[i].comment)) << ids[i].comment;
        EXPECT_EQ(fingerprintSha256(ids[i].blob), expected[ids[i].comment]);
        PublicKey parsed;
        EXPECT_TRUE(parsePublicKey(ids[i].blob.data(), ids[i].blob.size(), parsed));
    }
}

TEST(Keys, CertificatesAreAddedWithTheirKeyAndSignAsIt) {
    Exchange x;
    const char* certs[][2] = {{"ed25519", "ed25519-cert.pub"}, {"rsa2048", "rsa2048-cert.pub"}, {"ecdsa256", "ecdsa256-cert.pub"}};
    for (auto& c : certs) {
        SCOPED_TRACE(c[0]);
        Bytes answer = x.request(SSH_AGENTC_ADD_IDENTITY, addCertificateBody(fixturePath(c[0]), fixturePath(c[1])));
        ASSERT_EQ(answer, Bytes{SSH_AGENT_SUCCESS});
        Bytes cert = publicBlob(fixturePath(c[1]));
        Bytes data = toBytes("signed by a certified key");
        Bytes sig = x.sign(cert, data, SIGN_FLAG_RSA_SHA2_256);
        ASSERT_FALSE(sig.empty());
        PublicKey plain;
        Bytes plainBlob = publicBlob(fixturePath(std::string(c[0]) + ".pub"));
        ASSERT_TRUE(parsePublicKey(plainBlob.data(), plainBlob.size(), plain));
        EXPECT_TRUE(verifySignature(plain, data.data(), data.size(), sig.data(), sig.size()));
    }
    EXPECT_EQ(x.list().size(), 3u);
    // A certificate with another key's private half does not belong together.
    Bytes mixed = addCertificateBody(fixturePath("ed25519"), fixturePath("ed25519-cert.pub"));
    Bytes other = addIdentityBody(fixturePath("ca"));
    Bytes certBlob = publicBlob(fixturePath("ed25519-cert.pub"));
    WireReader r(other);
    std::string type;
    Bytes pk, sk;
    r.text(type), r.string(pk), r.string(sk);
    WireWriter w;
    w.string(std::string("ssh-ed25519-cert-v01@openssh.com"));
    w.string(certBlob);
    w.string(pk);
    w.string(sk);
    w.string(std::string("mismatch"));
    EXPECT_EQ(x.request(SSH_AGENTC_ADD_IDENTITY, w.bytes()), Bytes{SSH_AGENT_FAILURE});
}

// ssh-keygen -Y verify checks an SSHSIG made of the agent's signature.
static bool sshKeygenVerifies(const Bytes& pubBlob, const Bytes& agentSig, const Bytes& message) {
    char dir[] = "/tmp/agentcore-sshsig-XXXXXX";
    if (!mkdtemp(dir)) return false;
    std::string d = dir;
    writeSshsigFiles(d, pubBlob, agentSig, message);
    int status = std::system((sshsigVerifyCommand(d) + " >" + d + "/out 2>&1").c_str());
    std::system(("rm -rf " + d).c_str());
    return status == 0;
}

TEST(Signatures, VerifiedByLibgcryptAndBySshKeygenForEveryTypeAndFlag) {
    Exchange x;
    for (const char* k : kPlainKeys) x.add(k);
    Bytes message = toBytes("a message for ssh-keygen -Y verify");
    Bytes toSign = sshsigSignedData(message);
    struct Case {
        const char* key;
        std::uint32_t flags;
        const char* format;
        bool sshKeygen;  // ssh-keygen refuses SHA-1 RSA signatures
    } cases[] = {
        {"ed25519", 0, "ssh-ed25519", true},
        {"rsa2048", 0, "ssh-rsa", false},
        {"rsa2048", SIGN_FLAG_RSA_SHA2_256, "rsa-sha2-256", true},
        {"rsa2048", SIGN_FLAG_RSA_SHA2_512, "rsa-sha2-512", true},
        {"rsa1024", SIGN_FLAG_RSA_SHA2_512, "rsa-sha2-512", true},
        {"ecdsa256", 0, "ecdsa-sha2-nistp256", true},
        {"ecdsa384", 0, "ecdsa-sha2-nistp384", true},
        {"ecdsa521", 0, "ecdsa-sha2-nistp521", true},
        {"dsa1024", 0, "ssh-dss", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.format);
        Bytes blob = publicBlob(fixturePath(std::string(c.key) + ".pub"));
        Bytes sig = x.sign(blob, toSign, c.flags);
        ASSERT_FALSE(sig.empty());
        EXPECT_EQ(signatureFormat(sig), c.format);
        PublicKey pub;
        ASSERT_TRUE(parsePublicKey(blob.data(), blob.size(), pub));
        EXPECT_TRUE(verifySignature(pub, toSign.data(), toSign.size(), sig.data(), sig.size()));
        Bytes tampered = toSign;
        tampered.back() ^= 1;
        EXPECT_FALSE(verifySignature(pub, tampered.data(), tampered.size(), sig.data(), sig.size()));
        if (c.sshKeygen) {
            EXPECT_TRUE(sshKeygenVerifies(blob, sig, message));
        }
    }
}

// RFC 8032 section 7.1, tests 1 to 3 and SHA(abc).
TEST(Signatures, Ed25519MatchesRfc8032Vectors) {
    struct Vector {
        const char *secret, *pub, *message, *signature;
    } vectors[] = {
        {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
         "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
         "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
        {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
         "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
         "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
        {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
         "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
         "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
    };
    Exchange x;
    for (const Vector& v : vectors) {
        Bytes pub = fromHex(v.pub), secret = fromHex(v.secret);
        secret.insert(secret.end(), pub.begin(), pub.end());
        WireWriter add;
        add.string(std::string("ssh-ed25519"));
        add.string(pub);
        add.string(secret);
        add.string(std::string("rfc8032"));
        ASSERT_EQ(x.request(SSH_AGENTC_ADD_IDENTITY, add.bytes()), Bytes{SSH_AGENT_SUCCESS});
        WireWriter blob;
        blob.string(std::string("ssh-ed25519"));
        blob.string(pub);
        Bytes sig = x.sign(blob.bytes(), fromHex(v.message), 0);
        WireReader r(sig);
        std::string format;
        Bytes raw;
        ASSERT_TRUE(r.text(format) && r.string(raw) && r.atEnd());
        EXPECT_EQ(raw, fromHex(v.signature)) << v.pub;
    }
    // A secret whose second half is not the public key is refused.
    Bytes pub = fromHex(vectors[0].pub), secret = fromHex(vectors[0].secret);
    Bytes otherPub = fromHex(vectors[1].pub);
    secret.insert(secret.end(), otherPub.begin(), otherPub.end());
    WireWriter add;
    add.string(std::string("ssh-ed25519"));
    add.string(otherPub);
    add.string(secret);
    add.string(std::string("wrong seed"));
    EXPECT_EQ(x.request(SSH_AGENTC_ADD_IDENTITY, add.bytes()), Bytes{SSH_AGENT_FAILURE});
}

TEST(Handler, RemoveAndRemoveAllChangeTheSetAndTellTheListener) {
    Exchange x;
    x.add("ed25519");
    x.add("ecdsa256");
    x.add("ed25519");  // the same key again replaces, not duplicates
    EXPECT_EQ(x.list().size(), 2u);
    EXPECT_EQ(x.changes, 3);
    WireWriter w;
    w.string(publicBlob(fixturePath("ed25519.pub")));
    EXPECT_EQ(x.request(SSH_AGENTC_REMOVE_IDENTITY, w.bytes()), Bytes{SSH_AGENT_SUCCESS});
    EXPECT_EQ(x.request(SSH_AGENTC_REMOVE_IDENTITY, w.bytes()), Bytes{SSH_AGENT_FAILURE});
    EXPECT_TRUE(x.open);
    EXPECT_EQ(x.changes, 4);
    EXPECT_TRUE(x.sign(publicBlob(fixturePath("ed25519.pub")), toBytes("x"), 0).empty());
    EXPECT_EQ(x.request(SSH_AGENTC_REMOVE_ALL_IDENTITIES), Bytes{SSH_AGENT_SUCCESS});
    EXPECT_EQ(x.changes, 5);
    EXPECT_TRUE(x.list().empty());
}

TEST(Handler, MalformedOrOversizedRequestsFailAndClose) {
    Bytes body = addIdentityBody(fixturePath("ecdsa384"));
    // Every truncation of a valid add request is malformed.
    for (std::size_t cut = 0; cut < body.size(); ++cut) {
        Exchange x;
        Bytes partial(body.begin(), body.begin() + std::ptrdiff_t(cut));
        EXPECT_EQ(x.request(SSH_AGENTC_ADD_IDENTITY, partial), Bytes{SSH_AGENT_FAILURE}) << cut;
        EXPECT_FALSE(x.open) << cut;
        EXPECT_EQ(x.store.size(), 0u);
    }
    {
        Exchange x;
        Bytes trailing = body;
        trailing.push_back(0);
        EXPECT_EQ(x.request(SSH_AGENTC_ADD_IDENTITY, trailing), Bytes{SSH_AGENT_FAILURE});
        EXPECT_FALSE(x.open);
    }
    {
        Exchange x;
        Bytes big(kMaxMessage, 0);  // with its type byte one over the limit
        EXPECT_EQ(x.request(SSH_AGENTC_SIGN_REQUEST, big), Bytes{SSH_AGENT_FAILURE});
        EXPECT_FALSE(x.open);
    }
    {
        // Only the length has arrived: the answer does not wait for the rest.
        Exchange x;
        EXPECT_EQ(x.request(Bytes{0x00, 0x04, 0x00, 0x01}), Bytes{SSH_AGENT_FAILURE});
        EXPECT_FALSE(x.open);
    }
    {
        Exchange x;
        EXPECT_EQ(x.request(Bytes{0, 0, 0, 0}), Bytes{SSH_AGENT_FAILURE});
        EXPECT_FALSE(x.open);
    }
    {
        Exchange x;
        EXPECT_EQ(x.request(SSH_AGENTC_REQUEST_IDENTITIES, Bytes{1}), Bytes{SSH_AGENT_FAILURE});
        EXPECT_FALSE(x.open);
    }
}

TEST(Handler, UnknownRequestsAndRefusedKeysFailButKeepTheConnection) {
    Exchange x;
    EXPECT_EQ(x.request(99), Bytes{SSH_AGENT_FAILURE});
    EXPECT_TRUE(x.open);
    EXPECT_EQ(x.request(SSH_AGENTC_ADD_SMARTCARD_KEY, Bytes{0, 0, 0, 1, 'p', 0, 0, 0, 0}), Bytes{SSH_AGENT_FAILURE});
    EXPECT_TRUE(x.open);
    WireWriter sk;
    sk.string(std::string("sk-ssh-ed25519@openssh.com"));
    sk.string(Bytes(32, 1));
    EXPECT_EQ(x.request(SSH_AGENTC_ADD_IDENTITY, sk.bytes()), Bytes{SSH_AGENT_FAILURE});
    EXPECT_TRUE(x.open);
    WireWriter unknownExt;
    unknownExt.string(std::string("nothing@example.org"));
    EXPECT_EQ(x.request(SSH_AGENTC_EXTENSION, unknownExt.bytes()), Bytes{SSH_AGENT_FAILURE}) << "as OpenSSH's agent answers";
    EXPECT_TRUE(x.open);
    // Two requests in one write are both answered, in order.
    Bytes two = frame(SSH_AGENTC_REQUEST_IDENTITIES, Bytes());
    Bytes second = frame(99, Bytes());
    two.insert(two.end(), second.begin(), second.end());
    Bytes out;
    EXPECT_TRUE(x.connection.receive(two.data(), two.size(), out));
    EXPECT_EQ(out, (Bytes{0, 0, 0, 5, SSH_AGENT_IDENTITIES_ANSWER, 0, 0, 0, 0, 0, 0, 0, 1, SSH_AGENT_FAILURE}));
}

TEST(Handler, QueryListsExtensionsAndSessionBindChecksTheHostSignature) {
    Exchange x;
    x.handler.addExtension("test@glimmerpad", [](WireReader&, Session&, WireWriter& w) {
        w.u8(SSH_AGENT_SUCCESS);
        return true;
    });
    auto query = [&x] {
        WireWriter q;
        q.string(std::string("query"));
        Bytes answer = x.request(SSH_AGENTC_EXTENSION, q.bytes());
        WireReader r(answer);
        std::uint8_t type;
        std::vector<std::string> names;
        EXPECT_TRUE(r.u8(type) && type == SSH_AGENT_SUCCESS);
        for (std::string n; r.remaining() && r.text(n);) names.push_back(n);
        return names;
    };
    // The public pipe (and every host the agent is forwarded to) sees
    // OpenSSH's extensions only; the manager's channel sees this agent's too.
    EXPECT_EQ(query(), (std::vector<std::string>{"query", "session-bind@openssh.com"}));
    x.connection.session().channel = Channel::Manager;
    EXPECT_EQ(query(), (std::vector<std::string>{"query", "key-list@glimmerpad", "lock-state@glimmerpad",
                                                 "lock-with-agent-passphrase@glimmerpad", "rename-key@glimmerpad",
                                                 "session-bind@openssh.com", "set-lifetime@glimmerpad", "test@glimmerpad"}));
    x.connection.session().channel = Channel::Public;

    // A host key signs the session identifier, as in a key exchange.
    KeyStore hostStore;
    RequestHandler hostHandler(hostStore);
    Session unused;
    Bytes hostReply;
    Bytes addHost = addIdentityBody(fixturePath("ecdsa521"));
    addHost.insert(addHost.begin(), SSH_AGENTC_ADD_IDENTITY);
    ASSERT_EQ(hostHandler.handle(addHost.data(), addHost.size(), unused, hostReply), Outcome::Reply);
    Bytes hostBlob = publicBlob(fixturePath("ecdsa521.pub"));
    Bytes sessionId = fromHex("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    Bytes hostSig;
    ASSERT_EQ(hostStore.sign(hostBlob.data(), hostBlob.size(), sessionId.data(), sessionId.size(), 0, hostSig), StoreResult::Ok);
    auto bind = [&](const Bytes& id, const Bytes& sig, bool forwarding) {
        WireWriter w;
        w.string(std::string("session-bind@openssh.com"));
        w.string(hostBlob);
        w.string(id);
        w.string(sig);
        w.boolean(forwarding);
        return x.request(SSH_AGENTC_EXTENSION, w.bytes());
    };
    Bytes otherId = sessionId;
    otherId[0] ^= 1;
    EXPECT_EQ(bind(otherId, hostSig, false), Bytes{SSH_AGENT_EXTENSION_FAILURE}) << "signature of another session";
    EXPECT_EQ(bind(sessionId, hostSig, false), Bytes{SSH_AGENT_SUCCESS});
    EXPECT_EQ(x.connection.session().bindings.size(), 1u);
    EXPECT_EQ(bind(sessionId, hostSig, true), Bytes{SSH_AGENT_EXTENSION_FAILURE}) << "bound for a login already";
    EXPECT_TRUE(x.open);
}

// An RSA key under 1024 bits is well formed but not held; ssh-keygen
// makes none, so libgcrypt makes one.
TEST(Handler, RsaKeysUnder1024BitsAreRefused) {
    initCrypto();
    gcry_sexp_t params, key;
    ASSERT_EQ(gcry_sexp_build(&params, nullptr, "(genkey(rsa(nbits 3:768)))"), 0);
    ASSERT_EQ(gcry_pk_genkey(&key, params), 0);
    auto part = [&](const char* name) {
        gcry_sexp_t t = gcry_sexp_find_token(key, name, 0);
        gcry_mpi_t m = gcry_sexp_nth_mpi(t, 1, GCRYMPI_FMT_USG);
        unsigned char* buf;
        size_t n;
        gcry_mpi_aprint(GCRYMPI_FMT_USG, &buf, &n, m);
        Bytes b(buf, buf + n);
        gcry_free(buf);
        gcry_mpi_release(m);
        gcry_sexp_release(t);
        return b;
    };
    // libgcrypt's u is p^-1 mod q; OpenSSH's iqmp is q^-1 mod p: swap the primes.
    WireWriter w;
    w.string(std::string("ssh-rsa"));
    w.mpint(part("n"));
    w.mpint(part("e"));
    w.mpint(part("d"));
    w.mpint(part("u"));
    w.mpint(part("q"));
    w.mpint(part("p"));
    w.string(std::string("short"));
    gcry_sexp_release(key);
    gcry_sexp_release(params);
    Exchange x;
    EXPECT_EQ(x.request(SSH_AGENTC_ADD_IDENTITY, w.bytes()), Bytes{SSH_AGENT_FAILURE});
    EXPECT_TRUE(x.open) << "refused, not malformed";
    EXPECT_TRUE(x.list().empty());
}
