// The agent's boundaries as a hostile client meets them: a host the agent
// is forwarded to, many connections guessing at once, keys made to cost
// the agent seconds of CPU or to overflow the one answer that lists them.
#include "KeyFileRequest.h"
#include "TestAgent.h"

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>

using namespace agentcore;
using namespace testkeys;

namespace {

double millisecondsOf(const std::function<void()>& f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

const Bytes kZero{0};

// A libgcrypt number, for keys that no generator would make.
struct Number {
    gcry_mpi_t m = nullptr;
    explicit Number(const Bytes& b = kZero) { gcry_mpi_scan(&m, GCRYMPI_FMT_USG, b.data(), b.size(), nullptr); }
    Number(const Number&) = delete;
    ~Number() { gcry_mpi_release(m); }
    Bytes bytes() const {
        unsigned char* out;
        std::size_t n;
        gcry_mpi_aprint(GCRYMPI_FMT_USG, &out, &n, m);
        Bytes b(out, out + n);
        gcry_free(out);
        return b;
    }
};

// a + 2^bit, a * 2^bits, a^(2^times), a + small.
Bytes withBit(const Bytes& a, unsigned bit) {
    Number n(a);
    gcry_mpi_set_bit(n.m, bit);
    return n.bytes();
}
Bytes shifted(const Bytes& a, unsigned bits) {
    Number n(a);
    gcry_mpi_lshift(n.m, n.m, bits);
    return n.bytes();
}
Bytes squared(const Bytes& a, unsigned times) {
    Number n(a);
    for (unsigned i = 0; i < times; ++i) gcry_mpi_mul(n.m, n.m, n.m);
    return n.bytes();
}
Bytes plus(const Bytes& a, unsigned long small) {
    Number n(a);
    gcry_mpi_add_ui(n.m, n.m, small);
    return n.bytes();
}

Bytes rsaBlob(const Bytes& e, const Bytes& n) {
    WireWriter w;
    w.string(std::string("ssh-rsa"));
    w.mpint(e), w.mpint(n);
    return w.take();
}

Bytes dsaBlob(const PublicKey& k, const Bytes& q) {
    WireWriter w;
    w.string(std::string("ssh-dss"));
    w.mpint(k.dsaP), w.mpint(q), w.mpint(k.dsaG), w.mpint(k.dsaY);
    return w.take();
}

PublicKey fixtureKey(const std::string& name) {
    Bytes blob = publicBlob(fixturePath(name + ".pub"));
    PublicKey k;
    EXPECT_TRUE(parsePublicKey(blob.data(), blob.size(), k)) << name;
    return k;
}

bool parses(const Bytes& blob) {
    PublicKey k;
    return parsePublicKey(blob.data(), blob.size(), k);
}

// A certificate with its key id or its signer replaced; the signature is
// left as it was (the agent checks a certificate's form, not its trust).
Bytes rewriteCertificate(const std::string& certFile, const Bytes* keyId, const Bytes* signer) {
    Bytes cert = publicBlob(fixturePath(certFile));
    WireReader r(cert);
    WireWriter w;
    std::string type;
    Bytes field;
    std::uint32_t word;
    auto copyStrings = [&](int n, const Bytes* replacement) {
        for (int i = 0; i < n; ++i) r.string(field), w.string(replacement ? *replacement : field);
    };
    auto copyWords = [&](int n) {
        for (int i = 0; i < n; ++i) r.u32(word), w.u32(word);
    };
    r.text(type), w.string(type);
    copyStrings(1 + (type.rfind("ssh-ed25519", 0) == 0 ? 1 : 2), nullptr);  // nonce, key
    copyWords(3);                                                            // serial, type
    copyStrings(1, keyId);
    copyStrings(1, nullptr);  // principals
    copyWords(4);             // validity
    copyStrings(3, nullptr);  // options, extensions, reserved
    copyStrings(1, signer);
    copyStrings(1, nullptr);  // signature
    EXPECT_TRUE(r.atEnd()) << certFile;
    return w.take();
}

// The fixture RSA key's numbers in the order of an add request.
enum { N, E, D, Iqmp, P, Q };
std::vector<Bytes> rsaNumbers() {
    Bytes body = addIdentityBody(fixturePath("rsa2048"));
    WireReader r(body);
    std::string type;
    std::vector<Bytes> k(6);
    r.text(type);
    for (Bytes& number : k) r.mpintUnsigned(number);
    return k;
}

Bytes rsaAdd(const std::vector<Bytes>& k) {
    WireWriter w;
    w.string(std::string("ssh-rsa"));
    for (const Bytes& number : k) w.mpint(number);
    w.string(std::string("tampered"));
    return w.take();
}

Bytes bindSession(Agent& a, const Bytes& hostKey, const Bytes& signature) {
    WireWriter w;
    w.string(hostKey), w.string(Bytes(32, 0x5a)), w.string(signature), w.boolean(true);
    return a.extension("session-bind@openssh.com", w.bytes());
}

// A binding as ssh -A makes it: the host key's real signature of the session.
Bytes bindForwarding(Agent& a) {
    Bytes body = addIdentityBody(fixturePath("ecdsa521")), signature;
    WireReader r(body);
    std::unique_ptr<PrivateKey> host;
    EXPECT_EQ(readPrivateKey(r, host), AddResult::Ok);
    EXPECT_TRUE(signData(*host, Bytes(32, 0x5a).data(), 32, 0, signature));
    return bindSession(a, host->pub.blob, signature);
}

Bytes bindHostile(Agent& a, const Bytes& hostKey, const std::string& format, const Bytes& value) {
    WireWriter signature;
    signature.string(format), signature.string(value);
    return bindSession(a, hostKey, signature.bytes());
}

// The brake's waits recorded and taken in real time, scaled down: a
// millisecond of the brake's is 5 microseconds here.
struct ScaledWaits {
    std::mutex mutex;
    std::vector<std::uint32_t> waits;

    explicit ScaledWaits(KeyStore& store) {
        store.guessBrake().setWait([this](std::uint32_t ms) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                waits.push_back(ms);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(ms * 5));
        });
    }
    // 16 wrong guesses on 16 threads at once wait, and take, what one
    // client's 16 wrong guesses in a row would.
    void sixteenAtOnce(const std::function<bool(int)>& wrongGuess) {
        waits.clear();
        std::atomic<int> refused{0};
        double ms = millisecondsOf([&] {
            std::vector<std::thread> threads;
            for (int i = 0; i < 16; ++i) threads.emplace_back([&, i] { refused += wrongGuess(i); });
            for (std::thread& t : threads) t.join();
        });
        EXPECT_EQ(refused, 16);
        std::vector<std::uint32_t> oneClient;
        for (std::uint32_t k = 1; k < 16; ++k) oneClient.push_back(GuessBrake::waitAfter(k));
        EXPECT_GE(ms, std::accumulate(oneClient.begin(), oneClient.end(), 0.0) * 5 / 1000);
        std::sort(waits.begin(), waits.end());
        EXPECT_EQ(waits, oneClient) << "each guess waited its turn behind the ones before it";
    }
};

}  // namespace

TEST(ForwardedHost, EveryRequestOfTheManagersOwnFailsOnThePublicChannelAndChangesNothing) {
    Agent a;
    ASSERT_EQ(a.add("ed25519", Bytes{SSH_AGENT_CONSTRAIN_LIFETIME, 0, 0, 0, 60, SSH_AGENT_CONSTRAIN_CONFIRM}), kOk);
    ASSERT_TRUE(a.store.changeAgentPassphrase(toBytes(""), toBytes("agent passphrase")));
    // The agent process's own extensions, as it registers them.
    int reached = 0;
    for (const char* name : {kGenerateKey, kAttachWindow})
        a.handler.addExtension(name, [&reached](WireReader&, Session&, WireWriter&) { return ++reached > 0; });
    // Every path allowed here: the channel alone must keep the request out.
    a.handler.addExtension(kAddKeyFileExtension,
                           addKeyFileExtension(a.store, [](const std::string&) -> const char* { return nullptr; }));
    a.session.channel = Channel::Public;
    ASSERT_EQ(bindForwarding(a), kOk);

    WireWriter keyFile, uncPath, noLifetime, rename, generate, attach;
    Bytes blob = publicBlob(fixturePath("ed25519.pub"));
    keyFile.string(fixturePath("rsa2048")), keyFile.string(std::string());
    uncPath.string(std::string("\\\\server\\share\\x")), uncPath.string(std::string());
    noLifetime.string(blob), noLifetime.u32(0);
    rename.string(blob), rename.string(std::string("renamed by the host"));
    generate.string(std::string("/tmp/x")), generate.u32(1), generate.u32(16384), generate.u32(1);
    attach.u32(0), attach.u32(0x10010);
    const std::pair<std::string, Bytes> requests[] = {
        {kAddKeyFileExtension, keyFile.bytes()}, {kAddKeyFileExtension, uncPath.bytes()},
        {kSetLifetime, noLifetime.bytes()},      {kRenameKey, rename.bytes()},
        {kGenerateKey, generate.bytes()},        {kAttachWindow, attach.bytes()},
        {kKeyList, Bytes()},                     {kLockState, Bytes()},
        {kLockWithAgentPassphrase, Bytes()},
    };
    for (const auto& r : requests) EXPECT_EQ(a.extension(r.first, r.second), kFail) << r.first;
    EXPECT_TRUE(a.open);
    EXPECT_EQ(reached, 0);
    EXPECT_FALSE(a.store.locked());
    EXPECT_EQ(a.names(), std::vector<std::string>{"fixture ed25519"}) << "no key of a file, no new name";
    EXPECT_EQ(a.store.untilNextExpiry(), 60000u) << "the lifetime stays";
    a.answer = false;
    EXPECT_FALSE(a.signs("ed25519"));
    EXPECT_EQ(a.asked.size(), 1u) << "the key still asks";
}

TEST(GuessBrake, GuessesSideBySideWaitAsOneClientsDoAndALockedAgentChecksNoAgentPassphrase) {
    Agent a;
    a.store.setEventSink(nullptr);
    ScaledWaits brake(a.store);
    ASSERT_EQ(a.lock("the right passphrase"), kOk);
    brake.sixteenAtOnce([&](int i) {
        Session own;  // a connection of its own each
        WireWriter w;
        w.u8(SSH_AGENTC_UNLOCK), w.string("guess " + std::to_string(i));
        Bytes reply;
        a.handler.handle(w.bytes().data(), w.bytes().size(), own, reply);
        return reply == kFail;
    });
    EXPECT_EQ(a.unlock("the right passphrase"), kOk);
    EXPECT_EQ(brake.waits.back(), 16000u) << "the right one waits its turn too";

    auto change = [&](const std::string& current) {
        return a.store.changeAgentPassphrase(toBytes(current), toBytes("next"));
    };
    ASSERT_TRUE(change(""));
    brake.sixteenAtOnce([&](int i) { return !change("guess " + std::to_string(i)); });
    // A client's own lock, unlocked, clears its own count and no other.
    ASSERT_EQ(a.lock("my own"), kOk);
    ASSERT_EQ(a.unlock("my own"), kOk);
    brake.waits.clear();
    EXPECT_FALSE(change("one more guess"));
    EXPECT_EQ(brake.waits, std::vector<std::uint32_t>{16000u});
    // Locked: refused before any look at the passphrase, the right one too.
    ASSERT_EQ(a.lock("my own"), kOk);
    brake.waits.clear();
    EXPECT_FALSE(change("next"));
    EXPECT_TRUE(brake.waits.empty()) << "no guess was made";
}

TEST(Bounds, KeysThatWouldCostSecondsAreRefusedAtOnceAndCertificatesSignedByThem) {
    Agent a;
    a.session.channel = Channel::Public;
    PublicKey rsa = fixtureKey("rsa2048"), dsa = fixtureKey("dsa1024");
    // p^32 has no small factor: libgcrypt's prime test of this q got past
    // its trial divisions and took 14.5 s. An exponent of 262,144 bits made
    // each signature check take seconds.
    Bytes hugeQ = squared(dsa.dsaP, 5), n4096 = squared(rsa.rsaN, 1), hugeE = withBit(Bytes{1}, 262144);
    Bytes smallSignature(n4096.size(), 0);
    smallSignature.back() = 2;
    double ms = millisecondsOf([&] {
        EXPECT_EQ(bindHostile(a, dsaBlob(dsa, hugeQ), "ssh-dss", Bytes(40, 1)), kExtFail);
        EXPECT_EQ(bindHostile(a, rsaBlob(hugeE, n4096), "rsa-sha2-256", smallSignature), kExtFail);
    });
    EXPECT_LT(ms, 250);
    EXPECT_TRUE(a.session.bindings.empty());
    EXPECT_EQ(bindForwarding(a), kOk) << "a real host key still binds";

    Bytes n16384 = shifted(rsa.rsaN, 16384 - 2048);
    EXPECT_TRUE(parses(rsaBlob(withBit(Bytes{1}, 63), n16384))) << "the largest modulus and exponent held";
    const Bytes refused[] = {rsaBlob(rsa.rsaE, shifted(n16384, 1)), rsaBlob(withBit(Bytes{1}, 64), rsa.rsaN),
                             rsaBlob(Bytes{1, 0, 0}, rsa.rsaN),     rsaBlob(Bytes{1}, rsa.rsaN),
                             dsaBlob(dsa, shifted(dsa.dsaQ, 1)),    dsaBlob(dsa, hugeQ)};
    for (const Bytes& key : refused) {
        EXPECT_FALSE(parses(key));
        EXPECT_FALSE(parses(rewriteCertificate("ed25519-cert.pub", nullptr, &key))) << "as a certificate's signer";
    }
    // A certificate authority may be a security key, at its exact size.
    WireWriter sk, skShort;
    sk.string(std::string("sk-ssh-ed25519@openssh.com")), sk.string(Bytes(32, 7)), sk.string(std::string("ssh:"));
    skShort.string(std::string("sk-ssh-ed25519@openssh.com")), skShort.string(Bytes(31, 7)), skShort.string(std::string("ssh:"));
    EXPECT_TRUE(parses(rewriteCertificate("ed25519-cert.pub", nullptr, &sk.bytes())));
    EXPECT_FALSE(parses(rewriteCertificate("ed25519-cert.pub", nullptr, &skShort.bytes())));
}

TEST(Bounds, RsaKeysWhosePartsDisagreeOrWhoseExponentIsUnboundedAreRefusedAtTheAdd) {
    Agent a;
    const std::vector<Bytes> good = rsaNumbers();
    std::vector<Bytes> wrongD = good, wrongIqmp = good, evenE = good, wrongN = good, hugeE = good;
    wrongD[D] = plus(good[D], 2), wrongIqmp[Iqmp] = plus(good[Iqmp], 1), evenE[E] = plus(good[E], 1);
    wrongN[N] = plus(good[N], 2);
    // e + 2^262144 (p-1)(q-1) agrees with d, and would make every
    // signature's blinding cost seconds.
    Number e(good[E]), p(good[P]), q(good[Q]);
    gcry_mpi_sub_ui(p.m, p.m, 1), gcry_mpi_sub_ui(q.m, q.m, 1), gcry_mpi_mul(p.m, p.m, q.m);
    gcry_mpi_lshift(p.m, p.m, 262144), gcry_mpi_add(e.m, e.m, p.m);
    hugeE[E] = e.bytes();
    const std::pair<const char*, const std::vector<Bytes>*> refused[] = {
        {"d", &wrongD}, {"iqmp", &wrongIqmp}, {"even e", &evenE}, {"n", &wrongN}, {"e of 264,000 bits", &hugeE}};
    double ms = millisecondsOf([&] {
        for (const auto& r : refused) EXPECT_EQ(a.call(SSH_AGENTC_ADD_IDENTITY, rsaAdd(*r.second)), kFail) << r.first;
    });
    EXPECT_LT(ms, 250);
    EXPECT_EQ(a.store.size(), 0u);
    EXPECT_EQ(a.call(SSH_AGENTC_ADD_IDENTITY, rsaAdd(good)), kOk) << "the key itself";
}

TEST(ListBound, KeysAreHeldOnlyWhileTheAnswersThatListThemFitInOneMessage) {
    Agent a;
    auto add = [&](const Bytes& body) { return a.call(SSH_AGENTC_ADD_IDENTITY, body); };
    auto keyListSize = [&] { return a.extension("key-list@glimmerpad").size(); };
    auto identitiesAnswer = [&] { return a.call(SSH_AGENTC_REQUEST_IDENTITIES)[0] == SSH_AGENT_IDENTITIES_ANSWER; };
    const std::string huge(200 * 1024, 'c');
    EXPECT_EQ(add(addIdentityBody(fixturePath("ed25519"), huge)), kFail);
    EXPECT_EQ(add(addIdentityBody(fixturePath("ecdsa256"), huge)), kFail);
    EXPECT_TRUE(identitiesAnswer());
    EXPECT_EQ(add(addIdentityBody(fixturePath("ed25519"), std::string(kMaxKeyName, 'n'))), kOk);

    // Names are short; certificates need not be.
    Bytes bigId(150 * 1024, 'k');
    Bytes bigCert = rewriteCertificate("ecdsa256-cert.pub", &bigId, nullptr);
    ASSERT_EQ(add(addCertificateBody(fixturePath("ecdsa256"), bigCert)), kOk);
    Bytes secondBigCert = rewriteCertificate("ed25519-cert.pub", &bigId, nullptr);
    EXPECT_EQ(add(addCertificateBody(fixturePath("ed25519"), secondBigCert)), kFail);
    EXPECT_TRUE(identitiesAnswer());

    // Filled to the byte: the key list exactly as long as a message may be.
    std::string name = "fixture rsa-2048";
    Bytes small = rewriteCertificate("rsa2048-cert.pub", &kZero, nullptr);
    std::size_t room = kMaxMessage - keyListSize() - (4 + small.size() + 4 + name.size() + 4 + 1 + 4);
    Bytes exactId(room + 1, 'k');
    Bytes exact = rewriteCertificate("rsa2048-cert.pub", &exactId, nullptr);
    ASSERT_EQ(add(addCertificateBody(fixturePath("rsa2048"), exact)), kOk);
    EXPECT_EQ(keyListSize(), kMaxMessage);
    EXPECT_TRUE(identitiesAnswer());
    EXPECT_EQ(a.add("ecdsa384"), kFail) << "one key more";
    WireWriter rename;
    rename.string(exact), rename.string(name + "+");
    EXPECT_EQ(a.extension("rename-key@glimmerpad", rename.bytes()), kExtFail) << "one byte more";
    EXPECT_EQ(a.store.size(), 3u);
}
