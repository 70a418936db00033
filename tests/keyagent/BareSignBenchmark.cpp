// Signatures of one key in this process, by the crypto the agent uses for
// it (CNG where it takes the key, libgcrypt otherwise), timed as
// sign-benchmark times the agent's: the signing half of what this machine
// allows, for make benchmark.
//   bare-sign-benchmark KEY-FILE SECONDS [FLAGS]
#include "CngSigner.h"
#include "KeyFile.h"
#include "RequestTimes.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

using namespace agentcore;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bare-sign-benchmark KEY-FILE SECONDS [FLAGS]\n");
        return 2;
    }
    double seconds = std::atof(argv[2]);
    std::uint32_t flags = argc > 3 ? std::uint32_t(std::atoi(argv[3])) : 0;
    std::ifstream file(argv[1], std::ios::binary);
    Bytes contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    initCrypto();
    std::unique_ptr<PrivateKey> key;
    if (readPrivateKeyFile(contents, nullptr, key) != KeyFileResult::Ok) {
        std::fprintf(stderr, "cannot read the key %s\n", argv[1]);
        return 1;
    }
    CngSigner cng;
    key->platform = importChecked(cng, *key);
    std::fprintf(stderr, "%s signed by %s\n", argv[1], key->platform ? "CNG" : "libgcrypt");
    const Bytes data(32, 0x5a);
    Bytes sig;
    RequestTimes times;
    if (!times.run(seconds, [&] { return signData(*key, data.data(), data.size(), flags, sig); })) return 1;
    times.print();
    return 0;
}
