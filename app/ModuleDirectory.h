#ifndef GAGENT_MODULEDIRECTORY_H
#define GAGENT_MODULEDIRECTORY_H

// Writes the executable's directory, ending in a backslash, into `buffer`
// (at least MAX_PATH bytes); the empty string when it cannot be read.
void getModuleDirectory(char *buffer);

#endif
