// The store with a platform's crypto module in front of libgcrypt: keys
// imported once and released with the key, and libgcrypt signing
// whatever the module refuses, gets wrong or fails.
#include "KeyStore.h"
#include "PlatformSigner.h"
#include "TestKeys.h"

#include <gtest/gtest.h>

using namespace agentcore;
using namespace testkeys;

namespace {

// A module that signs by libgcrypt, unless told to fail, to sign the
// wrong data or to refuse keys; it counts what the store does with it.
struct FakeModule : PlatformSigner {
    bool refuse = false, wrong = false;
    mutable bool failing = false;
    mutable int imported = 0, live = 0, asked = 0;
    std::unique_ptr<PlatformKey> import(const PrivateKey& key) const override;
};

class FakeKey : public PlatformKey {
public:
    FakeKey(const FakeModule& module, const PrivateKey& key) : module_(module), key_(key) { ++module_.live; }
    ~FakeKey() override { --module_.live; }
    bool sign(const std::uint8_t* data, std::size_t size, std::uint32_t flags, Bytes& sigBlob) const override {
        ++module_.asked;
        if (module_.failing) return false;
        Bytes signed_(data, data + size);
        if (module_.wrong) signed_.push_back(0);
        return signWithLibgcrypt(key_, signed_.data(), signed_.size(), flags, sigBlob);
    }

private:
    const FakeModule& module_;
    PrivateKey key_;
};

std::unique_ptr<PlatformKey> FakeModule::import(const PrivateKey& key) const {
    if (refuse) return nullptr;
    ++imported;
    return std::unique_ptr<PlatformKey>(new FakeKey(*this, key));
}

struct Store {
    KeyStore store;
    std::shared_ptr<FakeModule> module = std::make_shared<FakeModule>();
    Store() { store.setPlatformSigner(module); }

    Bytes add(const std::string& name) {
        std::unique_ptr<PrivateKey> key = fixturePrivateKey(name);
        if (!key) ADD_FAILURE() << name << " does not read";
        if (!key) return Bytes();
        Bytes blob = key->pub.blob;
        EXPECT_EQ(store.add(std::move(key)), StoreResult::Ok);
        return blob;
    }
    // A signature by the store that the key's public half verifies.
    bool signsVerifiably(const Bytes& blob, std::uint32_t flags) {
        static const std::uint8_t data[] = "session hash";
        Bytes sig;
        PublicKey pub;
        return store.sign(blob.data(), blob.size(), data, sizeof data, flags, sig) == StoreResult::Ok &&
               parsePublicKey(blob.data(), blob.size(), pub) && verifySignature(pub, data, sizeof data, sig.data(), sig.size());
    }
};

}  // namespace

TEST(PlatformSigner, KeysAreImportedOnceSignedThroughTheModuleAndReleasedWithTheKey) {
    Store s;
    Bytes rsa = s.add("rsa2048"), ecdsa = s.add("ecdsa256");
    EXPECT_EQ(s.module->imported, 2);
    EXPECT_EQ(s.module->live, 2);
    int asked = s.module->asked;
    EXPECT_TRUE(s.signsVerifiably(rsa, SIGN_FLAG_RSA_SHA2_512));
    EXPECT_TRUE(s.signsVerifiably(ecdsa, 0));
    EXPECT_EQ(s.module->asked, asked + 2);
    EXPECT_EQ(s.module->imported, 2) << "a signature must not import again";

    // The same key added again replaces the old one and its module key.
    s.add("rsa2048");
    EXPECT_EQ(s.module->live, 2);
    EXPECT_EQ(s.store.remove(rsa.data(), rsa.size()), StoreResult::Ok);
    EXPECT_EQ(s.module->live, 1);
    EXPECT_EQ(s.store.removeAll(), StoreResult::Ok);
    EXPECT_EQ(s.module->live, 0);
}

TEST(PlatformSigner, LibgcryptSignsWhatTheModuleRefusesGetsWrongOrFails) {
    {
        Store refusing;
        refusing.module->refuse = true;
        EXPECT_TRUE(refusing.signsVerifiably(refusing.add("rsa2048"), SIGN_FLAG_RSA_SHA2_256));
    }
    {
        // Its trial signature does not verify: the key is not kept at all.
        Store wrong;
        wrong.module->wrong = true;
        Bytes blob = wrong.add("ecdsa384");
        EXPECT_EQ(wrong.module->imported, 1);
        EXPECT_EQ(wrong.module->live, 0);
        EXPECT_TRUE(wrong.signsVerifiably(blob, 0));
    }
    {
        Store failing;
        Bytes blob = failing.add("rsa2048");
        failing.module->failing = true;
        int asked = failing.module->asked;
        EXPECT_TRUE(failing.signsVerifiably(blob, 0));
        EXPECT_EQ(failing.module->asked, asked + 1);
    }
}

// A module's bare signature in the form servers read: RSA's s as long as
// the modulus, ECDSA's halves as minimal positive mpints.
TEST(PlatformSigner, BareSignaturesBecomeTheWireForm) {
    std::unique_ptr<PrivateKey> ecdsa = fixturePrivateKey("ecdsa256"), rsa = fixturePrivateKey("rsa2048");
    ASSERT_TRUE(ecdsa && rsa);
    Bytes raw(64, 0x11);
    raw[0] = 0, raw[1] = 0;    // r has leading zeros to drop
    raw[32] = 0x80;            // s has its top bit set: a zero goes in front
    Bytes blob;
    ASSERT_TRUE(signatureBlob(ecdsa->pub, SignatureHash::Sha256, raw.data(), raw.size(), blob));
    WireReader r(blob);
    std::string format;
    Bytes inner, rr, ss;
    ASSERT_TRUE(r.text(format) && r.string(inner) && r.atEnd());
    EXPECT_EQ(format, "ecdsa-sha2-nistp256");
    WireReader halves(inner);
    const std::uint8_t* p;
    std::size_t n;
    ASSERT_TRUE(halves.stringView(p, n));
    EXPECT_EQ(Bytes(p, p + n), Bytes(raw.begin() + 2, raw.begin() + 32));
    ASSERT_TRUE(halves.stringView(p, n) && halves.atEnd());
    Bytes expectedS(1, 0);
    expectedS.insert(expectedS.end(), raw.begin() + 32, raw.end());
    EXPECT_EQ(Bytes(p, p + n), expectedS);
    EXPECT_FALSE(signatureBlob(ecdsa->pub, SignatureHash::Sha256, raw.data(), 63, blob));

    Bytes shortS(255, 0x22);
    ASSERT_TRUE(signatureBlob(rsa->pub, SignatureHash::Sha512, shortS.data(), shortS.size(), blob));
    WireReader rs(blob);
    Bytes s;
    ASSERT_TRUE(rs.text(format) && rs.string(s) && rs.atEnd());
    EXPECT_EQ(format, "rsa-sha2-512");
    ASSERT_EQ(s.size(), 256u);
    EXPECT_EQ(s[0], 0);
    Bytes tooLong(257, 0x22);
    EXPECT_FALSE(signatureBlob(rsa->pub, SignatureHash::Sha512, tooLong.data(), tooLong.size(), blob));
}
