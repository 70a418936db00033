// Keys leave no trace in freed memory: every block this program frees is
// looked at before it goes, and none may still hold a key's secret.
#include "KeyFile.h"
#include "KeyStore.h"
#include "RequestHandler.h"
#include "TestKeys.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace {

// Every block carries its size and its place in the list of live blocks
// in front of it, so that freed blocks can be looked at before they go and
// live ones searched after a request.
struct Header {
    std::size_t size;
    Header* prev;
    Header* next;
    std::size_t pad;  // keeps the block's alignment
};
Header g_live{0, &g_live, &g_live, 0};
std::mutex g_liveMutex;

std::atomic<bool> g_watching{false};
std::atomic<int> g_blocksSeen{0}, g_blocksWithSecret{0};
unsigned char g_secret[32];

bool holdsSecret(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i + sizeof g_secret <= n; ++i)
        if (p[i] == g_secret[0] && std::memcmp(p + i, g_secret, sizeof g_secret) == 0) return true;
    return false;
}

// Live blocks that hold the secret now.
int liveBlocksWithSecret() {
    std::lock_guard<std::mutex> lock(g_liveMutex);
    int found = 0;
    for (Header* h = g_live.next; h != &g_live; h = h->next)
        if (holdsSecret(reinterpret_cast<unsigned char*>(h + 1), h->size)) ++found;
    return found;
}

}  // namespace

void* operator new(std::size_t n) {
    auto* h = static_cast<Header*>(std::malloc(n + sizeof(Header)));
    if (!h) throw std::bad_alloc();
    h->size = n;
    std::lock_guard<std::mutex> lock(g_liveMutex);
    h->prev = &g_live, h->next = g_live.next;
    g_live.next->prev = h, g_live.next = h;
    return h + 1;
}
void operator delete(void* block) noexcept {
    if (!block) return;
    Header* h = static_cast<Header*>(block) - 1;
    {
        std::lock_guard<std::mutex> lock(g_liveMutex);
        h->prev->next = h->next, h->next->prev = h->prev;
    }
    if (g_watching) {
        ++g_blocksSeen;
        if (holdsSecret(static_cast<unsigned char*>(block), h->size)) ++g_blocksWithSecret;
    }
    std::free(h);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

using namespace agentcore;

TEST(Wiping, NoFreedBlockStillHoldsTheSecretOfARemovedKey) {
    initCrypto();
    Bytes seed = testkeys::fromHex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb");
    Bytes pub = testkeys::fromHex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
    std::memcpy(g_secret, seed.data(), 32);
    auto addRequest = [&] {
        Bytes secret = seed;
        secret.insert(secret.end(), pub.begin(), pub.end());
        WireWriter w;
        w.string(std::string("ssh-ed25519"));
        w.string(pub);
        w.string(secret);
        w.string(std::string("wiped"));
        return testkeys::frame(SSH_AGENTC_ADD_IDENTITY, w.bytes());
    };
    WireWriter blob;
    blob.string(std::string("ssh-ed25519"));
    blob.string(pub);
    WireWriter remove;
    remove.string(blob.bytes());
    WireWriter sign;
    sign.string(blob.bytes());
    sign.string(std::string("data"));
    sign.u32(0);

    g_watching = true;
    {
        KeyStore store;
        RequestHandler handler(store);
        Connection c(handler);
        Bytes out, req = addRequest();
        // Added, used, removed; added again and removed with all; added a
        // third time and gone with the store.
        c.receive(req.data(), req.size(), out);
        Bytes s = testkeys::frame(SSH_AGENTC_SIGN_REQUEST, sign.bytes());
        c.receive(s.data(), s.size(), out);
        Bytes r = testkeys::frame(SSH_AGENTC_REMOVE_IDENTITY, remove.bytes());
        c.receive(r.data(), r.size(), out);
        EXPECT_EQ(store.size(), 0u);
        c.receive(req.data(), req.size(), out);
        Bytes all = testkeys::frame(SSH_AGENTC_REMOVE_ALL_IDENTITIES, Bytes());
        c.receive(all.data(), all.size(), out);
        c.receive(req.data(), req.size(), out);
        EXPECT_EQ(store.size(), 1u);
    }
    int withSecret = g_blocksWithSecret;
    // The same check on a buffer that is not wiped: it must be caught, or
    // this test proves nothing.
    {
        auto* plain = new std::vector<unsigned char>(seed.begin(), seed.end());
        delete plain;
    }
    g_watching = false;
    EXPECT_GT(g_blocksSeen, 10);
    EXPECT_EQ(withSecret, 0);
    EXPECT_EQ(g_blocksWithSecret, 1) << "an unwiped copy is seen";
}

// Where a key may go is held with it and wiped with it: the name of its
// destination stays in no freed block once the key is removed, replaced
// or gone with the store.
TEST(Wiping, AKeysDestinationsGoWithItWiped) {
    initCrypto();
    static const char host[] = "host-0123456789abcdef.example.com";
    std::memcpy(g_secret, host, sizeof g_secret);
    WireWriter to, start, constraint, list, constrained, remove;
    start.string(std::string()), start.string(std::string()), start.string(std::string());
    to.string(std::string()), to.string(std::string(host)), to.string(std::string());
    to.string(testkeys::publicBlob(testkeys::fixturePath("ecdsa256.pub"))), to.boolean(false);
    constraint.string(start.bytes()), constraint.string(to.bytes()), constraint.string(std::string());
    list.string(constraint.bytes());
    constrained.raw(testkeys::addIdentityBody(testkeys::fixturePath("ed25519")));
    constrained.u8(SSH_AGENT_CONSTRAIN_EXTENSION), constrained.string(std::string(kRestrictDestination));
    constrained.string(list.bytes());
    remove.string(testkeys::publicBlob(testkeys::fixturePath("ed25519.pub")));
    Bytes add = testkeys::frame(SSH_AGENTC_ADD_ID_CONSTRAINED, constrained.bytes()),
          plain = testkeys::frame(SSH_AGENTC_ADD_IDENTITY, testkeys::addIdentityBody(testkeys::fixturePath("ed25519"))),
          removal = testkeys::frame(SSH_AGENTC_REMOVE_IDENTITY, remove.bytes());
    g_blocksWithSecret = 0;
    g_watching = true;
    {
        KeyStore store;
        RequestHandler handler(store);
        Connection c(handler);
        Bytes out;
        for (const Bytes* request : {&add, &removal, &add, &plain, &add})
            ASSERT_TRUE(c.receive(request->data(), request->size(), out));
        Bytes ok{0, 0, 0, 1, SSH_AGENT_SUCCESS}, five;
        for (int i = 0; i < 5; ++i) five.insert(five.end(), ok.begin(), ok.end());
        EXPECT_EQ(out, five);
        EXPECT_EQ(store.size(), 1u);
    }
    g_watching = false;
    EXPECT_EQ(g_blocksWithSecret, 0);
}

// The same for key files: reading one, in each format and encryption, and
// writing one leave no freed copy of the secret behind.
TEST(Wiping, ReadingAndWritingKeyFilesLeavesNoFreedSecret) {
    initCrypto();
    char dir[] = "/tmp/agentcore-wiping-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string d = dir, fixtures = AGENTCORE_FIXTURES;
    const std::string made[] = {d + "/ed25519.ctr", d + "/ecdsa256.pem", d + "/ecdsa256.pk8"};
    std::string cmd = "cd " + d + " && cp " + fixtures + "/ed25519 ed25519.ctr && cp " + fixtures +
                      "/ecdsa256 ecdsa256.pem && cp " + fixtures + "/ecdsa256 ecdsa256.pk8 && chmod 600 * && " +
                      "ssh-keygen -q -p -a 1 -Z aes256-ctr -N secret1 -P '' -f ed25519.ctr >/dev/null && " +
                      "ssh-keygen -q -p -m PEM -N secret1 -P '' -f ecdsa256.pem >/dev/null && " +
                      "ssh-keygen -q -p -m PKCS8 -N secret1 -P '' -f ecdsa256.pk8 >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::vector<std::string> files = {fixtures + "/ed25519", fixtures + "/ecdsa256"};
    files.insert(files.end(), std::begin(made), std::end(made));
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        Bytes file;
        ASSERT_TRUE(readFileContents(path, file));
        {
            std::unique_ptr<PrivateKey> key;
            ASSERT_EQ(readPrivateKeyFile(file, "secret1", key), KeyFileResult::Ok);
            const Bytes& secret = key->pub.algorithm == KeyAlgorithm::Ed25519 ? key->ed25519Seed : key->ecD;
            ASSERT_EQ(secret.size(), sizeof g_secret);
            std::memcpy(g_secret, secret.data(), sizeof g_secret);
        }
        g_blocksWithSecret = 0;
        g_watching = true;
        {
            std::unique_ptr<PrivateKey> key, certified;
            readPrivateKeyFile(file, "secret1", key);
            Bytes written = openSshPrivateKeyFile(*key);
            const char* cert = key->pub.algorithm == KeyAlgorithm::Ed25519 ? "/ed25519-cert.pub" : "/ecdsa256-cert.pub";
            Bytes certFile;
            ASSERT_TRUE(readFileContents(fixtures + cert, certFile));
            ASSERT_TRUE(certifiedKey(*key, certFile, certified));
        }
        g_watching = false;
        EXPECT_EQ(g_blocksWithSecret, 0);
    }
    std::system(("rm -rf " + d).c_str());
}

// A handled lock or unlock leaves its passphrase neither in the
// connection's storage nor in any freed block: the connection's buffer is
// read (as every live block) right after the request.
TEST(Wiping, AHandledPassphraseStaysNowhereInTheConnectionOrTheHeap) {
    initCrypto();
    static const char passphrase[] = "lock-passphrase-0123456789abcdef";
    static_assert(sizeof passphrase - 1 == sizeof g_secret, "the secret is 32 bytes");
    std::memcpy(g_secret, passphrase, sizeof g_secret);
    auto request = [](std::uint8_t type, std::size_t tail) {
        WireWriter w;
        w.string(reinterpret_cast<const std::uint8_t*>(passphrase), sizeof g_secret);
        Bytes framed = testkeys::frame(type, w.bytes());
        // The first bytes of the next message, still incomplete.
        framed.insert(framed.end(), tail, 0);
        return framed;
    };
    KeyStore store;
    store.setVerifierCost(kMinVerifierCost);
    store.guessBrake().setWait([](std::uint32_t) {});
    RequestHandler handler(store);
    Connection c(handler);
    g_blocksWithSecret = 0;
    g_watching = true;
    // A lock alone in its write, an unlock with the start of the next
    // message behind it, a lock again.
    const struct {
        std::uint8_t type;
        std::size_t tail;
    } steps[] = {{SSH_AGENTC_LOCK, 0}, {SSH_AGENTC_UNLOCK, 2}, {SSH_AGENTC_LOCK, 0}};
    Bytes out;
    for (const auto& step : steps) {
        SCOPED_TRACE(int(step.type));
        Bytes req = request(step.type, step.tail);
        ASSERT_TRUE(c.receive(req.data(), req.size(), out));
        wipe(req);
        EXPECT_EQ(liveBlocksWithSecret(), 0);
        // The waiting start of a message is finished as an identities request.
        if (step.tail) {
            Bytes rest{0, 1, SSH_AGENTC_REQUEST_IDENTITIES};
            ASSERT_TRUE(c.receive(rest.data(), rest.size(), out));
        }
    }
    EXPECT_TRUE(store.locked());
    // The same search finds a live copy that nobody wiped, or proves nothing.
    std::unique_ptr<std::vector<char>> plain(new std::vector<char>(passphrase, passphrase + sizeof g_secret));
    EXPECT_EQ(liveBlocksWithSecret(), 1);
    plain.reset();
    g_watching = false;
    EXPECT_EQ(g_blocksWithSecret, 1) << "only the test's own copy went back unwiped";
}
