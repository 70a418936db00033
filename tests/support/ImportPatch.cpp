#include "ImportPatch.h"

#include <string.h>

namespace {

template <typename T> T *at(HMODULE module, DWORD offset)
{
    return reinterpret_cast<T *>(reinterpret_cast<BYTE *>(module) + offset);
}

void *replaceInTable(HMODULE module, const IMAGE_IMPORT_DESCRIPTOR &import, const char *function,
                     void *replacement)
{
    IMAGE_THUNK_DATA *names = at<IMAGE_THUNK_DATA>(module, import.OriginalFirstThunk);
    IMAGE_THUNK_DATA *addresses = at<IMAGE_THUNK_DATA>(module, import.FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
            continue;
        IMAGE_IMPORT_BY_NAME *name = at<IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(names->u1.AddressOfData));
        if (strcmp(reinterpret_cast<const char *>(name->Name), function) != 0)
            continue;
        DWORD protection = 0;
        if (!VirtualProtect(&addresses->u1.Function, sizeof addresses->u1.Function, PAGE_READWRITE, &protection))
            return NULL;
        void *previous = reinterpret_cast<void *>(addresses->u1.Function);
        addresses->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
        VirtualProtect(&addresses->u1.Function, sizeof addresses->u1.Function, protection, &protection);
        return previous;
    }
    return NULL;
}

} // namespace

void *replaceImport(HMODULE module, const char *library, const char *function, void *replacement)
{
    IMAGE_DOS_HEADER *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(module);
    IMAGE_NT_HEADERS *nt = at<IMAGE_NT_HEADERS>(module, static_cast<DWORD>(dos->e_lfanew));
    const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return NULL;
    for (IMAGE_IMPORT_DESCRIPTOR *import = at<IMAGE_IMPORT_DESCRIPTOR>(module, directory.VirtualAddress);
         import->Name != 0; ++import) {
        if (lstrcmpiA(at<char>(module, import->Name), library) != 0 || import->OriginalFirstThunk == 0)
            continue;
        // A library may have more than one descriptor.
        void *previous = replaceInTable(module, *import, function, replacement);
        if (previous != NULL)
            return previous;
    }
    return NULL;
}
