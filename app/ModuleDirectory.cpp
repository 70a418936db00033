#include "ModuleDirectory.h"

#include "PathScan.h"

static int isAnsiLeadByte(unsigned char byte)
{
    return IsDBCSLeadByte(byte);
}

int getDirectoryOfModule(HMODULE module, char *buffer)
{
    DWORD length = GetModuleFileNameA(module, buffer, MAX_PATH);
    if (length == 0) {
        buffer[0] = '\0';
        return 0;
    }
    // Windows XP leaves a truncated name unterminated.
    buffer[MAX_PATH - 1] = '\0';
    size_t prefix = directoryPrefixLength(buffer, isAnsiLeadByte);
    if (prefix > 0)
        buffer[prefix] = '\0';
    return length < MAX_PATH;
}

void getModuleDirectory(char *buffer)
{
    getDirectoryOfModule(GetModuleHandleA(NULL), buffer);
}
