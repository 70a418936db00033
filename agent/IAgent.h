// The agent library's interface object. OPENSSH.DLL may be built by another
// compiler, so this header fixes the binary contract: fifteen table slots in
// this order, member calls in the platform's member convention (thiscall on
// x86), and records laid out without gaps.
#ifndef GAGENT_IAGENT_H
#define GAGENT_IAGENT_H

#include <windows.h>

typedef INT32 AgentStatus;
typedef INT32 KeyTypeCode;

// The key types the library reports; code 5 and others have no name.
enum {
    KEY_TYPE_ED25519 = 0,
    KEY_TYPE_RSA = 1,
    KEY_TYPE_ECDSA = 2,
    KEY_TYPE_DSA = 3,
    KEY_TYPE_CERTIFICATE = 4,
    KEY_TYPE_SECURITY_KEY = 6
};

enum {
    AGENT_OK = 0,
    AGENT_E_UNAVAILABLE = 2,
    AGENT_E_UNLOCK = 5,
    AGENT_E_LOCK = 6,
    AGENT_E_ADD_KEYFILE = 7,
    AGENT_E_ADD = 8,
    AGENT_E_REMOVE = 9,
    AGENT_E_EXPORT = 10,
    AGENT_E_GENERATE = 11
};

// One key as the agent reports it; the texts belong to the library and stay
// valid until freeKeyList.
struct KeyListEntry {
    const char *name;
    KeyTypeCode typeCode;
    const char *detail;
};

#if defined(__i386__)
static_assert(sizeof(KeyListEntry) == 12, "KeyListEntry is three 32-bit fields");
static_assert(sizeof(void *) == 4, "the shipped build is 32-bit");
#endif

class IAgent {
public:
    // Slot 1 is the library's deleting destructor: a compiler that gives a
    // virtual destructor two slots would shift every slot after it, so the
    // slot is declared as the one operation it is. Flags 1 frees the object.
    virtual void *destroy(unsigned int flags) = 0;
    virtual void attachWindow(HWND keyManagerWindow) = 0;
    virtual BOOL isAgentAvailable() = 0;
    virtual AgentStatus lock() = 0;
    virtual AgentStatus unlock(const char *passphrase) = 0;
    virtual BOOL isLocked() = 0;
    virtual AgentStatus getKeyList(KeyListEntry **entries, UINT32 *count) = 0;
    virtual void freeKeyList(KeyListEntry **entries, UINT32 count) = 0;
    virtual AgentStatus addKey(const char *keyFilePath) = 0;
    virtual AgentStatus generateKey(const char *keyPath, KeyTypeCode type, UINT32 bits) = 0;
    virtual AgentStatus removeKey(const char *keyName) = 0;
    virtual AgentStatus applyKeyText(const char *optionalText, const char *requiredText,
                                     const char *keyName) = 0;
    virtual AgentStatus exportPublicKey(const char *keyName, INT32 formatFlag,
                                        const char *destinationPath) = 0;
    virtual BOOL isRestrictedMode() = 0;
    virtual BOOL initialize() = 0;

protected:
    ~IAgent() {}
};

#define AGENT_LIBRARY_NAME "OPENSSH.DLL"
#define AGENT_INTERFACE_ID "{FE7658B9-DEC7-4e42-A566-7804D2692B75}"
#define NEW_IAGENT_EXPORT "newIAgent"
typedef AgentStatus(WINAPI *NewIAgentFunction)(const char *interfaceId, IAgent **agent);

#endif
