// RSA and ECDSA signatures by Windows' own crypto module (CNG, bcrypt.dll):
// faster than libgcrypt for RSA, and the module Windows' FIPS policy asks
// a product to use. Each key is imported once, as a CNG key handle that
// lives as long as the agent holds the key.
#ifndef KEYAGENT_CNGSIGNER_H
#define KEYAGENT_CNGSIGNER_H

#include "PlatformSigner.h"

#include <cstddef>
#include <memory>

struct CngProviders;

class CngSigner : public agentcore::PlatformSigner {
public:
    CngSigner();
    std::unique_ptr<agentcore::PlatformKey> import(const agentcore::PrivateKey& key) const override;
    // CNG key handles imported and not yet destroyed.
    std::size_t keysHeld() const;

private:
    std::shared_ptr<CngProviders> providers_;
};

#endif
