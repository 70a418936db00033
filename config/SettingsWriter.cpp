#include "SettingsWriter.h"

#include <stdio.h>

size_t formatAgentSettings(int32_t confirmKeyOp, int32_t allowAdd, int32_t allowDelete, int32_t notifyKeyUse, char *text,
                           size_t room)
{
    // The first line is the reader's to skip: it says who keeps the file,
    // so that nobody edits it expecting the agent to notice at once. The
    // agent's own setting comes last, where the key manager's reader, which
    // takes three pairs, never looks.
    int length = snprintf(text, room,
                          "Glimmerpad key agent policies, kept by the agent (changes apply at its next start)\n"
                          "ConfirmKeyOp %s\nAllowAdd %s\nAllowDelete %s\nNotifyKeyUse %s\n",
                          confirmKeyOp ? "yes" : "no", allowAdd ? "yes" : "no", allowDelete ? "yes" : "no",
                          notifyKeyUse ? "yes" : "no");
    if (length < 0 || static_cast<size_t>(length) >= room) {
        if (room > 0)
            text[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(length);
}
