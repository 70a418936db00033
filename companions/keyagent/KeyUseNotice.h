// What the notification area tells of a signature nobody was asked to
// confirm, when the user asked to hear of each: the facts the confirm
// dialog shows (key, program, host and forwarding where known), as a
// balloon's title and text.
#ifndef GKEYAGENT_KEYUSENOTICE_H
#define GKEYAGENT_KEYUSENOTICE_H

#include "ConfirmPrompt.h"

#include <string>

struct KeyUseNotice {
    std::string keyName;  // for the log
    std::string title;
    std::string text;
};

KeyUseNotice describeKeyUse(const LanguageResources& texts, const ConfirmQuestion& question);

#endif
