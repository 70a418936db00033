#include "KeyStore.h"

#include <algorithm>
#include <cstring>

namespace agentcore {

namespace {
bool sameBlob(const PrivateKey& k, const std::uint8_t* blob, std::size_t size) {
    return k.pub.blob.size() == size && std::memcmp(k.pub.blob.data(), blob, size) == 0;
}
}  // namespace

void KeyStore::setChangeListener(ChangeListener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

void KeyStore::notify() {
    ChangeListener listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listener = listener_;
    }
    if (listener) listener();
}

void KeyStore::add(std::unique_ptr<PrivateKey> key) {
    std::shared_ptr<const PrivateKey> shared(std::move(key));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(keys_.begin(), keys_.end(), [&](const std::shared_ptr<const PrivateKey>& k) {
            return sameBlob(*k, shared->pub.blob.data(), shared->pub.blob.size());
        });
        if (it != keys_.end()) *it = shared;
        else keys_.push_back(shared);
    }
    notify();
}

bool KeyStore::remove(const std::uint8_t* blob, std::size_t size) {
    std::shared_ptr<const PrivateKey> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(keys_.begin(), keys_.end(),
                               [&](const std::shared_ptr<const PrivateKey>& k) { return sameBlob(*k, blob, size); });
        if (it == keys_.end()) return false;
        gone = *it;
        keys_.erase(it);
    }
    gone.reset();
    notify();
    return true;
}

void KeyStore::removeAll() {
    std::vector<std::shared_ptr<const PrivateKey>> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone.swap(keys_);
    }
    gone.clear();
    notify();
}

std::vector<Identity> KeyStore::list() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Identity> out;
    for (const auto& k : keys_) out.push_back(Identity{k->pub.blob, k->comment});
    return out;
}

std::size_t KeyStore::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.size();
}

bool KeyStore::sign(const std::uint8_t* blob, std::size_t blobSize, const std::uint8_t* data, std::size_t size,
                    std::uint32_t flags, Bytes& sigBlob) const {
    std::shared_ptr<const PrivateKey> key;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& k : keys_)
            if (sameBlob(*k, blob, blobSize)) key = k;
    }
    return key && signData(*key, data, size, flags, sigBlob);
}

}  // namespace agentcore
