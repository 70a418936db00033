// Passphrase fields leave nothing behind. An edit control keeps its text in
// a buffer of its own, and an empty text written over it changes only the
// first character: the rest of the passphrase stays there until the heap
// hands the memory out again. The key manager, the agent and the agent
// library overwrite such a field with filler of the same length first,
// a character at a time, so that the buffer (and the copies the control
// makes of the text it replaces) hold only filler when they go back.
#ifndef GAGENT_SECRETFIELD_H
#define GAGENT_SECRETFIELD_H

#include <windows.h>

// Overwrites the text of the edit control `field`, then empties it.
void clearSecretField(HWND field);

// The same for every password field (ES_PASSWORD) of `dialog`.
void clearSecretFields(HWND dialog);

#endif
