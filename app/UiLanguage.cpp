#include "UiLanguage.h"

#include "InstallerSupport.h"
#include "LanguageResources.h"
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
    cachedUiLanguage = askInstallerLanguage(library);
    FreeLibrary(library);
    return cachedUiLanguage;
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
