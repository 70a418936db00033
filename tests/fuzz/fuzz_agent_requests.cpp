// The request handler fed arbitrary client bytes, split into reads of the
// first byte's length, as a pipe may deliver them. One fixed key is held
// so that sign and remove reach real keys; the second byte picks the
// policies, the user's answer to a confirmation and the channel (a public
// client, or the manager's, which alone reaches this agent's own
// extensions), so that every rule of the safeguards is walked, and the
// clock moves with every request so that lifetimes run out. Every answer
// must be framed and within the size limit, and a plain identities request
// must always be answered with the list: keys whose comments together outgrow
// one message would leave every client, the key manager too, without it.
#include "RequestHandler.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

using namespace agentcore;

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    __builtin_trap();
}

// The type of each whole request in the stream, in the order answered, up
// to the first length no frame may have; 0 for a request with a body.
std::vector<std::uint8_t> bareRequestTypes(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> types;
    WireReader frames(data, size);
    const std::uint8_t* body;
    std::size_t n;
    while (frames.stringView(body, n) && n > 0 && n <= kMaxMessage) types.push_back(n == 1 ? body[0] : 0);
    return types;
}

void checkAnswers(const Bytes& out, const std::vector<std::uint8_t>& requests) {
    WireReader answers(out);
    for (std::size_t i = 0; answers.remaining(); ++i) {
        const std::uint8_t* answer;
        std::size_t n;
        if (!answers.stringView(answer, n) || n == 0 || n > kMaxMessage)
            finding("an answer unframed or beyond the size limit");
        bool listAsked = i < requests.size() && requests[i] == SSH_AGENTC_REQUEST_IDENTITIES;
        if (listAsked && answer[0] != SSH_AGENT_IDENTITIES_ANSWER) finding("an identities request answered without the list");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    initCrypto();
    static const PrivateKey* held = [] {
        // RFC 8032 test 1's key.
        static const std::uint8_t seed[32] = {0x9d, 0x61, 0xb1, 0x9d, 0xef, 0xfd, 0x5a, 0x60, 0xba, 0x84, 0x4a,
                                              0xf4, 0x92, 0xec, 0x2c, 0xc4, 0x44, 0x49, 0xc5, 0x69, 0x7b, 0x32,
                                              0x69, 0x19, 0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60};
        static const std::uint8_t pub[32] = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe,
                                             0xd3, 0xc9, 0x64, 0x07, 0x3a, 0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6,
                                             0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
        WireWriter w;
        w.string(std::string("ssh-ed25519"));
        w.string(pub, 32);
        Bytes secret(seed, seed + 32);
        secret.insert(secret.end(), pub, pub + 32);
        w.string(secret);
        w.string(std::string("fuzz"));
        WireReader r(w.bytes());
        std::unique_ptr<PrivateKey> key;
        if (readPrivateKey(r, key) != AddResult::Ok) __builtin_trap();
        return key.release();
    }();
    if (size < 2) return 0;
    KeyStore store;
    std::uint64_t clock = 0;
    store.setClock([&clock] { return clock += 700; });
    store.setVerifierCost(kMinVerifierCost);
    store.add(std::unique_ptr<PrivateKey>(new PrivateKey(*held)));
    std::uint8_t choices = data[1];
    store.setPolicies(Policies{(choices & 1) != 0, (choices & 2) == 0, (choices & 4) == 0});
    RequestHandler handler(store);
    store.guessBrake().setWait([](std::uint32_t) {});
    handler.setConfirmPrompt(
        [choices](const KeyInfo&, const SignDestination&, std::uint64_t) { return (choices & 8) != 0; });
    Connection connection(handler);
    connection.session().channel = (choices & 16) != 0 ? Channel::Manager : Channel::Public;
    std::size_t chunk = 1 + data[0];
    Bytes out;
    for (std::size_t pos = 2; pos < size; pos += chunk) {
        std::size_t n = size - pos < chunk ? size - pos : chunk;
        if (!connection.receive(data + pos, n, out)) break;
    }
    checkAnswers(out, bareRequestTypes(data + 2, size - 2));
    return 0;
}
