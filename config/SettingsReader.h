// The agent settings file "gAgent": a first line that is skipped, then
// whitespace-separated name/value pairs at fixed positions:
//   ConfirmKeyOp yes | AllowAdd no | AllowDelete no | NotifyKeyUse yes
// The fourth pair is the agent's own; a reader that asks for the first
// three only stops before it, as older readers do.
// Pure reading, so that it builds and is fuzzed on the host as well.
#ifndef GAGENT_SETTINGSREADER_H
#define GAGENT_SETTINGSREADER_H

#include <stdint.h>

// Hands out the file's characters one at a time; a negative answer (EOF)
// ends the file.
struct CharacterSource {
    int (*next)(void *context);
    void *context;
};

// The three policy flags; the file can only move each away from its default.
struct AgentPolicyFlags {
    int32_t *confirmKeyOp; // becomes 1 on "ConfirmKeyOp yes" as the first pair
    int32_t *allowAdd;     // becomes 0 on "AllowAdd no" as the second pair
    int32_t *allowDelete;  // becomes 0 on "AllowDelete no" as the third pair
    // Becomes 1 on "NotifyKeyUse yes" as the fourth pair; null: not read.
    int32_t *notifyKeyUse;
};

void applyAgentSettings(CharacterSource source, const AgentPolicyFlags &flags);

// ASCII letters compared without regard to case; other bytes as they are.
int equalsIgnoringAsciiCase(const char *a, const char *b);

#endif
