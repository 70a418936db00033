// The agent's keys, shared by every client connection. A signature is
// made outside the lock, so a slow key (RSA-16384) stalls no other client;
// a removed key is wiped when the last signature using it has finished.
#ifndef AGENTCORE_KEYSTORE_H
#define AGENTCORE_KEYSTORE_H

#include "Key.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace agentcore {

struct Identity {
    Bytes blob;
    std::string comment;
};

class KeyStore {
public:
    // Called after every change of the key set, outside the store's lock,
    // on the thread that made the change.
    using ChangeListener = std::function<void()>;

    ~KeyStore() {
        listener_ = nullptr;
        keys_.clear();
    }

    void setChangeListener(ChangeListener listener);

    // A key already held (the same blob) is replaced: its comment may differ.
    void add(std::unique_ptr<PrivateKey> key);
    bool remove(const std::uint8_t* blob, std::size_t size);
    void removeAll();
    std::vector<Identity> list() const;
    std::size_t size() const;
    // False when no key has this blob or the signature failed.
    bool sign(const std::uint8_t* blob, std::size_t blobSize, const std::uint8_t* data, std::size_t size,
              std::uint32_t flags, Bytes& sigBlob) const;

private:
    void notify();
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<const PrivateKey>> keys_;
    ChangeListener listener_;
};

}  // namespace agentcore

#endif
