// Byte buffers for anything that may hold key material: their storage is
// overwritten before it goes back to the heap, whoever frees it.
#ifndef AGENTCORE_BYTES_H
#define AGENTCORE_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace agentcore {

// Zeroes through a volatile pointer so that the compiler cannot drop the
// stores as dead.
inline void wipeMemory(void* p, std::size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--) *v++ = 0;
}

template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) {
        wipeMemory(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const { return true; }
    template <class U>
    bool operator!=(const WipingAllocator<U>&) const { return false; }
};

using Bytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

inline Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string toString(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Clears the contents as well as the size: vector::clear keeps the storage.
inline void wipe(Bytes& b) {
    if (!b.empty()) wipeMemory(b.data(), b.size());
    b.clear();
}

}  // namespace agentcore

#endif
