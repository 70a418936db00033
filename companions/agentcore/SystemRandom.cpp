#include "SystemRandom.h"

#ifdef _WIN32
#include <windows.h>
// RtlGenRandom, advapi32's SystemFunction036 (Windows XP on).
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG size);
#else
#include <cerrno>
#include <sys/random.h>
#endif

namespace agentcore {

bool systemRandom(std::uint8_t* out, std::size_t size) {
#ifdef _WIN32
    return size <= 0xffffffffu && SystemFunction036(out, ULONG(size)) != FALSE;
#else
    while (size > 0) {
        ssize_t n = getrandom(out, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n, size -= std::size_t(n);
    }
    return true;
#endif
}

}  // namespace agentcore
