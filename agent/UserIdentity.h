// Who a process, a window or a pipe's other end runs as. The agent, its
// library and the key manager each decide by these whether to trust what
// is on the other side of a pipe or a window, so all three compare the same
// way: by the user's SID, never by a name.
#ifndef GAGENT_USERIDENTITY_H
#define GAGENT_USERIDENTITY_H

#include <windows.h>

#include <string>

// A copy of a SID, owned; empty when it could not be read.
class UserSid {
public:
    UserSid() {}
    ~UserSid();
    UserSid(const UserSid &other);
    UserSid &operator=(const UserSid &other);

    bool empty() const { return sid_ == NULL; }
    PSID get() const { return sid_; }
    // Two empty SIDs are not the same user: an identity that cannot be
    // read is trusted by nothing.
    bool sameAs(const UserSid &other) const;
    bool sameAs(PSID other) const;
    // S-1-5-21-...: the form Windows shows, without sddl.h.
    std::string text() const;

    bool assign(PSID sid);

private:
    PSID sid_ = NULL;
};

// The user of a token (TokenUser); empty on failure.
UserSid tokenUser(HANDLE token);
// The user this process runs as.
UserSid currentUser();
// The user of another process, opened for query only (the limited right
// where Windows has it, so an elevated process of the same user can be
// read); empty when it cannot be opened.
UserSid processUser(DWORD processId);
// Whether a window belongs to a process of the user this process runs as.
bool windowOfCurrentUser(HWND window);

// The process serving the other end of a pipe this process opened as its
// client; false when it cannot be told, as on Windows XP, which lacks the
// call: a server that cannot be named is trusted by nothing.
bool pipeServerProcessId(HANDLE pipe, DWORD &processId);

// The user at the other end of a named pipe (the server's end), read from
// the token the client lends the pipe (ImpersonateNamedPipeClient), not
// from its process: an elevated client of the same user is that user,
// though its process cannot be opened for its token. Empty when no client
// is connected or it lends no identity. Windows lends it only once the
// server has read from the client: call it after the first read. The
// calling thread acts as itself again before this returns.
UserSid pipeClientUser(HANDLE pipe);

// The full path of a process's program file; empty when unknown.
std::string processImage(DWORD processId);
// Whether two paths name the same existing file (same volume, same file
// index), whatever form either path takes.
bool sameFile(const std::string &first, const std::string &second);

// The pipe on which the agent serves its own library and nothing else: the
// public pipe's name with the user and the logon session added, so that
// each user's (and each logon's) manager finds only its own agent. Empty
// when the process's identity cannot be read.
std::string managerPipeName(const std::string &publicPipe);

#endif
