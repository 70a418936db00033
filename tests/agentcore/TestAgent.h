// The agent as its tests drive it: one store and handler with a clock,
// a recording confirm prompt, event sink and brake wait of the test's, and
// the requests of the protocol as one call each.
#ifndef AGENTCORE_TESTAGENT_H
#define AGENTCORE_TESTAGENT_H

#include "KeyStore.h"
#include "RequestHandler.h"
#include "TestKeys.h"
#include "Verifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testkeys {

using namespace agentcore;

struct Agent {
    KeyStore store;
    RequestHandler handler{store};
    Session session;
    std::uint64_t clock = 1000000;
    int changes = 0;
    std::vector<AgentEvent> events;
    std::vector<std::uint32_t> delays;
    std::vector<KeyInfo> asked;
    bool answer = true;
    bool open = true;

    Agent() {
        initCrypto();
        store.setClock([this] { return clock; });
        store.setVerifierCost(kMinVerifierCost);
        store.setChangeListener([this] { ++changes; });
        store.setEventSink([this](const AgentEvent& e) { events.push_back(e); });
        store.guessBrake().setWait([this](std::uint32_t ms) { delays.push_back(ms); });
        handler.setConfirmPrompt([this](const KeyInfo& key, const SignDestination&, std::uint64_t client) {
            asked.push_back(key);
            EXPECT_EQ(client, session.clientProcess);
            return answer;
        });
        session.clientProcess = 4321;
        // The requests of the key manager's library, which the agent serves
        // on its own channel only; the public channel is tried below.
        session.channel = Channel::Manager;
    }

    Bytes call(std::uint8_t type, const Bytes& body = Bytes()) {
        Bytes msg(1, type);
        msg.insert(msg.end(), body.begin(), body.end());
        Bytes reply;
        open = handler.handle(msg.data(), msg.size(), session, reply) == Outcome::Reply;
        return reply;
    }
    Bytes extension(const std::string& name, const Bytes& body = Bytes()) {
        WireWriter w;
        w.string(name);
        w.raw(body);
        return call(SSH_AGENTC_EXTENSION, w.bytes());
    }
    Bytes add(const std::string& key, const Bytes& constraints = Bytes()) {
        Bytes body = addIdentityBody(fixturePath(key));
        if (constraints.empty()) return call(SSH_AGENTC_ADD_IDENTITY, body);
        body.insert(body.end(), constraints.begin(), constraints.end());
        return call(SSH_AGENTC_ADD_ID_CONSTRAINED, body);
    }
    std::size_t listed() {
        Bytes reply = call(SSH_AGENTC_REQUEST_IDENTITIES);
        return reply.size() >= 5 ? reply[4] : 999;
    }
    std::vector<std::string> names() {
        Bytes reply = call(SSH_AGENTC_REQUEST_IDENTITIES);
        WireReader r(reply);
        std::uint8_t type;
        std::uint32_t n = 0;
        r.u8(type), r.u32(n);
        std::vector<std::string> out;
        for (std::uint32_t i = 0; i < n; ++i) {
            Bytes blob;
            std::string name;
            r.string(blob), r.text(name);
            out.push_back(name);
        }
        return out;
    }
    bool signs(const std::string& key) {
        WireWriter w;
        w.string(publicBlob(fixturePath(key + ".pub")));
        w.string(std::string("session data"));
        w.u32(0);
        Bytes reply = call(SSH_AGENTC_SIGN_REQUEST, w.bytes());
        return !reply.empty() && reply[0] == SSH_AGENT_SIGN_RESPONSE;
    }
    Bytes remove(const std::string& key) {
        WireWriter w;
        w.string(publicBlob(fixturePath(key + ".pub")));
        return call(SSH_AGENTC_REMOVE_IDENTITY, w.bytes());
    }
    Bytes lock(const std::string& passphrase, std::uint8_t type = SSH_AGENTC_LOCK) {
        WireWriter w;
        w.string(passphrase);
        return call(type, w.bytes());
    }
    Bytes unlock(const std::string& passphrase) { return lock(passphrase, SSH_AGENTC_UNLOCK); }
    bool lockState() {
        Bytes reply = extension("lock-state@glimmerpad");
        EXPECT_EQ(reply.size(), 2u);
        return reply.size() == 2 && reply[1] == 1;
    }
    const AgentEvent& lastEvent() { return events.back(); }
};

inline Bytes lifetime(std::uint32_t seconds) {
    WireWriter w;
    w.u8(SSH_AGENT_CONSTRAIN_LIFETIME);
    w.u32(seconds);
    return w.take();
}

const Bytes kOk{SSH_AGENT_SUCCESS};
const Bytes kFail{SSH_AGENT_FAILURE};
const Bytes kExtFail{SSH_AGENT_EXTENSION_FAILURE};

}  // namespace testkeys

#endif
