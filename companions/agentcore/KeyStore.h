// The agent's keys and safeguards, shared by every client connection and
// every way in (the pipe, the window messages, other protocols): locking,
// the three policies, per-key constraints and lifetimes live here so that
// no entry point can go round them. A signature is made outside the lock,
// so a slow key (RSA-16384) stalls no other client; a removed key is wiped
// when the last signature using it has finished.
#ifndef AGENTCORE_KEYSTORE_H
#define AGENTCORE_KEYSTORE_H

#include "Destinations.h"
#include "GuessBrake.h"
#include "Key.h"
#include "PlatformSigner.h"
#include "Verifier.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace agentcore {

// One hop a key may be used for, as ssh-add -h names it: from a host (empty:
// this machine) to a user (empty: any) at a host. Names only, for showing.
struct DestinationHop {
    std::string fromHost;
    std::string toUser;
    std::string toHost;
};

struct Identity {
    Bytes blob;
    std::string comment;
    // Whole seconds left, rounded; 0 only for a key without a lifetime, so
    // a key in its last half second still shows that it has one.
    std::uint32_t secondsLeft = 0;
    bool confirm = false;
    // Empty: the key may be used wherever the client takes it.
    std::vector<DestinationHop> destinations;
};

struct KeyConstraints {
    std::uint32_t lifetimeSeconds = 0;  // 0: the key stays until removed
    bool confirm = false;               // every signature asks the user
    Destinations destinations;          // empty: anywhere
};

// Which keys a connection may see, by their destinations.
using KeyFilter = std::function<bool(const Destinations&)>;

// What the log and the confirm prompt name a key by.
struct KeyInfo {
    std::string name;
    std::string fingerprint;
    bool confirm = false;
};

struct Policies {
    bool confirmKeyOp = false;
    bool allowAdd = true;
    bool allowDelete = true;
};

// TooLarge: a name over kMaxKeyName, or one key more (or a longer name)
// than the one answer that lists every key can hold.
enum class StoreResult { Ok, Locked, NotAllowed, NotFound, TooLarge, Failed };

// The result as the log says it.
const char* outcomeText(StoreResult r);

// One line of the agent's log, before the agent adds time and program.
struct AgentEvent {
    std::string operation;
    std::string keyName;
    std::string fingerprint;
    std::uint64_t clientProcess = 0;  // 0: the agent itself or its window
    std::string clientProgram;        // empty when not known
    std::string outcome;
};

class KeyStore {
public:
    // Called after every change of the key set (names and lifetimes
    // included), outside the store's lock, on the thread that made it.
    using ChangeListener = std::function<void()>;
    using EventSink = std::function<void(const AgentEvent&)>;
    // Milliseconds of a clock that never goes back.
    using Clock = std::function<std::uint64_t()>;
    static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

    KeyStore();
    ~KeyStore() {
        listener_ = nullptr;
        events_ = nullptr;
        keys_.clear();
    }

    void setChangeListener(ChangeListener listener);
    void setEventSink(EventSink sink);
    void setClock(Clock clock);
    // scrypt's N for verifiers made from now on.
    void setVerifierCost(std::uint32_t cost) { verifierCost_ = cost; }
    void report(const AgentEvent& event) const;
    // Every key added from now on is imported into the platform's module
    // once, before it is held; null (the default) signs by libgcrypt alone.
    void setPlatformSigner(std::shared_ptr<const PlatformSigner> signer);

    Policies policies() const;
    void setPolicies(const Policies& policies);

    // A key already held (the same blob) is replaced with its new comment
    // and constraints. The store holds no more than the identities answer
    // and the key manager's list can carry within kMaxMessage.
    StoreResult add(std::unique_ptr<PrivateKey> key, const KeyConstraints& constraints = KeyConstraints());
    StoreResult remove(const std::uint8_t* blob, std::size_t size, KeyInfo* removed = nullptr);
    StoreResult removeAll();
    // Empty while locked; expired keys are not listed, nor keys the filter
    // (when given) turns away.
    std::vector<Identity> list(const KeyFilter& visible = KeyFilter()) const;
    std::size_t size() const;
    // False while locked or when no key has this blob. destinations, when
    // given, receives the key's (shared, not copied: a sign request looks at
    // them every time).
    bool describe(const std::uint8_t* blob, std::size_t size, KeyInfo& info,
                  std::shared_ptr<const Destinations>* destinations = nullptr) const;
    StoreResult sign(const std::uint8_t* blob, std::size_t blobSize, const std::uint8_t* data, std::size_t size,
                     std::uint32_t flags, Bytes& sigBlob) const;
    StoreResult rename(const std::uint8_t* blob, std::size_t size, const std::string& name);
    // 0 removes the lifetime.
    StoreResult setLifetime(const std::uint8_t* blob, std::size_t size, std::uint32_t seconds);

    // Removes every key whose lifetime has run out (wiped, reported, the
    // listener told); the number removed.
    std::size_t expire() const;
    // Milliseconds until the next key expires: 0 when one is due, kNever
    // when no key has a lifetime.
    std::uint64_t untilNextExpiry() const;

    // Lock with a passphrase of the client's; Failed when already locked.
    StoreResult lock(const std::uint8_t* passphrase, std::size_t size);
    // Lock with the agent passphrase; Failed when none is set or already locked.
    StoreResult lockWithAgentPassphrase();
    // Failed when not locked or the passphrase is wrong. The guess takes
    // its turn at the brake first; wrongInARow, when given, receives the
    // wrong guesses at this lock so far.
    StoreResult unlock(const std::uint8_t* passphrase, std::size_t size, std::uint32_t* wrongInARow = nullptr);
    bool locked() const;

    // Sets the agent passphrase when current matches it (an empty current
    // matches while none is set); an empty replacement clears it. Refused
    // while locked, without a look at current; the check takes its turn
    // at the same brake as every unlock.
    // Bytes, not text: the caller's copies are wiped when they go.
    bool changeAgentPassphrase(const Bytes& current, const Bytes& replacement);
    Verifier agentPassphrase() const;
    void restoreAgentPassphrase(const Verifier& verifier);

    // Every key gone, the agent passphrase cleared, the agent unlocked,
    // whatever the policies say.
    void reset();

    // Every guess at a passphrase passes here; its wait can be replaced
    // (tests).
    GuessBrake& guessBrake() { return brake_; }

private:
    struct Entry {
        std::shared_ptr<const PrivateKey> key;
        std::string name;
        bool confirm = false;
        std::uint64_t expiresAt = kNever;
        std::shared_ptr<const Destinations> destinations;
    };

    void notify() const;
    std::uint64_t now() const;
    std::vector<Entry>::iterator find(const std::uint8_t* blob, std::size_t size);
    std::vector<Entry>::const_iterator find(const std::uint8_t* blob, std::size_t size) const;
    StoreResult lockWith(const Verifier& verifier);
    bool listFitsWith(const Bytes& blob, const std::string& name, const Destinations& destinations,
                      const Entry* replaced) const;

    mutable std::mutex mutex_;
    // mutable: reading the keys removes the expired ones first.
    mutable std::vector<Entry> keys_;
    ChangeListener listener_;
    EventSink events_;
    Clock clock_;
    std::shared_ptr<const PlatformSigner> platformSigner_;
    Policies policies_;
    bool locked_ = false;
    Verifier lockVerifier_;
    Verifier agentPassphrase_;
    std::uint32_t verifierCost_ = kDefaultVerifierCost;
    GuessBrake brake_;
};

}  // namespace agentcore

#endif
