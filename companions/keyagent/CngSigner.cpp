#include "CngSigner.h"

#include <windows.h>

#include <bcrypt.h>

#include <atomic>
#include <mutex>

using namespace agentcore;

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

// Big-endian magnitudes left-padded to the width a key blob gives them.
bool appendPadded(Bytes& blob, const Bytes& number, std::size_t width) {
    std::size_t start = 0;
    while (start < number.size() && number[start] == 0) ++start;
    std::size_t size = number.size() - start;
    if (size > width) return false;
    blob.insert(blob.end(), width - size, 0);
    blob.insert(blob.end(), number.begin() + std::ptrdiff_t(start), number.end());
    return true;
}

std::size_t significantBytes(const Bytes& number) {
    std::size_t start = 0;
    while (start < number.size() && number[start] == 0) ++start;
    return number.size() - start;
}

template <class Header>
void appendHeader(Bytes& blob, const Header& header) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&header);
    blob.insert(blob.end(), p, p + sizeof header);
}

// BCRYPT_RSAFULLPRIVATE_BLOB: e, n, p, q, d mod p-1, d mod q-1,
// q^-1 mod p (OpenSSH's iqmp) and d, each as wide as its header says.
bool rsaFullPrivateBlob(const PrivateKey& key, Bytes& blob) {
    Bytes dp, dq;
    if (!rsaCrtExponents(key, dp, dq)) return false;
    const PublicKey& pub = key.pub;
    BCRYPT_RSAKEY_BLOB header = {};
    header.Magic = BCRYPT_RSAFULLPRIVATE_MAGIC;
    header.cbPublicExp = ULONG(significantBytes(pub.rsaE));
    header.cbModulus = ULONG(significantBytes(pub.rsaN));
    header.BitLength = header.cbModulus * 8;
    header.cbPrime1 = ULONG(significantBytes(key.rsaP));
    header.cbPrime2 = ULONG(significantBytes(key.rsaQ));
    // The modulus's top byte may hold fewer than 8 bits.
    for (std::uint8_t top = pub.rsaN[pub.rsaN.size() - header.cbModulus]; !(top & 0x80); top <<= 1) --header.BitLength;
    appendHeader(blob, header);
    bool ok = appendPadded(blob, pub.rsaE, header.cbPublicExp) && appendPadded(blob, pub.rsaN, header.cbModulus) &&
              appendPadded(blob, key.rsaP, header.cbPrime1) && appendPadded(blob, key.rsaQ, header.cbPrime2) &&
              appendPadded(blob, dp, header.cbPrime1) && appendPadded(blob, dq, header.cbPrime2) &&
              appendPadded(blob, key.rsaIqmp, header.cbPrime1) && appendPadded(blob, key.rsaD, header.cbModulus);
    wipe(dp), wipe(dq);
    return ok;
}

// BCRYPT_ECCPRIVATE_BLOB: X, Y and d, each the field's size.
bool eccPrivateBlob(const PrivateKey& key, ULONG magic, std::size_t fieldBytes, Bytes& blob) {
    const Bytes& point = key.pub.ecPoint;
    if (point.size() != 1 + 2 * fieldBytes || point[0] != 0x04) return false;
    BCRYPT_ECCKEY_BLOB header = {magic, ULONG(fieldBytes)};
    appendHeader(blob, header);
    blob.insert(blob.end(), point.begin() + 1, point.end());
    return appendPadded(blob, key.ecD, fieldBytes);
}

LPCWSTR pkcs1HashId(SignatureHash hash) {
    switch (hash) {
    case SignatureHash::Sha1:
        return BCRYPT_SHA1_ALGORITHM;
    case SignatureHash::Sha256:
        return BCRYPT_SHA256_ALGORITHM;
    case SignatureHash::Sha384:
        return BCRYPT_SHA384_ALGORITHM;
    default:
        return BCRYPT_SHA512_ALGORITHM;
    }
}

}  // namespace

// The algorithm providers, opened once; a provider that Wine or Windows
// lacks stays null and its keys are signed by libgcrypt. bcrypt.dll is
// loaded from the system folder when it is there: Windows XP has none, and
// the agent runs there all the same.
struct CngProviders {
    HMODULE module = nullptr;
    decltype(&BCryptOpenAlgorithmProvider) openProvider = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) closeProvider = nullptr;
    decltype(&BCryptImportKeyPair) importKeyPair = nullptr;
    decltype(&BCryptSignHash) signHash = nullptr;
    decltype(&BCryptDestroyKey) destroyKey = nullptr;
    BCRYPT_ALG_HANDLE rsa = nullptr, p256 = nullptr, p384 = nullptr, p521 = nullptr;
    std::atomic<std::size_t> keysHeld{0};

    CngProviders() {
        if (!loadFunctions()) return;
        openProvider(&rsa, BCRYPT_RSA_ALGORITHM, nullptr, 0);
        openProvider(&p256, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
        openProvider(&p384, BCRYPT_ECDSA_P384_ALGORITHM, nullptr, 0);
        openProvider(&p521, BCRYPT_ECDSA_P521_ALGORITHM, nullptr, 0);
    }
    ~CngProviders() {
        for (BCRYPT_ALG_HANDLE h : {rsa, p256, p384, p521})
            if (h) closeProvider(h, 0);
        if (module) FreeLibrary(module);
    }

    template <class Function>
    bool resolve(Function& function, const char* name) {
        function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
        return function != nullptr;
    }
    bool loadFunctions() {
        char path[MAX_PATH];
        UINT n = GetSystemDirectoryA(path, MAX_PATH);
        if (n == 0 || n + 12 >= MAX_PATH) return false;
        lstrcatA(path, "\\bcrypt.dll");
        module = LoadLibraryA(path);
        return module && resolve(openProvider, "BCryptOpenAlgorithmProvider") &&
               resolve(closeProvider, "BCryptCloseAlgorithmProvider") && resolve(importKeyPair, "BCryptImportKeyPair") &&
               resolve(signHash, "BCryptSignHash") && resolve(destroyKey, "BCryptDestroyKey");
    }
    CngProviders(const CngProviders&) = delete;
    CngProviders& operator=(const CngProviders&) = delete;
};

namespace {

class CngKey : public PlatformKey {
public:
    CngKey(std::shared_ptr<CngProviders> providers, BCRYPT_KEY_HANDLE handle, const PublicKey& pub,
           std::size_t signatureSize)
        : providers_(std::move(providers)), handle_(handle), pub_(pub), signatureSize_(signatureSize) {
        ++providers_->keysHeld;
    }
    ~CngKey() override {
        if (succeeded(providers_->destroyKey(handle_))) --providers_->keysHeld;
    }
    CngKey(const CngKey&) = delete;
    CngKey& operator=(const CngKey&) = delete;

    bool sign(const std::uint8_t* data, std::size_t size, std::uint32_t flags, Bytes& sigBlob) const override {
        SignatureHash hash = signatureHash(pub_, flags);
        Bytes digest = digestOf(hash, data, size);
        BCRYPT_PKCS1_PADDING_INFO padding = {pkcs1HashId(hash)};
        bool rsa = pub_.algorithm == KeyAlgorithm::Rsa;
        void* paddingInfo = rsa ? &padding : nullptr;
        ULONG paddingFlag = rsa ? BCRYPT_PAD_PKCS1 : 0;
        // Wine answers a size query for ECDSA with the field's size, half
        // the signature's: the size is known from the key instead.
        Bytes raw(signatureSize_);
        ULONG length = 0;
        // One signature at a time on a handle: Wine's module does not
        // promise more.
        std::lock_guard<std::mutex> lock(mutex_);
        if (!succeeded(providers_->signHash(handle_, paddingInfo, digest.data(), ULONG(digest.size()), raw.data(),
                                      ULONG(raw.size()), &length, paddingFlag)) ||
            length > raw.size())
            return false;
        raw.resize(length);
        return signatureBlob(pub_, hash, raw.data(), raw.size(), sigBlob);
    }

private:
    std::shared_ptr<CngProviders> providers_;
    BCRYPT_KEY_HANDLE handle_;
    PublicKey pub_;
    std::size_t signatureSize_;
    mutable std::mutex mutex_;
};

}  // namespace

CngSigner::CngSigner() : providers_(std::make_shared<CngProviders>()) {}

std::size_t CngSigner::keysHeld() const { return providers_->keysHeld; }

std::unique_ptr<PlatformKey> CngSigner::import(const PrivateKey& key) const {
    BCRYPT_ALG_HANDLE provider = nullptr;
    LPCWSTR blobType = BCRYPT_ECCPRIVATE_BLOB;
    Bytes blob;
    bool built = false;
    std::size_t signatureSize = 0;
    switch (key.pub.algorithm) {
    case KeyAlgorithm::Rsa:
        provider = providers_->rsa, blobType = BCRYPT_RSAFULLPRIVATE_BLOB;
        built = rsaFullPrivateBlob(key, blob);
        signatureSize = significantBytes(key.pub.rsaN);
        break;
    case KeyAlgorithm::EcdsaP256:
        provider = providers_->p256;
        built = eccPrivateBlob(key, BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32, blob);
        signatureSize = 2 * 32;
        break;
    case KeyAlgorithm::EcdsaP384:
        provider = providers_->p384;
        built = eccPrivateBlob(key, BCRYPT_ECDSA_PRIVATE_P384_MAGIC, 48, blob);
        signatureSize = 2 * 48;
        break;
    case KeyAlgorithm::EcdsaP521:
        provider = providers_->p521;
        built = eccPrivateBlob(key, BCRYPT_ECDSA_PRIVATE_P521_MAGIC, 66, blob);
        signatureSize = 2 * 66;
        break;
    default:
        return nullptr;
    }
    BCRYPT_KEY_HANDLE handle = nullptr;
    bool imported = built && provider &&
                    succeeded(providers_->importKeyPair(provider, nullptr, blobType, &handle, blob.data(), ULONG(blob.size()), 0));
    wipe(blob);
    if (!imported) return nullptr;
    return std::unique_ptr<PlatformKey>(new CngKey(providers_, handle, key.pub, signatureSize));
}
