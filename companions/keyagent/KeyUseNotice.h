// What the notification area tells of a signature nobody was asked to
// confirm, when the user asked to hear of each: the facts the confirm
// dialog shows (key, program, host and forwarding where known), as a
// balloon's title and text.
#ifndef GKEYAGENT_KEYUSENOTICE_H
#define GKEYAGENT_KEYUSENOTICE_H

#include "ConfirmPrompt.h"

#include <deque>
#include <mutex>
#include <string>

struct KeyUseNotice {
    std::string keyName;  // for the log
    std::string title;
    std::string text;
};

// Notices on their way from the threads that sign to the window that shows
// them. The message that wakes the window carries none: any program of the
// user may post to that window, and a pointer taken from a message would
// be that program's to choose. At most kHeld wait; more are dropped, as a
// balloon could not show them anyway.
class KeyUseNotices {
public:
    static const std::size_t kHeld = 16;
    void push(KeyUseNotice notice);
    bool pop(KeyUseNotice& notice);

private:
    std::mutex mutex_;
    std::deque<KeyUseNotice> waiting_;
};

KeyUseNotice describeKeyUse(const LanguageResources& texts, const ConfirmQuestion& question);

#endif
