#include "ModuleVersion.h"

#include <string.h>

namespace {

struct Translation {
    WORD language;
    WORD codePage;
};

void freeLocked(void *memory)
{
    HGLOBAL handle = GlobalHandle(memory);
    GlobalUnlock(handle);
    GlobalFree(handle);
}

// Copies the value `name` out of version information already read.
int copyValue(void *information, const char *name, char *destination, int capacity)
{
    Translation *translations = NULL;
    UINT size = 0;
    if (!VerQueryValueA(information, "\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translations),
                        &size) ||
        translations == NULL || size < sizeof(Translation))
        return 0;

    char query[96];
    wsprintfA(query, "\\StringFileInfo\\%04x%04x\\%s", translations[0].language, translations[0].codePage, name);
    char *value = NULL;
    UINT length = 0;
    if (!VerQueryValueA(information, query, reinterpret_cast<void **>(&value), &length) || value == NULL)
        return 0;
    // Some version readers count the terminator, some do not; it is not
    // part of the text.
    if (length > 0 && value[length - 1] == '\0')
        --length;
    if (length >= static_cast<UINT>(capacity))
        return 0;
    memcpy(destination, value, length);
    destination[length] = '\0';
    return 1;
}

int getVersionValue(HMODULE module, const char *name, char *destination, int capacity)
{
    if (capacity <= 0)
        return 0;
    destination[0] = '\0';

    char path[MAX_PATH];
    if (GetModuleFileNameA(module, path, sizeof path) == 0)
        return 0;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0)
        return 0;
    void *information = GlobalLock(GlobalAlloc(GMEM_ZEROINIT, size));
    if (information == NULL)
        return 0;
    // A failed read shows as failing queries.
    GetFileVersionInfoA(path, 0, size, information);
    int found = copyValue(information, name, destination, capacity);
    freeLocked(information);
    return found;
}

} // namespace

int getProductVersion(HMODULE module, char *destination, int capacity)
{
    return getVersionValue(module, "ProductVersion", destination, capacity);
}

int getFileVersion(HMODULE module, char *destination, int capacity)
{
    return getVersionValue(module, "FileVersion", destination, capacity);
}
