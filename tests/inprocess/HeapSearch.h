// Searches every heap of this process, the blocks in use and the free ones,
// for a text: what a block held when it was freed stays there until the
// heap hands the memory out again. The heap keeps its own list in the
// first bytes of a free block, so a caller looks for a secret's tail (from
// its 16th character on), which a freed copy keeps whole.
//
// Nothing here allocates, so the search leaves no copy of its own behind.
#ifndef GAGENT_TEST_HEAPSEARCH_H
#define GAGENT_TEST_HEAPSEARCH_H

#include <windows.h>

#include <cstring>

namespace heapsearch {

struct Found {
    int ansi; // places holding the text as it is
    int wide; // places holding it widened to UTF-16, the form an edit control keeps
};

inline int occurrences(const BYTE *data, SIZE_T size, const char *pattern, size_t length)
{
    int count = 0;
    for (SIZE_T at = 0; size >= length && at <= size - length; ++at)
        if (data[at] == static_cast<BYTE>(pattern[0]) && std::memcmp(data + at, pattern, length) == 0)
            ++count;
    return count;
}

inline int occurrencesInHeap(HANDLE heap, const char *pattern, size_t length)
{
    int count = 0;
    if (!HeapLock(heap))
        return 0;
    PROCESS_HEAP_ENTRY entry;
    entry.lpData = NULL;
    while (HeapWalk(heap, &entry))
        if ((entry.wFlags & (PROCESS_HEAP_REGION | PROCESS_HEAP_UNCOMMITTED_RANGE)) == 0)
            count += occurrences(static_cast<const BYTE *>(entry.lpData), entry.cbData, pattern, length);
    HeapUnlock(heap);
    return count;
}

inline int occurrencesInHeaps(const char *pattern, size_t length)
{
    HANDLE heaps[256];
    DWORD count = GetProcessHeaps(256, heaps);
    int found = 0;
    for (DWORD i = 0; i < count && i < 256; ++i)
        found += occurrencesInHeap(heaps[i], pattern, length);
    return found;
}

// `text` must not live on a heap itself (a literal does not); only its
// first 127 characters are looked for.
inline Found inHeaps(const char *text)
{
    char wide[256];
    size_t length = std::strlen(text);
    if (length > 127)
        length = 127;
    for (size_t i = 0; i < length; ++i) {
        wide[2 * i] = text[i];
        wide[2 * i + 1] = '\0';
    }
    Found found = {occurrencesInHeaps(text, length), occurrencesInHeaps(wide, 2 * length)};
    SecureZeroMemory(wide, sizeof wide);
    return found;
}

} // namespace heapsearch

#endif
