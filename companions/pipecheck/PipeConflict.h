// Why the agent cannot take its public pipe, told so that the user can act:
// the program that holds the pipe by its path and process id, and when that
// is Windows' own "OpenSSH Authentication Agent" (ssh-agent), the two
// commands that stop and disable it. The agent and its library tell it in
// the same words, each from its own texts.
#ifndef PIPECHECK_PIPECONFLICT_H
#define PIPECHECK_PIPECONFLICT_H

#include "PipeCheck.h"

#include <string>

enum class PipeHolderKind {
    Unknown,         // nothing could be told of it
    OpenSshService,  // Windows' own OpenSSH agent
    OtherProgram,
};

// Where Windows installs its OpenSSH agent: %SystemRoot%\System32\OpenSSH\ssh-agent.exe.
std::string openSshServiceImage();
// The process of the running ssh-agent service as the service control
// manager tells it; 0 when it does not run, is not installed or cannot be
// asked. A system service's process cannot be opened by a user, so its id
// is the only sure sign of it.
DWORD openSshServiceProcessId();

// What the holder is, from its program file (compared without regard to
// case) or its process id against those of the service.
PipeHolderKind kindOfHolder(const ServerProcess &holder, const std::string &serviceImage, DWORD serviceProcessId);
// The same, asking Windows for the service's image and process.
PipeHolderKind kindOfHolder(const ServerProcess &holder);

// One side's texts for the message, printf formats:
//   byService:  %s the pipe, %lu the process id
//   byProgram:  %s the pipe, %s the program, %lu the process id
struct PipeConflictTexts {
    std::string byService;
    std::string byProgram;
    std::string unknownProgram;  // in place of a program whose file cannot be read
};

// The message for a holder of the given kind; empty for an Unknown one,
// which each side explains in its own way.
std::string pipeConflictMessage(const PipeConflictTexts &texts, const std::string &pipe, const ServerProcess &holder,
                                PipeHolderKind kind);

// For the agent's log, in English: "the program PATH (process N)", and the
// service named where it is one.
std::string holderDescription(const ServerProcess &holder, PipeHolderKind kind);

#endif
