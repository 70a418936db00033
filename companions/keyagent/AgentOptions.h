// What the agent's command line asks of it (all optional):
//   --pipe NAME              the public pipe (default openssh-ssh-agent)
//   --log PATH               the log (default gAgentLog.txt in the log folder)
//   --confirm-timeout SECS   an unanswered confirmation denies after this (30)
//   --started-by-library     a start that fails shows nothing; the library does
#ifndef GKEYAGENT_AGENTOPTIONS_H
#define GKEYAGENT_AGENTOPTIONS_H

#include <windows.h>

#include <string>

struct AgentOptions {
    std::string pipeName;  // always a whole name, \\.\pipe\...
    std::string logPath;   // never empty: the default is filled in
    DWORD confirmTimeoutMs = 30000;
    // Started by the agent library, which tells the user itself why a
    // start failed, from the exit code.
    bool startedByLibrary = false;
};

AgentOptions readAgentOptions(int argc, char** argv);

#endif
