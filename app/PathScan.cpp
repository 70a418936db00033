#include "PathScan.h"

size_t directoryPrefixLength(const char *path, LeadBytePredicate isLeadByte)
{
    size_t prefix = 0;
    size_t i = 0;
    while (path[i] != '\0') {
        unsigned char byte = static_cast<unsigned char>(path[i]);
        if (byte >= 0x80 && isLeadByte(byte)) {
            // A lead byte at the very end has no trail byte to skip.
            i += path[i + 1] != '\0' ? 2 : 1;
            continue;
        }
        if (byte == '\\')
            prefix = i + 1;
        ++i;
    }
    return prefix;
}
