// Texts read from dialog fields and kept on the heap for as long as the
// dialog object that read them. Passphrases among them are wiped before
// their memory goes back.
#ifndef GAGENT_HEAPTEXT_H
#define GAGENT_HEAPTEXT_H

#include <windows.h>

// Room for a dialog field's text: 127 characters and the NUL.
const int FIELD_TEXT_SIZE = 128;

// Reads field `id` of `dialog` into `text`, at most 127 characters, always
// terminated.
void readField(HWND dialog, int id, char (&text)[FIELD_TEXT_SIZE]);

// Lets the user type no more into any text field of `dialog` than
// readField takes.
void limitFields(HWND dialog);

// A heap copy of `text` of exactly its length and the NUL; null when there
// is no memory for it.
char *newTextCopy(const char *text);

// Frees a copy of newTextCopy and nulls the pointer; null is allowed.
void deleteText(char *&text);

// The same for a secret: every byte of it is overwritten with zeros first.
void wipeAndDeleteText(char *&text);

#endif
