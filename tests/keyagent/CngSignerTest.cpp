// Every key type signed by CNG (where it takes the key) and by libgcrypt:
// the core's verifier and Debian's ssh-keygen accept each signature; a
// key's CNG handle goes when the store lets the key go.
#include "KeyAgentHarness.h"

#include "CngSigner.h"
#include "KeyStore.h"
#include "TestKeys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace agentcore;
using testkeys::fixturePrivateKey;

namespace {

std::string unixName(const std::string& path) {
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    auto unixFileName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    wchar_t wide[MAX_PATH];
    if (!unixFileName || !MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH)) return std::string();
    char* name = unixFileName(wide);
    if (!name) return std::string();
    std::string out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// ssh-keygen -Y verify of an SSHSIG made of the signature. Wine starts a
// Linux program detached: its verdict is the file it leaves.
bool sshKeygenVerifies(const Bytes& pubBlob, const Bytes& signature, const Bytes& message) {
    static int serial = 0;
    char temp[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, temp)) return false;
    std::string dir = std::string(temp) + "cng-sshsig-" + std::to_string(GetCurrentProcessId()) + "-" +
                      std::to_string(++serial);
    if (!CreateDirectoryA(dir.c_str(), nullptr)) return false;
    testkeys::writeSshsigFiles(dir, pubBlob, signature, message);
    std::string d = unixName(dir);
    std::string command = "/bin/sh -c \"" + testkeys::sshsigVerifyCommand(d) + " >" + d + "/out 2>&1 && touch " + d +
                          "/verified; touch " + d + "/done\"";
    std::vector<char> line(command.begin(), command.end());
    line.push_back(0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    bool verified = false;
    if (!d.empty() && CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        for (DWORD end = GetTickCount() + agenttest::scaled(10000); !exists(dir + "\\done") && GetTickCount() < end;)
            Sleep(5);
        verified = exists(dir + "\\verified");
    }
    for (const char* f : {"allowed", "message", "message.sig", "out", "verified", "done"})
        DeleteFileA((dir + "\\" + f).c_str());
    RemoveDirectoryA(dir.c_str());
    return verified;
}

std::string formatOf(const Bytes& signature) {
    WireReader r(signature);
    std::string format;
    r.text(format);
    return format;
}

}  // namespace

TEST(CngSigner, EveryKeyTypeSignsThroughBothPathsAndOpenSshVerifiesEach) {
    CngSigner cng;
    const Bytes message = toBytes("a message for ssh-keygen -Y verify");
    const Bytes toSign = testkeys::sshsigSignedData(message);
    // Wine 8's CNG imports no P-384 or P-521 private key (Windows does):
    // there they are signed by libgcrypt, and both paths are checked
    // wherever the platform takes them.
    enum Taken { Never, Always, WherePlatformOffers };
    struct Case {
        const char* key;
        Taken cng;
        std::vector<std::uint32_t> flags;
    } cases[] = {
        {"rsa2048", Always, {0, SIGN_FLAG_RSA_SHA2_256, SIGN_FLAG_RSA_SHA2_512}},
        {"ecdsa256", Always, {0}},
        {"ecdsa384", WherePlatformOffers, {0}},
        {"ecdsa521", WherePlatformOffers, {0}},
        {"ed25519", Never, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        std::unique_ptr<PrivateKey> key = fixturePrivateKey(c.key);
        ASSERT_TRUE(key);
        std::unique_ptr<PlatformKey> platform = cng.import(*key);
        if (c.cng != WherePlatformOffers) {
            EXPECT_EQ(platform != nullptr, c.cng == Always);
        }
        for (std::uint32_t flags : c.flags) {
            SCOPED_TRACE("flags " + std::to_string(flags));
            std::vector<Bytes> signatures(1);
            ASSERT_TRUE(signWithLibgcrypt(*key, toSign.data(), toSign.size(), flags, signatures[0]));
            if (platform) {
                signatures.emplace_back();
                ASSERT_TRUE(platform->sign(toSign.data(), toSign.size(), flags, signatures.back()));
                EXPECT_EQ(formatOf(signatures.back()), formatOf(signatures[0]));
            }
            for (const Bytes& sig : signatures) {
                EXPECT_TRUE(verifySignature(key->pub, toSign.data(), toSign.size(), sig.data(), sig.size()));
                // ssh-keygen refuses SHA-1 RSA signatures.
                if (formatOf(sig) != "ssh-rsa") {
                    EXPECT_TRUE(sshKeygenVerifies(key->pub.blob, sig, message)) << formatOf(sig);
                }
            }
        }
    }
}

TEST(CngSigner, AKeysHandleGoesWhenTheStoreLetsTheKeyGo) {
    auto cng = std::make_shared<CngSigner>();
    KeyStore store;
    store.setPlatformSigner(cng);
    Bytes blobs[3];
    const char* names[] = {"rsa2048", "ecdsa256", "ed25519"};
    for (int i = 0; i < 3; ++i) {
        std::unique_ptr<PrivateKey> key = fixturePrivateKey(names[i]);
        ASSERT_TRUE(key);
        blobs[i] = key->pub.blob;
        ASSERT_EQ(store.add(std::move(key)), StoreResult::Ok);
    }
    EXPECT_EQ(cng->keysHeld(), 2u);
    static const std::uint8_t data[] = "session hash";
    PublicKey rsa;
    ASSERT_TRUE(parsePublicKey(blobs[0].data(), blobs[0].size(), rsa));
    Bytes sig;
    ASSERT_EQ(store.sign(blobs[0].data(), blobs[0].size(), data, sizeof data, SIGN_FLAG_RSA_SHA2_512, sig),
              StoreResult::Ok);
    EXPECT_TRUE(verifySignature(rsa, data, sizeof data, sig.data(), sig.size()));

    ASSERT_EQ(store.remove(blobs[0].data(), blobs[0].size()), StoreResult::Ok);
    EXPECT_EQ(cng->keysHeld(), 1u);
    ASSERT_EQ(store.removeAll(), StoreResult::Ok);
    EXPECT_EQ(cng->keysHeld(), 0u);
}
