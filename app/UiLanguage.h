// Process-wide values of start-up: the executable's instance, the UI
// language and the language resource module that holds every text.
#ifndef GAGENT_UILANGUAGE_H
#define GAGENT_UILANGUAGE_H

#include <windows.h>

typedef int UiLanguage;
enum {
    UI_LANGUAGE_FRENCH = 2,
    UI_LANGUAGE_GERMAN = 4,
    UI_LANGUAGE_JAPANESE = 8
};

extern HINSTANCE appInstance;
// Both caches are plain globals of the user-interface thread; tests reset them.
extern UiLanguage cachedUiLanguage;
extern HMODULE cachedResourceModule;

// Asks the installer-support library until it gives a nonzero answer.
UiLanguage getUiLanguage();

// Windows locale folder of a language: "1036", "1031", "1041" or "1033".
const char *languageFolder(UiLanguage language);

// The language resource module, loaded on first success and kept for the
// life of the process; null (after telling the user) when it cannot load.
HMODULE getResourceModule();

#endif
