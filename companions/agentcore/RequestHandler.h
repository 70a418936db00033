// The agent protocol's requests, answered against one key store. Framing
// is per connection (Connection); the handler itself keeps no state of a
// connection except what the Session passed in holds. Every way into the
// agent goes through handle(), from any thread, so the store's safeguards
// and the confirm prompt apply to all of them alike.
#ifndef AGENTCORE_REQUESTHANDLER_H
#define AGENTCORE_REQUESTHANDLER_H

#include "DestinationMatch.h"
#include "KeyStore.h"
#include "Protocol.h"
#include "Wire.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace agentcore {

// What one connection has told the agent about itself.
struct Session {
    using Binding = SessionBinding;
    std::vector<Binding> bindings;
    // A session-bind was asked for, whether or not it bound anything.
    bool bindAttempted = false;
    // Set by whoever accepted the connection, before its first request.
    Channel channel = Channel::Public;
    // Set by the connection's owner (the pipe server knows the client's
    // process); extensions may read it.
    std::uint64_t clientProcess = 0;
    // Its program file, found once when the connection was made (naming it
    // on every logged signature cost a third of the signature's time);
    // empty when unknown.
    std::string clientProgram;
    // True once the client's end of the connection is known to be gone;
    // set where the owner can tell (the pipe server), for an extension
    // that works long enough for its caller to leave.
    std::function<bool()> clientGone;
};

enum class Outcome { Reply, ReplyAndClose };

// Where a signature goes, as far as the connection's session bindings
// tell: what the confirm prompt shows the user.
struct SignDestination {
    // The name the key's destination constraints give the host, when one
    // matched; empty otherwise.
    std::string host;
    // SHA-256 fingerprint of the last bound host key; empty when the
    // connection was never bound.
    std::string hostKeyFingerprint;
    // The hosts the agent was forwarded through before it (bindings before
    // the last).
    std::uint32_t forwardedHops = 0;
};

class RequestHandler {
public:
    // An extension reads its own data from body (what follows its name)
    // and writes the whole reply message, number included. Returning false
    // answers SSH_AGENT_EXTENSION_FAILURE.
    using Extension = std::function<bool(WireReader& body, Session& session, WireWriter& reply)>;
    // Asks the user whether the key may sign for this client; called on the
    // request's thread, which waits for the answer. No prompt: denied.
    using ConfirmPrompt =
        std::function<bool(const KeyInfo& key, const SignDestination& destination, std::uint64_t clientProcess)>;
    // Told of each signature made that nobody was asked to confirm, after
    // it was made, on the request's thread; it must not wait for the user.
    using SignNotice =
        std::function<void(const KeyInfo& key, const SignDestination& destination, std::uint64_t clientProcess)>;

    // Who may call an extension: OpenSSH's own work for everyone; this
    // agent's own only on the manager's channel. An extension out of reach
    // is answered as one this agent does not know.
    enum class Reach { AnyClient, ManagerOnly };

    explicit RequestHandler(KeyStore& store);

    void addExtension(const std::string& name, Extension extension, Reach reach = Reach::ManagerOnly);
    void setConfirmPrompt(ConfirmPrompt prompt);
    void setSignNotice(SignNotice notice);

    // One message without its length prefix; reply receives the answer
    // without its length prefix.
    Outcome handle(const std::uint8_t* msg, std::size_t size, Session& session, Bytes& reply);

private:
    Outcome identities(const Session& session, Bytes& reply);
    Outcome sign(WireReader& in, Session& session, Bytes& reply);
    Outcome addIdentity(WireReader& in, Session& session, bool constrained, Bytes& reply);
    Outcome removeIdentity(WireReader& in, Session& session, Bytes& reply);
    Outcome removeAll(WireReader& in, Session& session, Bytes& reply);
    Outcome lock(WireReader& in, Session& session, Bytes& reply);
    Outcome unlock(WireReader& in, Session& session, Bytes& reply);
    Outcome extension(WireReader& in, Session& session, Bytes& reply);
    bool sessionBind(WireReader& body, Session& session, WireWriter& reply);
    bool lockWithAgentPassphrase(WireReader& body, Session& session, WireWriter& reply);
    bool lockState(WireReader& body, WireWriter& reply);
    bool renameKey(WireReader& body, Session& session, WireWriter& reply);
    bool setLifetime(WireReader& body, Session& session, WireWriter& reply);
    bool keyList(WireReader& body, const Session& session, WireWriter& reply);
    bool asksConfirmation(const KeyInfo& key) const;
    bool confirmed(const KeyInfo& key, const Session& session, const SignDestination& destination);
    void log(const std::string& operation, const KeyInfo* key, const Session& session, const std::string& outcome);

    KeyStore& store_;
    struct Registered {
        Extension run;
        Reach reach;
    };
    const Registered* reachable(const std::string& name, const Session& session) const;

    std::map<std::string, Registered> extensions_;
    ConfirmPrompt prompt_;
    SignNotice notice_;
};

// What the confirm prompt is told of the connection a signature is for.
SignDestination destinationOf(const Session& session);

// A log event for an operation a connection asked for, naming its client.
AgentEvent sessionEvent(const std::string& operation, const Session& session);

// Frames the byte stream of one client: whole messages to the handler,
// whole answers back.
class Connection {
public:
    explicit Connection(RequestHandler& handler) : handler_(handler) {}

    // Takes what the client sent and appends to out every answer that is
    // complete. Returns false once the connection must end (after out has
    // been sent). The bytes of every handled message are wiped before it
    // returns (they may hold a passphrase or a key); only the start of a
    // message still incomplete is kept.
    bool receive(const std::uint8_t* data, std::size_t size, Bytes& out);

    Session& session() { return session_; }

private:
    RequestHandler& handler_;
    Session session_;
    Bytes pending_;
};

}  // namespace agentcore

#endif
