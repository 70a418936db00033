// Where the user's keys, the agent settings file and the agent log are.
// Read-only and silent: every failure falls back without a message.
#ifndef GAGENT_LOCALCONFIGURATION_H
#define GAGENT_LOCALCONFIGURATION_H

#include <windows.h>

// The user's key folder, ending in ".ssh\", into a MAX_PATH buffer; the
// empty string when it cannot be determined.
void getUserKeyFolder(char *folder);

// The agent log's full path into a MAX_PATH buffer; the bare file name
// "gAgentLog.txt" when the log folder cannot be determined.
void getAgentLogPath(char *path);

// Moves the three policy flags away from their defaults as the settings
// file "gAgent" in the key folder says; the agent's own notice setting as
// well when asked for.
void readAgentSettings(INT32 &confirmKeyOp, INT32 &allowAdd, INT32 &allowDelete, INT32 *notifyKeyUse = NULL);

#endif
