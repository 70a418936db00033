#include "KeyFileRequest.h"

#include "KeyFile.h"

namespace agentcore {

namespace {

std::string fileNameOf(const std::string& path) {
    std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::uint32_t outcomeOf(KeyFileResult result) {
    switch (result) {
    case KeyFileResult::Ok: return KEYFILE_ADDED;
    case KeyFileResult::NeedsPassphrase: return KEYFILE_NEEDS_PASSPHRASE;
    case KeyFileResult::WrongPassphrase: return KEYFILE_WRONG_PASSPHRASE;
    default: return KEYFILE_UNREADABLE;
    }
}

const char* outcomeText(std::uint32_t outcome) {
    switch (outcome) {
    case KEYFILE_ADDED: return "done";
    case KEYFILE_NEEDS_PASSPHRASE: return "waiting for the file's passphrase";
    case KEYFILE_WRONG_PASSPHRASE: return "refused, wrong passphrase";
    case KEYFILE_REFUSED: return "refused by the agent (locked or policy)";
    }
    return "refused, not a key file this agent reads";
}

// The certificate goes in as a second identity, as ssh-add does; a
// certificate that is missing or for another key is no reason to refuse
// the key itself.
std::unique_ptr<PrivateKey> certificateBeside(const std::string& path, const PrivateKey& key) {
    Bytes certificate;
    std::unique_ptr<PrivateKey> certified;
    if (!readFileContents(path + "-cert.pub", certificate, 64 * 1024) || !certifiedKey(key, certificate, certified))
        certified.reset();
    return certified;
}

bool endsWithPub(const std::string& path) {
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".pub") == 0;
}

std::uint32_t readKey(const std::string& path, const char* passphrase, std::unique_ptr<PrivateKey>& key) {
    Bytes contents;
    if (!readFileContents(path, contents)) return KEYFILE_UNREADABLE;
    KeyFileResult result = readPrivateKeyFile(contents, passphrase, key);
    wipe(contents);
    return outcomeOf(result);
}

std::uint32_t addFrom(KeyStore& store, const std::string& chosen, const char* passphrase, AgentEvent& event) {
    // A public key file chosen by the user stands for the private key
    // file beside it, as OpenSSH names the pair.
    std::string path = chosen;
    std::unique_ptr<PrivateKey> key;
    std::uint32_t outcome = readKey(path, passphrase, key);
    if (outcome == KEYFILE_UNREADABLE && endsWithPub(path)) {
        path.resize(path.size() - 4);
        outcome = readKey(path, passphrase, key);
    }
    if (outcome != KEYFILE_ADDED) return outcome;
    if (key->comment.empty()) key->comment = fileNameOf(path);
    event.keyName = key->comment;
    event.fingerprint = fingerprintSha256(key->pub.blob);
    std::unique_ptr<PrivateKey> certified = certificateBeside(path, *key);
    if (store.add(std::move(key)) != StoreResult::Ok) return KEYFILE_REFUSED;
    if (certified) store.add(std::move(certified));
    return KEYFILE_ADDED;
}

// Why nothing may be read now, with the outcome to answer; null when a
// key could be added.
const char* refusalBeforeReading(const KeyStore& store, const PathRefusal& pathRefusal, const std::string& path,
                                 std::uint32_t& outcome) {
    outcome = KEYFILE_UNREADABLE;
    if (const char* why = pathRefusal(path)) return why;
    outcome = KEYFILE_REFUSED;
    if (store.locked()) return outcomeText(StoreResult::Locked);
    if (!store.policies().allowAdd) return outcomeText(StoreResult::NotAllowed);
    return nullptr;
}

}  // namespace

RequestHandler::Extension addKeyFileExtension(KeyStore& store, PathRefusal refusal) {
    return [&store, refusal](WireReader& body, Session& session, WireWriter& reply) {
        std::string path;
        Bytes passphrase;
        if (!body.text(path) || !body.string(passphrase) || !body.atEnd() || path.empty()) {
            wipe(passphrase);
            body.fail();
            return false;
        }
        AgentEvent event = sessionEvent("add key file " + path, session);
        std::uint32_t outcome;
        if (const char* why = refusalBeforeReading(store, refusal, path, outcome)) {
            event.outcome = why;
        } else {
            bool given = !passphrase.empty();
            passphrase.push_back(0);
            outcome = addFrom(store, path, given ? reinterpret_cast<const char*>(passphrase.data()) : nullptr, event);
            event.outcome = outcomeText(outcome);
        }
        wipe(passphrase);
        store.report(event);
        reply.u8(SSH_AGENT_SUCCESS);
        reply.u32(outcome);
        return true;
    };
}

}  // namespace agentcore
