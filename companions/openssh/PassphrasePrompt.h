// The small dialog in which the user gives a key file's passphrase, owned
// by the key manager's window.
#ifndef OPENSSH_PASSPHRASEPROMPT_H
#define OPENSSH_PASSPHRASEPROMPT_H

#include "LanguageResources.h"

// The passphrase goes into buffer (wiped by the caller after use); false
// when the user cancels. triesLeft is shown after a wrong passphrase (0:
// the first question).
bool askKeyPassphrase(const LanguageResources &resources, HWND owner, const char *keyFile, unsigned triesLeft, char *buffer,
                      int bufferSize);

#endif
