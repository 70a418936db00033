#include "AllocationHook.h"

#include <windows.h>

#include <cstdlib>
#include <map>
#include <new>

namespace {

// The bookkeeping itself must not allocate through the hook.
template <typename T> struct MallocAllocator {
    typedef T value_type;
    MallocAllocator() {}
    template <typename U> MallocAllocator(const MallocAllocator<U> &) {}
    T *allocate(size_t n) { return static_cast<T *>(std::malloc(n * sizeof(T))); }
    void deallocate(T *p, size_t) { std::free(p); }
    bool operator==(const MallocAllocator &) const { return true; }
    bool operator!=(const MallocAllocator &) const { return false; }
};

typedef std::map<void *, size_t, std::less<void *>, MallocAllocator<std::pair<void *const, size_t>>> BlockMap;

struct State {
    CRITICAL_SECTION lock;
    bool recording;
    DWORD thread;
    int failCountdown;
    size_t allocated;
    BlockMap *live;
    std::vector<allocation::Released> *released;
};

State &state()
{
    static State s = [] {
        State fresh;
        InitializeCriticalSection(&fresh.lock);
        fresh.recording = false;
        fresh.thread = 0;
        fresh.failCountdown = 0;
        fresh.allocated = 0;
        fresh.live = new (std::malloc(sizeof(BlockMap))) BlockMap();
        fresh.released = NULL;
        return fresh;
    }();
    return s;
}

bool watched()
{
    return state().recording && GetCurrentThreadId() == state().thread;
}

// The product allocates with the nothrow forms only, the test's own
// containers with the throwing ones: only the first are recorded.
void *allocate(size_t size, bool nothrowForm)
{
    State &s = state();
    EnterCriticalSection(&s.lock);
    bool record = nothrowForm && watched();
    bool fail = record && s.failCountdown > 0 && --s.failCountdown == 0;
    void *block = fail ? NULL : std::malloc(size > 0 ? size : 1);
    if (record && block != NULL) {
        ++s.allocated;
        (*s.live)[block] = size;
    }
    LeaveCriticalSection(&s.lock);
    return block;
}

void release(void *block)
{
    if (block == NULL)
        return;
    State &s = state();
    EnterCriticalSection(&s.lock);
    BlockMap::iterator found = s.live->find(block);
    if (found != s.live->end()) {
        if (s.released != NULL)
            s.released->push_back(allocation::Released{std::string(static_cast<char *>(block), found->second)});
        s.live->erase(found);
    }
    LeaveCriticalSection(&s.lock);
    std::free(block);
}

} // namespace

namespace allocation {

void startRecording()
{
    State &s = state();
    EnterCriticalSection(&s.lock);
    s.live->clear();
    delete s.released;
    s.released = new std::vector<Released>();
    s.allocated = 0;
    s.failCountdown = 0;
    s.thread = GetCurrentThreadId();
    s.recording = true;
    LeaveCriticalSection(&s.lock);
}

std::vector<Released> stopRecording()
{
    State &s = state();
    EnterCriticalSection(&s.lock);
    s.recording = false;
    std::vector<Released> result = *s.released;
    LeaveCriticalSection(&s.lock);
    return result;
}

size_t liveBlocks()
{
    return state().live->size();
}

size_t allocatedBlocks()
{
    return state().allocated;
}

void failAllocation(int n)
{
    state().failCountdown = n;
}

} // namespace allocation

void *operator new(size_t size)
{
    void *block = allocate(size, false);
    if (block == NULL)
        std::abort();
    return block;
}

void *operator new[](size_t size)
{
    return operator new(size);
}

void *operator new(size_t size, const std::nothrow_t &) noexcept
{
    return allocate(size, true);
}

void *operator new[](size_t size, const std::nothrow_t &) noexcept
{
    return allocate(size, true);
}

void operator delete(void *block) noexcept
{
    release(block);
}

void operator delete[](void *block) noexcept
{
    release(block);
}

void operator delete(void *block, size_t) noexcept
{
    release(block);
}

void operator delete[](void *block, size_t) noexcept
{
    release(block);
}
