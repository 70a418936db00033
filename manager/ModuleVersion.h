// Version texts from a module's version resource, in the first language
// its translation table names.
#ifndef GAGENT_MODULEVERSION_H
#define GAGENT_MODULEVERSION_H

#include <windows.h>

// 1 and the text in `destination`, or 0 and the empty text (also when the
// text would not fit whole). A capacity of 0 leaves `destination` alone.
int getProductVersion(HMODULE module, char *destination, int capacity);
int getFileVersion(HMODULE module, char *destination, int capacity);

#endif
