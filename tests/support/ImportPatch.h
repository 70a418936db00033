// Points one imported function of a loaded module at a stand-in, so that a
// test sees each call the module makes to it.
#ifndef GAGENT_TEST_IMPORTPATCH_H
#define GAGENT_TEST_IMPORTPATCH_H

#include <windows.h>

// Replaces `function` of `library` in the import table of `module`; the
// address it had, or null when the module does not import it by name.
void *replaceImport(HMODULE module, const char *library, const char *function, void *replacement);

#endif
