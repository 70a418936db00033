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
#include <new>
#include <vector>

namespace {

const std::size_t kHeader = 16;
std::atomic<bool> g_watching{false};
std::atomic<int> g_blocksSeen{0}, g_blocksWithSecret{0};
unsigned char g_secret[32];

bool holdsSecret(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i + sizeof g_secret <= n; ++i)
        if (p[i] == g_secret[0] && std::memcmp(p + i, g_secret, sizeof g_secret) == 0) return true;
    return false;
}

}  // namespace

void* operator new(std::size_t n) {
    auto* p = static_cast<unsigned char*>(std::malloc(n + kHeader));
    if (!p) throw std::bad_alloc();
    std::memcpy(p, &n, sizeof n);
    return p + kHeader;
}
void operator delete(void* block) noexcept {
    if (!block) return;
    auto* p = static_cast<unsigned char*>(block) - kHeader;
    if (g_watching) {
        std::size_t n;
        std::memcpy(&n, p, sizeof n);
        ++g_blocksSeen;
        if (holdsSecret(p + kHeader, n)) ++g_blocksWithSecret;
    }
    std::free(p);
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
