#include "RequestHandler.h"

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
const char* const kSessionBind = "session-bind@openssh.com";
// A connection binds once per hop of a forwarding chain; more than this is
// no login.
const std::size_t kMaxBindings = 16;

}  // namespace

RequestHandler::RequestHandler(KeyStore& store) : store_(store) {
    addExtension(kSessionBind, [this](WireReader& body, Session& session, WireWriter& reply) {
        return sessionBind(body, session, reply);
    });
}

void RequestHandler::addExtension(const std::string& name, Extension extension) {
    extensions_[name] = std::move(extension);
}

Outcome RequestHandler::handle(const std::uint8_t* msg, std::size_t size, Session& session, Bytes& reply) {
    WireReader in(msg, size);
    std::uint8_t type;
    if (!in.u8(type)) return failure(reply, Outcome::ReplyAndClose);
    switch (type) {
    case SSH_AGENTC_REQUEST_IDENTITIES:
        if (!in.atEnd()) return failure(reply, Outcome::ReplyAndClose);
        return identities(reply);
    case SSH_AGENTC_SIGN_REQUEST:
        return sign(in, session, reply);
    case SSH_AGENTC_ADD_IDENTITY:
        return addIdentity(in, reply);
    case SSH_AGENTC_REMOVE_IDENTITY:
        return removeIdentity(in, reply);
    case SSH_AGENTC_REMOVE_ALL_IDENTITIES:
        if (!in.atEnd()) return failure(reply, Outcome::ReplyAndClose);
        store_.removeAll();
        return success(reply);
    case SSH_AGENTC_EXTENSION:
        return extension(in, session, reply);
    default:
        // Constrained adds, locking and smartcards come with the agent's
        // safeguards; until then they are refused like any unknown request,
        // and the connection goes on.
        return failure(reply, Outcome::Reply);
    }
}

Outcome RequestHandler::identities(Bytes& reply) {
    std::vector<Identity> ids = store_.list();
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

Outcome RequestHandler::sign(WireReader& in, Session&, Bytes& reply) {
    const std::uint8_t *blob, *data;
    std::size_t blobSize, dataSize;
    std::uint32_t flags;
    if (!in.stringView(blob, blobSize) || !in.stringView(data, dataSize) || !in.u32(flags) || !in.atEnd())
        return failure(reply, Outcome::ReplyAndClose);
    Bytes sig;
    if (!store_.sign(blob, blobSize, data, dataSize, flags, sig)) return failure(reply, Outcome::Reply);
    WireWriter w;
    w.u8(SSH_AGENT_SIGN_RESPONSE);
    w.string(sig);
    reply = w.take();
    return Outcome::Reply;
}

Outcome RequestHandler::addIdentity(WireReader& in, Bytes& reply) {
    std::unique_ptr<PrivateKey> key;
    switch (readPrivateKey(in, key)) {
    case AddResult::Ok:
        break;
    case AddResult::Refused:
        return failure(reply, Outcome::Reply);
    case AddResult::Malformed:
        return failure(reply, Outcome::ReplyAndClose);
    }
    if (!in.atEnd()) return failure(reply, Outcome::ReplyAndClose);
    store_.add(std::move(key));
    return success(reply);
}

Outcome RequestHandler::removeIdentity(WireReader& in, Bytes& reply) {
    const std::uint8_t* blob;
    std::size_t size;
    if (!in.stringView(blob, size) || !in.atEnd()) return failure(reply, Outcome::ReplyAndClose);
    if (!store_.remove(blob, size)) return failure(reply, Outcome::Reply);
    return success(reply);
}

Outcome RequestHandler::extension(WireReader& in, Session& session, Bytes& reply) {
    std::string name;
    if (!in.text(name)) return failure(reply, Outcome::ReplyAndClose);
    if (name == kQuery) {
        if (!in.atEnd()) return failure(reply, Outcome::ReplyAndClose);
        WireWriter w;
        w.u8(SSH_AGENT_SUCCESS);
        w.string(std::string(kQuery));
        for (const auto& e : extensions_) w.string(e.first);
        reply = w.take();
        return Outcome::Reply;
    }
    auto it = extensions_.find(name);
    WireWriter w;
    if (it == extensions_.end() || !it->second(in, session, w)) {
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
    if (!body.stringView(hostKey, hostKeySize) || !body.stringView(sessionId, sessionIdSize) ||
        !body.stringView(signature, signatureSize) || !body.boolean(forwarding) || !body.atEnd()) {
        body.fail();
        return false;
    }
    PublicKey key;
    if (!parsePublicKey(hostKey, hostKeySize, key) || key.certificate) return false;
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
    pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(pos));
    if (!open) wipe(pending_);
    return open;
}

}  // namespace agentcore
