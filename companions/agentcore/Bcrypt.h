// Blowfish, and the bcrypt-based key derivation OpenSSH uses for its own
// private key format. libgcrypt has a Blowfish, but not its expensive key
// schedule with a salt, which the derivation is built on.
#ifndef AGENTCORE_BCRYPT_H
#define AGENTCORE_BCRYPT_H

#include "Bytes.h"

#include <cstddef>
#include <cstdint>

namespace agentcore {

class Blowfish {
public:
    // The initial state: the fraction of pi, as the cipher defines it.
    Blowfish();
    ~Blowfish();
    Blowfish(const Blowfish&) = delete;
    Blowfish& operator=(const Blowfish&) = delete;

    // The key schedule: with salt for bcrypt, without for plain Blowfish.
    void expand(const std::uint8_t* salt, std::size_t saltSize, const std::uint8_t* key, std::size_t keySize);
    void expand(const std::uint8_t* key, std::size_t keySize) { expand(nullptr, 0, key, keySize); }
    void encrypt(std::uint32_t& left, std::uint32_t& right) const;

private:
    std::uint32_t f(std::uint32_t x) const;
    std::uint32_t p_[18];
    std::uint32_t s_[4][256];
};

// bcrypt_pbkdf: fills key[0..keySize) from the passphrase and salt. False
// for sizes it cannot serve (no rounds, an empty salt, a key over 1024 bytes).
bool bcryptPbkdf(const std::uint8_t* pass, std::size_t passSize, const std::uint8_t* salt, std::size_t saltSize,
                 unsigned rounds, std::uint8_t* key, std::size_t keySize);

}  // namespace agentcore

#endif
