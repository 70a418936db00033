#include "ModuleDirectory.h"

#include <windows.h>

#include "PathScan.h"

static int isAnsiLeadByte(unsigned char byte)
{
    return IsDBCSLeadByte(byte);
}

void getModuleDirectory(char *buffer)
{
    DWORD length = GetModuleFileNameA(GetModuleHandleA(NULL), buffer, MAX_PATH);
    if (length == 0) {
        buffer[0] = '\0';
        return;
    }
    // Windows XP leaves a truncated name unterminated.
    buffer[MAX_PATH - 1] = '\0';
    size_t prefix = directoryPrefixLength(buffer, isAnsiLeadByte);
    if (prefix > 0)
        buffer[prefix] = '\0';
}
