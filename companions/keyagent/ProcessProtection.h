// What other programs may do to the agent's process. Its memory holds the
// user's keys, so other processes of the same user get no more than the
// product needs: the library and the manager find the agent's window and
// pipe and check its program by process id, the installer's and the tests'
// tools wait for it and end it. Nor does Windows get to copy that memory
// into a crash report.
#ifndef GKEYAGENT_PROCESSPROTECTION_H
#define GKEYAGENT_PROCESSPROTECTION_H

#include <windows.h>

// The rights the user keeps on the agent's process and on each of its
// threads; nothing that reads, writes or runs code in them.
const DWORD kOthersOnAgentProcess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;
const DWORD kOthersOnAgentThread = SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION;
// What the owner of each keeps of the rights Windows would give it
// implicitly: it may read the DACL, not rewrite it.
const DWORD kOwnerOnAgentObjects = READ_CONTROL;

// Gives the process, the thread calling and every thread started from now
// on a DACL with only those rights for user. False when Windows refused
// the process's DACL.
bool closeProcessToOthers(PSID user);

// Asks Windows for no fault dialog, no error report and no heap in a crash
// dump of this program (program: its file name, as WER keeps it). False
// when a part of that was refused.
bool leaveOutOfCrashReports(const char* program);

// Both, at the agent's start, each failure logged.
void protectAgentProcess(PSID user);

#endif
