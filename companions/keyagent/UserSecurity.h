// The user the agent runs as, and the security of everything it makes that
// is that user's alone: its pipes and the key files it writes carry a DACL
// with one entry, for this user, protected so that a file takes nothing
// from its folder.
#ifndef GKEYAGENT_USERSECURITY_H
#define GKEYAGENT_USERSECURITY_H

#include "UserIdentity.h"

#include <windows.h>

#include <vector>

class UserSecurity {
public:
    UserSecurity() = default;
    UserSecurity(const UserSecurity&) = delete;
    UserSecurity& operator=(const UserSecurity&) = delete;

    // False when the process's own user cannot be read.
    bool build();

    const UserSid& user() const { return user_; }
    // For CreateNamedPipeA and CreateFileA; valid while this object lives.
    SECURITY_ATTRIBUTES* ownerOnly() { return &attributes_; }

private:
    UserSid user_;
    std::vector<DWORD> acl_;  // DWORDs: an ACL must be aligned so
    SECURITY_DESCRIPTOR descriptor_ = {};
    SECURITY_ATTRIBUTES attributes_ = {};
};

#endif
