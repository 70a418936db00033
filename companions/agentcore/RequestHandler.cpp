#include "RequestHandler.h"

#include "HostCertificate.h"

#include <algorithm>
#include <ctime>

namespace agentcore {

namespace {

Outcome failure(Bytes& reply, Outcome outcome) {
    reply.assign(1, SSH_AGENT_FAILURE);
    return outcome;
}

Outcome success(Bytes& reply) {
    reply.assign(1, SSH_AGENT_SUCCESS);
    return Outcome::Reply;
}

const char* const kQuery = "query";
const char* const kNotPermittedHere = "refused, the key is held for other destinations";
const char* const kSessionBind = "session-bind@openssh.com";
// A connection binds once per hop of a forwarding chain; more than this is
// no login.
const std::size_t kMaxBindings = 16;

AddResult readConstraintExtension(WireReader& in, KeyConstraints& constraints) {
    std::string name;
    if (!in.text(name)) return AddResult::Malformed;
    if (name != kRestrictDestination || !constraints.destinations.empty()) return AddResult::Refused;
    return readDestinations(in, constraints.destinations);
}

// Unknown constraints refuse the add: a key must never be held with less
// protection than its owner asked for.
AddResult readConstraints(WireReader& in, KeyConstraints& constraints) {
    bool lifetime = false, confirm = false;
    while (in.remaining()) {
        std::uint8_t type;
        if (!in.u8(type)) return AddResult::Malformed;
        if (type == SSH_AGENT_CONSTRAIN_LIFETIME) {
            std::uint32_t seconds;
            if (!in.u32(seconds)) return AddResult::Malformed;
            if (lifetime || seconds == 0) return AddResult::Refused;
            constraints.lifetimeSeconds = seconds;
            lifetime = true;
        } else if (type == SSH_AGENT_CONSTRAIN_CONFIRM) {
            if (confirm) return AddResult::Refused;
            constraints.confirm = confirm = true;
        } else if (type == SSH_AGENT_CONSTRAIN_EXTENSION) {
            AddResult read = readConstraintExtension(in, constraints);
            if (read != AddResult::Ok) return read;
        } else {
            return AddResult::Refused;
        }
    }
    return in.ok() ? AddResult::Ok : AddResult::Malformed;
}

// Host certificates are valid by the calendar.
std::uint64_t secondsSince1970() {
    std::time_t now = std::time(nullptr);
    return now < 0 ? 0 : std::uint64_t(now);
}

// What a connection may see of the keys: every key it may use on the path
// its bindings prove, and every key held for anywhere. A connection never
// bound is a local one, unless it tried to bind and failed: it claimed a
// host it could not prove.
KeyFilter visibleOn(const Session& session) {
    std::uint64_t now = secondsSince1970();
    return [&session, now](const Destinations& where) {
        if (where.empty()) return true;
        if (session.bindings.empty()) return !session.bindAttempted;
        return permittedOn(where, session.bindings, now);
    };
}

}  // namespace

RequestHandler::RequestHandler(KeyStore& store) : store_(store) {
    addExtension(
        kSessionBind,
        [this](WireReader& body, Session& session, WireWriter& reply) { return sessionBind(body, session, reply); },
        Reach::AnyClient);
    addExtension(kLockWithAgentPassphrase, [this](WireReader& body, Session& session, WireWriter& reply) {
        return lockWithAgentPassphrase(body, session, reply);
    });
    addExtension(kLockState, [this](WireReader& body, Session&, WireWriter& reply) { return lockState(body, reply); });
    addExtension(kRenameKey, [this](WireReader& body, Session& session, WireWriter& reply) {
        return renameKey(body, session, reply);
    });
    addExtension(kSetLifetime, [this](WireReader& body, Session& session, WireWriter& reply) {
        return setLifetime(body, session, reply);
    });
    addExtension(kKeyList, [this](WireReader& body, Session& session, WireWriter& reply) {
        return keyList(body, session, reply);
    });
}

void RequestHandler::addExtension(const std::string& name, Extension extension, Reach reach) {
    extensions_[name] = Registered{std::move(extension), reach};
}

const RequestHandler::Registered* RequestHandler::reachable(const std::string& name, const Session& session) const {
    auto it = extensions_.find(name);
    if (it == extensions_.end()) return nullptr;
    if (it->second.reach == Reach::ManagerOnly && session.channel != Channel::Manager) return nullptr;
    return &it->second;
}

void RequestHandler::setConfirmPrompt(ConfirmPrompt prompt) { prompt_ = std::move(prompt); }

void RequestHandler::setSignNotice(SignNotice notice) { notice_ = std::move(notice); }

void RequestHandler::log(const std::string& operation, const KeyInfo* key, const Session& session,
                         const std::string& outcome) {
    AgentEvent event = sessionEvent(operation, session);
    if (key) {
        event.keyName = key->name;
        event.fingerprint = key->fingerprint;
    }
    event.outcome = outcome;
    store_.report(event);
}

Outcome RequestHandler::handle(const std::uint8_t* msg, std::size_t size, Session& session, Bytes& reply) {
    WireReader in(msg, size);
    std::uint8_t type;
    if (!in.u8(type)) return failure(reply, Outcome::ReplyAndClose);
    switch (type) {
    case SSH_AGENTC_REQUEST_IDENTITIES:
        if (!in.atEnd()) return failure(reply, Outcome::ReplyAndClose);
        return identities(session, reply);
    case SSH_AGENTC_SIGN_REQUEST:
        return sign(in, session, reply);
    case SSH_AGENTC_ADD_IDENTITY:
        return addIdentity(in, session, false, reply);
    case SSH_AGENTC_ADD_ID_CONSTRAINED:
        return addIdentity(in, session, true, reply);
    case SSH_AGENTC_REMOVE_IDENTITY:
        return removeIdentity(in, session, reply);
    case SSH_AGENTC_REMOVE_ALL_IDENTITIES:
        return removeAll(in, session, reply);
    case SSH_AGENTC_LOCK:
        return lock(in, session, reply);
    case SSH_AGENTC_UNLOCK:
        return unlock(in, session, reply);
    case SSH_AGENTC_EXTENSION:
        return extension(in, session, reply);
    default:
        // Smartcards and anything unknown are refused, and the connection
        // goes on.
        return failure(reply, Outcome::Reply);
    }
}

// On a bound connection, only the keys that may go where it leads, so that
// the client offers the right one first.
Outcome RequestHandler::identities(const Session& session, Bytes& reply) {
    std::vector<Identity> ids = store_.list(visibleOn(session));
    WireWriter w;
    w.u8(SSH_AGENT_IDENTITIES_ANSWER);
    w.u32(std::uint32_t(ids.size()));
    for (const Identity& id : ids) {
        w.string(id.blob);
        w.string(id.comment);
    }
    // An answer the client could not take is no answer: better the failure.
    if (w.bytes().size() > kMaxMessage) return failure(reply, Outcome::Reply);
    reply = w.take();
    return Outcome::Reply;
}

AgentEvent sessionEvent(const std::string& operation, const Session& session) {
    AgentEvent event;
    event.operation = operation;
    event.clientProcess = session.clientProcess;
    event.clientProgram = session.clientProgram;
    return event;
}

SignDestination destinationOf(const Session& session) {
    SignDestination where;
    if (session.bindings.empty()) return where;
    // A host certificate is known by its key's fingerprint, as ssh shows it.
    const Bytes& hostKey = session.bindings.back().hostKey;
    PublicKey key;
    bool certificate = parsePublicKey(hostKey.data(), hostKey.size(), key) && key.certificate;
    where.hostKeyFingerprint = fingerprintSha256(certificate ? plainPublicBlob(key) : hostKey);
    where.forwardedHops = std::uint32_t(session.bindings.size() - 1);
    return where;
}

bool RequestHandler::asksConfirmation(const KeyInfo& key) const {
    return key.confirm || store_.policies().confirmKeyOp;
}

bool RequestHandler::confirmed(const KeyInfo& key, const Session& session, const SignDestination& destination) {
    return prompt_ && prompt_(key, destination, session.clientProcess);
}

Outcome RequestHandler::sign(WireReader& in, Session& session, Bytes& reply) {
    const std::uint8_t *blob, *data;
    std::size_t blobSize, dataSize;
    std::uint32_t flags;
    if (!in.stringView(blob, blobSize) || !in.stringView(data, dataSize) || !in.u32(flags) || !in.atEnd())
        return failure(reply, Outcome::ReplyAndClose);
    KeyInfo key;
    std::shared_ptr<const Destinations> where;
    if (!store_.describe(blob, blobSize, key, &where)) {
        log("sign", nullptr, session, outcomeText(store_.locked() ? StoreResult::Locked : StoreResult::NotFound));
        return failure(reply, Outcome::Reply);
    }
    SignDestination destination = destinationOf(session);
    if (!where->empty()) {
        Bytes keyBlob(blob, blob + blobSize);
        const char* refusal =
            loginRefusal(*where, session.bindings, keyBlob, data, dataSize, secondsSince1970(), destination.host);
        if (refusal) {
            log("sign", &key, session, refusal);
            return failure(reply, Outcome::Reply);
        }
    }
    // Asked once: the policy may change while the user answers.
    bool asked = asksConfirmation(key);
    if (asked && !confirmed(key, session, destination)) {
        log("sign", &key, session, "refused, not confirmed by the user");
        return failure(reply, Outcome::Reply);
    }
    Bytes sig;
    StoreResult result = store_.sign(blob, blobSize, data, dataSize, flags, sig);
    log("sign", &key, session, outcomeText(result));
    if (result != StoreResult::Ok) return failure(reply, Outcome::Reply);
    if (!asked && notice_) notice_(key, destination, session.clientProcess);
    WireWriter w;
    w.u8(SSH_AGENT_SIGN_RESPONSE);
    w.string(sig);
    reply = w.take();
    return Outcome::Reply;
}

Outcome RequestHandler::addIdentity(WireReader& in, Session& session, bool constrained, Bytes& reply) {
    std::unique_ptr<PrivateKey> key;
    KeyConstraints constraints;
    AddResult read = readPrivateKey(in, key);
    if (read == AddResult::Ok && constrained) read = readConstraints(in, constraints);
    if (read == AddResult::Ok && !in.atEnd()) read = AddResult::Malformed;
    if (read == AddResult::Malformed) return failure(reply, Outcome::ReplyAndClose);
    if (read == AddResult::Refused) {
        KeyInfo refused;
        if (key) refused = KeyInfo{key->comment, fingerprintSha256(key->pub.blob), constraints.confirm};
        log("add", key ? &refused : nullptr, session, "refused, a key type or constraint this agent does not hold");
        return failure(reply, Outcome::Reply);
    }
    KeyInfo info{key->comment, fingerprintSha256(key->pub.blob), constraints.confirm};
    // A key held already is replaced only where it may be seen.
    std::shared_ptr<const Destinations> held;
    KeyInfo heldInfo;
    if (store_.describe(key->pub.blob.data(), key->pub.blob.size(), heldInfo, &held) && !visibleOn(session)(*held)) {
        log("add", &info, session, kNotPermittedHere);
        return failure(reply, Outcome::Reply);
    }
    std::string outcome;
    if (constraints.lifetimeSeconds) outcome += ", lifetime " + std::to_string(constraints.lifetimeSeconds) + " s";
    if (constraints.confirm) outcome += ", confirm each use";
    if (!constraints.destinations.empty())
        outcome += ", only for " + std::to_string(constraints.destinations.size()) + " destinations";
    StoreResult result = store_.add(std::move(key), constraints);
    log("add", &info, session, outcomeText(result) + (result == StoreResult::Ok ? outcome : std::string()));
    if (result != StoreResult::Ok) return failure(reply, Outcome::Reply);
    return success(reply);
}

Outcome RequestHandler::removeIdentity(WireReader& in, Session& session, Bytes& reply) {
    const std::uint8_t* blob;
    std::size_t size;
    if (!in.stringView(blob, size) || !in.atEnd()) return failure(reply, Outcome::ReplyAndClose);
    KeyInfo key;
    std::shared_ptr<const Destinations> where;
    bool known = store_.describe(blob, size, key, &where);
    if (known && !visibleOn(session)(*where)) {
        log("remove", &key, session, kNotPermittedHere);
        return failure(reply, Outcome::Reply);
    }
    StoreResult result = store_.remove(blob, size, &key);
    log("remove", known || result == StoreResult::Ok ? &key : nullptr, session, outcomeText(result));
    if (result != StoreResult::Ok) return failure(reply, Outcome::Reply);
    return success(reply);
}

Outcome RequestHandler::removeAll(WireReader& in, Session& session, Bytes& reply) {
    if (!in.atEnd()) return failure(reply, Outcome::ReplyAndClose);
    StoreResult result = store_.removeAll();
    log("remove all", nullptr, session, outcomeText(result));
    if (result != StoreResult::Ok) return failure(reply, Outcome::Reply);
    return success(reply);
}

Outcome RequestHandler::lock(WireReader& in, Session& session, Bytes& reply) {
    const std::uint8_t* passphrase;
    std::size_t size;
    if (!in.stringView(passphrase, size) || !in.atEnd()) return failure(reply, Outcome::ReplyAndClose);
    StoreResult result = store_.lock(passphrase, size);
    log("lock", nullptr, session, result == StoreResult::Ok ? "done" : "refused, already locked");
    if (result != StoreResult::Ok) return failure(reply, Outcome::Reply);
    return success(reply);
}

Outcome RequestHandler::unlock(WireReader& in, Session& session, Bytes& reply) {
    const std::uint8_t* passphrase;
    std::size_t size;
    if (!in.stringView(passphrase, size) || !in.atEnd()) return failure(reply, Outcome::ReplyAndClose);
    if (!store_.locked()) {
        log("unlock", nullptr, session, "refused, not locked");
        return failure(reply, Outcome::Reply);
    }
    // Guessing gets slower with every wrong passphrase, from any client:
    // the store's brake decides.
    std::uint32_t wrong = 0;
    if (store_.unlock(passphrase, size, &wrong) != StoreResult::Ok) {
        log("unlock", nullptr, session, "refused, wrong passphrase (" + std::to_string(wrong) + " in a row)");
        return failure(reply, Outcome::Reply);
    }
    log("unlock", nullptr, session, "done");
    return success(reply);
}

bool RequestHandler::lockWithAgentPassphrase(WireReader& body, Session& session, WireWriter& reply) {
    if (!body.atEnd()) {
        body.fail();
        return false;
    }
    bool set = !store_.agentPassphrase().empty();
    StoreResult result = store_.lockWithAgentPassphrase();
    log("lock", nullptr, session,
        result == StoreResult::Ok ? "done, with the agent passphrase"
                                  : set ? "refused, already locked" : "refused, no agent passphrase is set");
    if (result != StoreResult::Ok) return false;
    reply.u8(SSH_AGENT_SUCCESS);
    return true;
}

bool RequestHandler::lockState(WireReader& body, WireWriter& reply) {
    if (!body.atEnd()) {
        body.fail();
        return false;
    }
    reply.u8(SSH_AGENT_SUCCESS);
    reply.boolean(store_.locked());
    return true;
}

bool RequestHandler::renameKey(WireReader& body, Session& session, WireWriter& reply) {
    const std::uint8_t* blob;
    std::size_t size;
    std::string name;
    if (!body.stringView(blob, size) || !body.text(name) || !body.atEnd()) {
        body.fail();
        return false;
    }
    KeyInfo key;
    bool known = store_.describe(blob, size, key);
    StoreResult result = store_.rename(blob, size, name);
    // A name refused for its length is not copied into the log either.
    std::string operation = name.size() <= kMaxKeyName ? "rename to \"" + name + "\"" : std::string("rename");
    log(operation, known ? &key : nullptr, session, outcomeText(result));
    if (result != StoreResult::Ok) return false;
    reply.u8(SSH_AGENT_SUCCESS);
    return true;
}

bool RequestHandler::setLifetime(WireReader& body, Session& session, WireWriter& reply) {
    const std::uint8_t* blob;
    std::size_t size;
    std::uint32_t seconds;
    if (!body.stringView(blob, size) || !body.u32(seconds) || !body.atEnd()) {
        body.fail();
        return false;
    }
    KeyInfo key;
    bool known = store_.describe(blob, size, key);
    StoreResult result = store_.setLifetime(blob, size, seconds);
    log(seconds ? "set lifetime " + std::to_string(seconds) + " s" : std::string("remove lifetime"), known ? &key : nullptr,
        session, outcomeText(result));
    if (result != StoreResult::Ok) return false;
    reply.u8(SSH_AGENT_SUCCESS);
    return true;
}

// The identities answer with what the key manager shows beside each key.
// Filtered as the identities answer is: the manager's own channel is never
// bound, and lists every key.
bool RequestHandler::keyList(WireReader& body, const Session& session, WireWriter& reply) {
    if (!body.atEnd()) {
        body.fail();
        return false;
    }
    std::vector<Identity> ids = store_.list(visibleOn(session));
    reply.u8(SSH_AGENT_SUCCESS);
    reply.u32(std::uint32_t(ids.size()));
    for (const Identity& id : ids) {
        reply.string(id.blob);
        reply.string(id.comment);
        reply.u32(id.secondsLeft);
        reply.boolean(id.confirm);
        reply.u32(std::uint32_t(id.destinations.size()));
        for (const DestinationHop& hop : id.destinations) {
            reply.string(hop.fromHost);
            reply.string(hop.toUser);
            reply.string(hop.toHost);
        }
    }
    return reply.bytes().size() <= kMaxMessage;
}

Outcome RequestHandler::extension(WireReader& in, Session& session, Bytes& reply) {
    std::string name;
    if (!in.text(name)) return failure(reply, Outcome::ReplyAndClose);
    if (name == kQuery) {
        if (!in.atEnd()) return failure(reply, Outcome::ReplyAndClose);
        WireWriter w;
        w.u8(SSH_AGENT_SUCCESS);
        w.string(std::string(kQuery));
        for (const auto& e : extensions_)
            if (reachable(e.first, session)) w.string(e.first);
        reply = w.take();
        return Outcome::Reply;
    }
    // As OpenSSH's agent answers: an extension it does not know (or that
    // this channel may not call) is a plain failure, one that it knows but
    // that failed is an extension failure.
    const Registered* known = reachable(name, session);
    if (!known) return failure(reply, Outcome::Reply);
    WireWriter w;
    if (!known->run(in, session, w)) {
        reply.assign(1, SSH_AGENT_EXTENSION_FAILURE);
        return in.ok() ? Outcome::Reply : Outcome::ReplyAndClose;
    }
    reply = w.take();
    return Outcome::Reply;
}

bool RequestHandler::sessionBind(WireReader& body, Session& session, WireWriter& reply) {
    const std::uint8_t *hostKey, *sessionId, *signature;
    std::size_t hostKeySize, sessionIdSize, signatureSize;
    bool forwarding;
    session.bindAttempted = true;
    if (!body.stringView(hostKey, hostKeySize) || !body.stringView(sessionId, sessionIdSize) ||
        !body.stringView(signature, signatureSize) || !body.boolean(forwarding) || !body.atEnd()) {
        body.fail();
        return false;
    }
    PublicKey key;
    if (!parsePublicKey(hostKey, hostKeySize, key)) return false;
    // A host certificate binds only with its authority's true signature, so
    // that a destination naming the authority may trust it.
    if (key.certificate && !authoritySigned(key)) return false;
    // The host key's signature of the session proves that the client saw
    // this key exchange, not one it made up.
    if (!verifySignature(key, sessionId, sessionIdSize, signature, signatureSize)) return false;
    Bytes id(sessionId, sessionId + sessionIdSize);
    for (const Session::Binding& b : session.bindings) {
        if (b.sessionId == id) return false;
        // A connection used for a login is not rebound elsewhere.
        if (!b.forwarding) return false;
    }
    if (session.bindings.size() >= kMaxBindings) return false;
    session.bindings.push_back(Session::Binding{key.blob, id, forwarding});
    reply.u8(SSH_AGENT_SUCCESS);
    return true;
}

namespace {

// Drops the first n bytes. vector::erase would move the rest down and
// leave the old bytes in the storage past the new end, where a handled
// passphrase would stay for the connection's life.
void consume(Bytes& b, std::size_t n) {
    std::copy(b.begin() + std::ptrdiff_t(n), b.end(), b.begin());
    wipeMemory(b.data() + (b.size() - n), n);
    b.resize(b.size() - n);
}

}  // namespace

bool Connection::receive(const std::uint8_t* data, std::size_t size, Bytes& out) {
    pending_.insert(pending_.end(), data, data + size);
    std::size_t pos = 0;
    bool open = true;
    while (open && pending_.size() - pos >= 4) {
        const std::uint8_t* p = pending_.data() + pos;
        std::uint32_t len = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
        Bytes reply;
        Outcome outcome;
        if (len == 0 || len > kMaxMessage) {
            // Nothing after a bad length can be framed again.
            reply.assign(1, SSH_AGENT_FAILURE);
            outcome = Outcome::ReplyAndClose;
            pos = pending_.size();
        } else if (pending_.size() - pos - 4 < len) {
            break;
        } else {
            outcome = handler_.handle(p + 4, len, session_, reply);
            pos += 4 + std::size_t(len);
        }
        WireWriter w;
        w.string(reply);
        out.insert(out.end(), w.bytes().begin(), w.bytes().end());
        open = outcome == Outcome::Reply;
    }
    if (open) consume(pending_, pos);
    else wipe(pending_);
    return open;
}

}  // namespace agentcore
