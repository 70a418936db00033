// Secret key material from the operating system's own generator.
// libgcrypt's strongest level polls its entropy sources again for every
// request, which on Windows costs some ten milliseconds a key; the
// system's generator is what Windows' and OpenSSH's own key generation
// draw from.
#ifndef AGENTCORE_SYSTEMRANDOM_H
#define AGENTCORE_SYSTEMRANDOM_H

#include <cstddef>
#include <cstdint>

namespace agentcore {

// Fills out with size random bytes; false (and nothing to use) if the
// system could not give them.
bool systemRandom(std::uint8_t* out, std::size_t size);

}  // namespace agentcore

#endif
