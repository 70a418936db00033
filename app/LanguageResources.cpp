#include "LanguageResources.h"

#include "InstallerSupport.h"
#include "ModuleDirectory.h"
#include "TextBuffer.h"

static const LANGID ENGLISH = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

UiLanguage askInstallerLanguage(HMODULE library)
{
    GetFileLocaleFunction getFileLocale = reinterpret_cast<GetFileLocaleFunction>(
        reinterpret_cast<void *>(GetProcAddress(library, GET_FILE_LOCALE_EXPORT)));
    return getFileLocale != NULL ? getFileLocale(PRODUCT_CODE, 0, 0, 0, 0, 0) : 0;
}

const char *languageFolder(UiLanguage language)
{
    switch (language) {
    case UI_LANGUAGE_FRENCH:
        return "1036";
    case UI_LANGUAGE_GERMAN:
        return "1031";
    case UI_LANGUAGE_JAPANESE:
        return "1041";
    default:
        return "1033";
    }
}

LANGID languageId(UiLanguage language)
{
    LANGID id = 0;
    for (const char *digit = languageFolder(language); *digit != '\0'; ++digit)
        id = static_cast<LANGID>(id * 10 + (*digit - '0'));
    return id;
}

LanguageResources languageResourcesOf(HMODULE module)
{
    LanguageResources resources = {module, ENGLISH};
    char path[MAX_PATH];
    // A cut folder would name some other library: English rather than that.
    if (!getDirectoryOfModule(module, path) || !appendText(path, sizeof path, INSTALLER_SUPPORT_LIBRARY))
        return resources;
    HMODULE library = LoadLibraryA(path);
    if (library == NULL)
        return resources;
    resources.language = languageId(askInstallerLanguage(library));
    FreeLibrary(library);
    return resources;
}

// The resource's data in exactly that language; null when it has none.
static const void *resourceIn(HMODULE module, LPCSTR type, LPCSTR name, LANGID language, DWORD *size)
{
    HRSRC found = FindResourceExA(module, type, name, language);
    HGLOBAL loaded = found != NULL ? LoadResource(module, found) : NULL;
    if (loaded == NULL)
        return NULL;
    *size = SizeofResource(module, found);
    return LockResource(loaded);
}

const DLGTEMPLATE *findDialogTemplate(const LanguageResources &resources, UINT id)
{
    const LANGID tries[] = {resources.language, ENGLISH};
    for (LANGID language : tries) {
        DWORD size = 0;
        const void *found = resourceIn(resources.module, RT_DIALOG, MAKEINTRESOURCEA(id), language, &size);
        if (found != NULL && size >= sizeof(DLGTEMPLATE))
            return static_cast<const DLGTEMPLATE *>(found);
    }
    return NULL;
}

INT_PTR showLanguageDialog(const LanguageResources &resources, UINT id, HWND owner, DLGPROC procedure,
                           LPARAM parameter)
{
    const DLGTEMPLATE *found = findDialogTemplate(resources, id);
    if (found == NULL)
        return -1;
    return DialogBoxIndirectParamA(resources.module, found, owner, procedure, parameter);
}

// A string block holds sixteen counted UTF-16 strings; the count is read
// against the block's size, so a damaged block cannot lead past its end.
static const WCHAR *stringIn(HMODULE module, UINT id, LANGID language, int *length)
{
    DWORD size = 0;
    const WCHAR *entry = static_cast<const WCHAR *>(
        resourceIn(module, RT_STRING, MAKEINTRESOURCEA(id / 16 + 1), language, &size));
    if (entry == NULL)
        return NULL;
    const WCHAR *end = entry + size / sizeof(WCHAR);
    for (UINT skip = id % 16; skip > 0 && entry < end; --skip)
        entry += 1 + *entry;
    if (entry >= end || *entry == 0 || *entry > end - entry - 1)
        return NULL;
    *length = *entry;
    return entry + 1;
}

int loadLanguageString(const LanguageResources &resources, UINT id, char *buffer, int size)
{
    if (size <= 0)
        return 0;
    buffer[0] = '\0';
    const LANGID tries[] = {resources.language, ENGLISH};
    for (LANGID language : tries) {
        int length = 0;
        const WCHAR *text = stringIn(resources.module, id, language, &length);
        if (text == NULL)
            continue;
        // The conversion refuses a text that does not fit whole: fewer
        // characters until it does, as LoadStringA cuts.
        int written = 0;
        for (int taken = length; taken > 0 && written == 0; --taken)
            written = WideCharToMultiByte(CP_ACP, 0, text, taken, buffer, size - 1, NULL, NULL);
        buffer[written] = '\0';
        return written;
    }
    return 0;
}
