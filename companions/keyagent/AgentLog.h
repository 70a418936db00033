// The agent's log "gAgentLog.txt": one line per event, local time first,
// never a secret. It is kept under a size limit by moving the full file
// aside (one older file is kept) and starting anew.
#ifndef GKEYAGENT_AGENTLOG_H
#define GKEYAGENT_AGENTLOG_H

#include "KeyStore.h"

#include <windows.h>

#include <string>

// The file to write to, and the size at which it is moved aside.
void openAgentLog(const std::string& path, unsigned long limitBytes);
void logLine(const std::string& text);
void logEvent(const agentcore::AgentEvent& event);

// The program file of a process, or empty when it cannot be found.
std::string programOfProcess(DWORD processId);

#endif
