// The agent passphrase's verifier file, which the agent reads at every start
// from the user's profile, where any program of the user may have written
// it. Any bytes are refused or read as a verifier within the cost bounds,
// and what is read writes out as a line that reads back the same.
#include "Verifier.h"

using namespace agentcore;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Verifier read;
    if (!parseVerifier(std::string(reinterpret_cast<const char*>(data), size), read)) {
        if (!read.empty()) __builtin_trap();
        return 0;
    }
    // A cost beyond the bounds would make every unlock allocate gigabytes.
    if (read.cost < kMinVerifierCost || read.cost > kMaxVerifierCost || (read.cost & (read.cost - 1)) != 0 ||
        read.salt.size() != 16 || read.hash.size() != 32)
        __builtin_trap();
    Verifier again;
    if (!parseVerifier(formatVerifier(read), again) || again.cost != read.cost || again.salt != read.salt ||
        again.hash != read.hash)
        __builtin_trap();
    return 0;
}
