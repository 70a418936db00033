// Directory part of a path in a single- or double-byte ANSI code page.
#ifndef GAGENT_PATHSCAN_H
#define GAGENT_PATHSCAN_H

#include <stddef.h>

typedef int (*LeadBytePredicate)(unsigned char byte);

// Length of `path` up to and including its last backslash that is a
// character of its own, or 0 when there is none. Bytes of 0x80 and above
// for which `isLeadByte` answers nonzero begin a two-byte character, so a
// trail byte of 0x5C is never mistaken for a separator.
size_t directoryPrefixLength(const char *path, LeadBytePredicate isLeadByte);

#endif
