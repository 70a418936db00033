// Texts of the parts that carry every language in themselves, the key agent
// and its library: each dialog and string is looked up in the product's
// language by its language id, and in English where that language lacks it.
//
// The language is named in each lookup rather than set on the thread: the
// library runs on the key manager's threads, whose locale is not its own to
// change, and Windows XP has no thread UI language at all.
#ifndef GAGENT_LANGUAGERESOURCES_H
#define GAGENT_LANGUAGERESOURCES_H

#include <windows.h>

#include "UiLanguage.h"

struct LanguageResources {
    HMODULE module;
    LANGID language;
};

// What the installer-support library `library` answers; 0 when it cannot
// be asked.
UiLanguage askInstallerLanguage(HMODULE library);

// The language id of a UI language, as its folder names it.
LANGID languageId(UiLanguage language);

// The texts of `module` in the language that the installer-support library
// in the module's own folder answers: English when it is missing there.
LanguageResources languageResourcesOf(HMODULE module);

// Dialog template `id`; null when no language has it.
const DLGTEMPLATE *findDialogTemplate(const LanguageResources &resources, UINT id);

// DialogBoxParamA for the template in the language; -1 when it is missing.
INT_PTR showLanguageDialog(const LanguageResources &resources, UINT id, HWND owner, DLGPROC procedure,
                           LPARAM parameter);

// LoadStringA for the string in the language: the text in the ANSI code
// page, cut to fit `size` bytes; its length, 0 (and "") when it is missing.
int loadLanguageString(const LanguageResources &resources, UINT id, char *buffer, int size);

#endif
