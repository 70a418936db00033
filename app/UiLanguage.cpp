#include "UiLanguage.h"

#include "InstallerSupport.h"
#include "ModuleDirectory.h"
#include "TextBuffer.h"

HINSTANCE appInstance = NULL;
UiLanguage cachedUiLanguage = 0;
HMODULE cachedResourceModule = NULL;

UiLanguage getUiLanguage()
{
    if (cachedUiLanguage != 0)
        return cachedUiLanguage;

    HMODULE library = LoadLibraryA(INSTALLER_SUPPORT_LIBRARY);
    if (library == NULL) {
        MessageBoxA(NULL, "Failed to load zelmsi13.dll", NULL, MB_OK);
        return 0;
    }
    GetFileLocaleFunction getFileLocale = reinterpret_cast<GetFileLocaleFunction>(
        reinterpret_cast<void *>(GetProcAddress(library, GET_FILE_LOCALE_EXPORT)));
    if (getFileLocale != NULL)
        cachedUiLanguage = getFileLocale(PRODUCT_CODE, 0, 0, 0, 0, 0);
    FreeLibrary(library);
    return cachedUiLanguage;
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

static void reportResourceModuleFailure(const char *path)
{
    char message[520] = "Failed to load resource file ";
    appendText(message, sizeof message, path);
    MessageBoxA(NULL, message, "Error", MB_OK);
}

HMODULE getResourceModule()
{
    if (cachedResourceModule != NULL)
        return cachedResourceModule;

    // Composed with room to spare so that a path too long for Windows can
    // still be named in full when it is reported.
    char path[2 * MAX_PATH];
    getModuleDirectory(path);
    appendText(path, sizeof path, languageFolder(getUiLanguage()));
    appendText(path, sizeof path, "\\gagent.dll");

    cachedResourceModule = lstrlenA(path) < MAX_PATH ? LoadLibraryA(path) : NULL;
    if (cachedResourceModule == NULL)
        reportResourceModuleFailure(path);
    return cachedResourceModule;
}
