#include "KeyStore.h"

#include "Protocol.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace agentcore {

namespace {

bool sameBlob(const PrivateKey& k, const std::uint8_t* blob, std::size_t size) {
    return k.pub.blob.size() == size && std::memcmp(k.pub.blob.data(), blob, size) == 0;
}

std::uint64_t steadyMilliseconds() {
    using namespace std::chrono;
    return std::uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint32_t secondsLeft(std::uint64_t expiresAt, std::uint64_t now) {
    if (expiresAt == KeyStore::kNever) return 0;
    std::uint64_t seconds = (expiresAt - now + 500) / 1000;
    if (seconds == 0) return 1;
    return seconds > 0xffffffffu ? 0xffffffffu : std::uint32_t(seconds);
}

// The key manager's list answer (key-list@glimmerpad): a header, then
// each key's blob and name as strings, its seconds left, its confirm
// flag and its destinations, a count and three names each. The identities
// answer is the same less all after the name, so a set that fits this one
// fits both.
const std::size_t kListHeader = 1 + 4;
std::size_t listedSize(const Bytes& blob, const std::string& name, const Destinations& destinations) {
    std::size_t size = 4 + blob.size() + 4 + name.size() + 4 + 1 + 4;
    for (const DestinationConstraint& c : destinations)
        size += 4 + c.from.host.size() + 4 + c.to.user.size() + 4 + c.to.host.size();
    return size;
}

// What the key manager shows of a key's destinations: the names alone.
std::vector<DestinationHop> hopNames(const Destinations& destinations) {
    std::vector<DestinationHop> names;
    for (const DestinationConstraint& c : destinations)
        names.push_back(DestinationHop{c.from.host, c.to.user, c.to.host});
    return names;
}

}  // namespace

const char* outcomeText(StoreResult r) {
    switch (r) {
    case StoreResult::Ok:
        return "done";
    case StoreResult::Locked:
        return "refused, the agent is locked";
    case StoreResult::NotAllowed:
        return "refused by the agent's policy";
    case StoreResult::NotFound:
        return "refused, no such key";
    case StoreResult::TooLarge:
        return "refused, the name or the list of keys would be too long";
    case StoreResult::Failed:
        break;
    }
    return "failed";
}

KeyStore::KeyStore() : clock_(steadyMilliseconds) {}

void KeyStore::setChangeListener(ChangeListener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

void KeyStore::setEventSink(EventSink sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_ = std::move(sink);
}

void KeyStore::setClock(Clock clock) {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_ = std::move(clock);
}

void KeyStore::report(const AgentEvent& event) const {
    EventSink sink;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sink = events_;
    }
    if (sink) sink(event);
}

void KeyStore::notify() const {
    ChangeListener listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listener = listener_;
    }
    if (listener) listener();
}

std::uint64_t KeyStore::now() const { return clock_(); }

std::vector<KeyStore::Entry>::iterator KeyStore::find(const std::uint8_t* blob, std::size_t size) {
    return std::find_if(keys_.begin(), keys_.end(), [&](const Entry& e) { return sameBlob(*e.key, blob, size); });
}

std::vector<KeyStore::Entry>::const_iterator KeyStore::find(const std::uint8_t* blob, std::size_t size) const {
    return std::find_if(keys_.cbegin(), keys_.cend(), [&](const Entry& e) { return sameBlob(*e.key, blob, size); });
}

Policies KeyStore::policies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return policies_;
}

void KeyStore::setPolicies(const Policies& policies) {
    std::lock_guard<std::mutex> lock(mutex_);
    policies_ = policies;
}

std::size_t KeyStore::expire() const {
    std::vector<Entry> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::uint64_t t = now();
        auto due = std::stable_partition(keys_.begin(), keys_.end(), [t](const Entry& e) { return e.expiresAt > t; });
        gone.assign(std::make_move_iterator(due), std::make_move_iterator(keys_.end()));
        keys_.erase(due, keys_.end());
    }
    std::size_t count = gone.size();
    if (count == 0) return 0;
    for (const Entry& e : gone) {
        AgentEvent event;
        event.operation = "expire";
        event.keyName = e.name;
        event.fingerprint = fingerprintSha256(e.key->pub.blob);
        event.outcome = "removed, lifetime over";
        report(event);
    }
    gone.clear();
    notify();
    return count;
}

std::uint64_t KeyStore::untilNextExpiry() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t next = kNever;
    for (const Entry& e : keys_) next = std::min(next, e.expiresAt);
    if (next == kNever) return kNever;
    std::uint64_t t = now();
    return next > t ? next - t : 0;
}

bool KeyStore::listFitsWith(const Bytes& blob, const std::string& name, const Destinations& destinations,
                            const Entry* replaced) const {
    std::size_t total = kListHeader + listedSize(blob, name, destinations);
    for (const Entry& e : keys_)
        if (&e != replaced) total += listedSize(e.key->pub.blob, e.name, *e.destinations);
    return total <= kMaxMessage;
}

void KeyStore::setPlatformSigner(std::shared_ptr<const PlatformSigner> signer) {
    std::lock_guard<std::mutex> lock(mutex_);
    platformSigner_ = std::move(signer);
}

StoreResult KeyStore::add(std::unique_ptr<PrivateKey> key, const KeyConstraints& constraints) {
    expire();
    if (key->comment.size() > kMaxKeyName) return StoreResult::TooLarge;
    std::shared_ptr<const PlatformSigner> signer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signer = platformSigner_;
    }
    // Imported outside the lock: a large RSA key's trial signature takes
    // a moment that no other client should wait for.
    if (signer) key->platform = importChecked(*signer, *key);
    Entry entry;
    entry.name = key->comment;
    entry.confirm = constraints.confirm;
    entry.destinations = std::make_shared<const Destinations>(constraints.destinations);
    entry.key = std::shared_ptr<const PrivateKey>(std::move(key));
    Entry replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (locked_) return StoreResult::Locked;
        if (!policies_.allowAdd) return StoreResult::NotAllowed;
        if (constraints.lifetimeSeconds) entry.expiresAt = now() + std::uint64_t(constraints.lifetimeSeconds) * 1000;
        auto it = find(entry.key->pub.blob.data(), entry.key->pub.blob.size());
        if (!listFitsWith(entry.key->pub.blob, entry.name, *entry.destinations, it != keys_.end() ? &*it : nullptr))
            return StoreResult::TooLarge;
        if (it != keys_.end()) {
            replaced = std::move(*it);
            *it = std::move(entry);
        } else {
            keys_.push_back(std::move(entry));
        }
    }
    replaced.key.reset();
    notify();
    return StoreResult::Ok;
}

StoreResult KeyStore::remove(const std::uint8_t* blob, std::size_t size, KeyInfo* removed) {
    expire();
    Entry gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (locked_) return StoreResult::Locked;
        if (!policies_.allowDelete) return StoreResult::NotAllowed;
        auto it = find(blob, size);
        if (it == keys_.end()) return StoreResult::NotFound;
        gone = std::move(*it);
        keys_.erase(it);
    }
    if (removed) *removed = KeyInfo{gone.name, fingerprintSha256(gone.key->pub.blob), gone.confirm};
    gone.key.reset();
    notify();
    return StoreResult::Ok;
}

StoreResult KeyStore::removeAll() {
    std::vector<Entry> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (locked_) return StoreResult::Locked;
        if (!policies_.allowDelete) return StoreResult::NotAllowed;
        gone.swap(keys_);
    }
    gone.clear();
    notify();
    return StoreResult::Ok;
}

std::vector<Identity> KeyStore::list(const KeyFilter& visible) const {
    expire();
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Identity> out;
    if (locked_) return out;
    // The clock may have passed a lifetime since expire() ran.
    std::uint64_t t = now();
    for (const Entry& e : keys_) {
        if (e.expiresAt <= t || (visible && !visible(*e.destinations))) continue;
        out.push_back(
            Identity{e.key->pub.blob, e.name, secondsLeft(e.expiresAt, t), e.confirm, hopNames(*e.destinations)});
    }
    return out;
}

std::size_t KeyStore::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.size();
}

bool KeyStore::describe(const std::uint8_t* blob, std::size_t size, KeyInfo& info,
                        std::shared_ptr<const Destinations>* destinations) const {
    expire();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = find(blob, size);
    if (locked_ || it == keys_.end()) return false;
    info = KeyInfo{it->name, fingerprintSha256(it->key->pub.blob), it->confirm};
    if (destinations) *destinations = it->destinations;
    return true;
}

StoreResult KeyStore::sign(const std::uint8_t* blob, std::size_t blobSize, const std::uint8_t* data, std::size_t size,
                           std::uint32_t flags, Bytes& sigBlob) const {
    expire();
    std::shared_ptr<const PrivateKey> key;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (locked_) return StoreResult::Locked;
        auto it = find(blob, blobSize);
        if (it == keys_.end()) return StoreResult::NotFound;
        key = it->key;
    }
    return signData(*key, data, size, flags, sigBlob) ? StoreResult::Ok : StoreResult::Failed;
}

StoreResult KeyStore::rename(const std::uint8_t* blob, std::size_t size, const std::string& name) {
    if (name.empty()) return StoreResult::Failed;
    if (name.size() > kMaxKeyName) return StoreResult::TooLarge;
    expire();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (locked_) return StoreResult::Locked;
        auto it = find(blob, size);
        if (it == keys_.end()) return StoreResult::NotFound;
        if (!listFitsWith(it->key->pub.blob, name, *it->destinations, &*it)) return StoreResult::TooLarge;
        it->name = name;
    }
    notify();
    return StoreResult::Ok;
}

StoreResult KeyStore::setLifetime(const std::uint8_t* blob, std::size_t size, std::uint32_t seconds) {
    expire();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (locked_) return StoreResult::Locked;
        auto it = find(blob, size);
        if (it == keys_.end()) return StoreResult::NotFound;
        it->expiresAt = seconds ? now() + std::uint64_t(seconds) * 1000 : kNever;
    }
    notify();
    return StoreResult::Ok;
}

StoreResult KeyStore::lockWith(const Verifier& verifier) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (locked_) return StoreResult::Failed;
        locked_ = true;
        lockVerifier_ = verifier;
    }
    notify();
    return StoreResult::Ok;
}

StoreResult KeyStore::lock(const std::uint8_t* passphrase, std::size_t size) {
    if (locked()) return StoreResult::Failed;
    // The slow part runs outside the lock; lockWith decides the race.
    Verifier verifier;
    if (!makeVerifier(passphrase, size, verifierCost_, verifier)) return StoreResult::Failed;
    return lockWith(verifier);
}

StoreResult KeyStore::lockWithAgentPassphrase() {
    Verifier verifier = agentPassphrase();
    if (verifier.empty()) return StoreResult::Failed;
    return lockWith(verifier);
}

StoreResult KeyStore::unlock(const std::uint8_t* passphrase, std::size_t size, std::uint32_t* wrongInARow) {
    Verifier verifier;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!locked_) return StoreResult::Failed;
        verifier = lockVerifier_;
    }
    if (!brake_.guess(verifier.hash, [&] { return matchesVerifier(verifier, passphrase, size); }, wrongInARow))
        return StoreResult::Failed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A reset or another unlock may have come first.
        if (!locked_ || lockVerifier_.hash != verifier.hash) return StoreResult::Failed;
        locked_ = false;
        lockVerifier_ = Verifier();
    }
    notify();
    return StoreResult::Ok;
}

bool KeyStore::locked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return locked_;
}

bool KeyStore::changeAgentPassphrase(const Bytes& current, const Bytes& replacement) {
    // A locked agent changes nothing and tells nothing of a passphrase but
    // through an unlock.
    if (locked()) return false;
    Verifier old = agentPassphrase();
    auto matches = [&] { return old.empty() ? current.empty() : matchesVerifier(old, current.data(), current.size()); };
    if (!brake_.guess(old.hash, matches)) return false;
    Verifier next;
    if (!replacement.empty() && !makeVerifier(replacement.data(), replacement.size(), verifierCost_, next))
        return false;
    restoreAgentPassphrase(next);
    return true;
}

Verifier KeyStore::agentPassphrase() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return agentPassphrase_;
}

void KeyStore::restoreAgentPassphrase(const Verifier& verifier) {
    std::lock_guard<std::mutex> lock(mutex_);
    agentPassphrase_ = verifier;
}

void KeyStore::reset() {
    std::vector<Entry> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone.swap(keys_);
        locked_ = false;
        lockVerifier_ = Verifier();
        agentPassphrase_ = Verifier();
    }
    brake_.forgetAll();
    gone.clear();
    notify();
}

}  // namespace agentcore
