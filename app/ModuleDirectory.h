#ifndef GAGENT_MODULEDIRECTORY_H
#define GAGENT_MODULEDIRECTORY_H

#include <windows.h>

// Writes the executable's directory, ending in a backslash, into `buffer`
// (at least MAX_PATH bytes); the empty string when it cannot be read.
void getModuleDirectory(char *buffer);

// The same for the file of `module` (null: the executable). Answers 0, with
// whatever could be read in `buffer`, when the file name is missing or
// longer than MAX_PATH allows, so that a caller can refuse a cut name.
int getDirectoryOfModule(HMODULE module, char *buffer);

#endif
