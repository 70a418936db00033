// Recording stand-in for the agent library OPENSSH.DLL.
//
// Its interface table is spelled out here slot by slot, independently of
// the product's own header, so that a slot the product calls in the wrong
// place shows up in the log as the wrong operation. Member functions are
// called with the object in the first argument: thiscall on x86 (ECX), the
// ordinary first argument on x64.
//
// Its behaviour comes from a script file named by GAGENT_TEST_AGENT_SCRIPT,
// read again at every call so that a test can change the agent's state while
// the program runs. One setting per line, "name value":
//   newIAgent <status>      status of the factory (default 0)
//   nullObject 1            the factory answers its status without an object
//   initialize <0|1>        default 1
//   available <0|1>         default 1
//   locked <0|1>            default 0
//   restricted <0|1>        default 0
//   getKeyList <status>     default 0; also lock, unlock, addKey, generateKey,
//                           removeKey, applyKeyText, exportPublicKey
//   generatedKeys <count>   that many keys "key00001", ... after any listed ones
//   generateKeyTakes <ms>   how long generateKey works before it returns
//   key <name>|<type>|<detail>
// Every call is appended to the file named by GAGENT_TEST_LOG.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "CallLog.h"

#if defined(__i386__)
#define MEMBER __attribute__((thiscall))
#else
#define MEMBER
#endif

namespace {

struct Entry {
    const char *name;
    INT32 typeCode;
    const char *detail;
};

struct Script {
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<std::string> keyNames, keyDetails;
    std::vector<INT32> keyTypes;

    long number(const char *name, long fallback) const
    {
        for (const auto &setting : settings) {
            if (setting.first == name)
                fallback = strtol(setting.second.c_str(), NULL, 0);
        }
        return fallback;
    }
};

Script readScript()
{
    Script script;
    char path[MAX_PATH];
    if (GetEnvironmentVariableA("GAGENT_TEST_AGENT_SCRIPT", path, sizeof path) == 0)
        return script;
    FILE *file = fopen(path, "r");
    if (file == NULL)
        return script;
    char line[1024];
    while (fgets(line, sizeof line, file) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        char *space = strchr(line, ' ');
        if (space == NULL)
            continue;
        *space = '\0';
        std::string name = line, value = space + 1;
        if (name == "key") {
            size_t first = value.find('|'), second = value.find('|', first + 1);
            script.keyNames.push_back(value.substr(0, first));
            script.keyTypes.push_back(static_cast<INT32>(strtol(value.substr(first + 1).c_str(), NULL, 0)));
            script.keyDetails.push_back(second == std::string::npos ? "" : value.substr(second + 1));
        } else {
            script.settings.push_back(std::make_pair(name, value));
        }
    }
    fclose(file);
    return script;
}

// Made for a listing only: every other call reads the script too, and a
// benchmark's 10,000 keys would time the double, not the product.
void addGeneratedKeys(Script &script)
{
    long generated = script.number("generatedKeys", 0);
    for (long i = 1; i <= generated; ++i) {
        char name[32], detail[80];
        snprintf(name, sizeof name, "key%05ld", i);
        snprintf(detail, sizeof detail, "SHA256:%043ld", i * 7919);
        script.keyNames.push_back(name);
        script.keyTypes.push_back(static_cast<INT32>(i % 7));
        script.keyDetails.push_back(detail);
    }
}

long scripted(const char *name, long fallback)
{
    return readScript().number(name, fallback);
}

const char *text(const char *value)
{
    return value != NULL ? value : "(null)";
}

struct Agent;

// The fifteen slots, in their order.
struct AgentTable {
    void *(MEMBER *destroy)(Agent *self, unsigned int flags);
    void(MEMBER *attachWindow)(Agent *self, HWND window);
    BOOL(MEMBER *isAgentAvailable)(Agent *self);
    INT32(MEMBER *lock)(Agent *self);
    INT32(MEMBER *unlock)(Agent *self, const char *passphrase);
    BOOL(MEMBER *isLocked)(Agent *self);
    INT32(MEMBER *getKeyList)(Agent *self, Entry **entries, UINT32 *count);
    void(MEMBER *freeKeyList)(Agent *self, Entry **entries, UINT32 count);
    INT32(MEMBER *addKey)(Agent *self, const char *path);
    INT32(MEMBER *generateKey)(Agent *self, const char *path, INT32 type, UINT32 bits);
    INT32(MEMBER *removeKey)(Agent *self, const char *name);
    INT32(MEMBER *applyKeyText)(Agent *self, const char *optional, const char *required, const char *name);
    INT32(MEMBER *exportPublicKey)(Agent *self, const char *name, INT32 format, const char *path);
    BOOL(MEMBER *isRestrictedMode)(Agent *self);
    BOOL(MEMBER *initialize)(Agent *self);
};

struct Agent {
    const AgentTable *table;
    Entry *handedOut; // the array of the last getKeyList, until freed
    UINT32 handedOutCount;
    std::vector<std::string> *texts;
};

void *MEMBER destroy(Agent *self, unsigned int flags)
{
    logCall("destroy %u", flags);
    if (flags & 1) {
        delete[] self->handedOut;
        delete self->texts;
        delete self;
    }
    return self;
}

void MEMBER attachWindow(Agent *, HWND window)
{
    logCall("attachWindow %p", reinterpret_cast<void *>(window));
}

BOOL MEMBER isAgentAvailable(Agent *)
{
    logCall("isAgentAvailable");
    return scripted("available", 1);
}

INT32 MEMBER lockAgent(Agent *)
{
    logCall("lock");
    return scripted("lock", 0);
}

INT32 MEMBER unlockAgent(Agent *, const char *passphrase)
{
    logCall("unlock %s", text(passphrase));
    return scripted("unlock", 0);
}

BOOL MEMBER isLocked(Agent *)
{
    logCall("isLocked");
    return scripted("locked", 0);
}

INT32 MEMBER getKeyList(Agent *self, Entry **entries, UINT32 *count)
{
    Script script = readScript();
    INT32 status = static_cast<INT32>(script.number("getKeyList", 0));
    logCall("getKeyList");
    if (status != 0) {
        // A failing agent leaves the outputs untouched garbage the caller must not read.
        return status;
    }
    addGeneratedKeys(script);
    UINT32 n = static_cast<UINT32>(script.keyNames.size());
    delete[] self->handedOut;
    delete self->texts;
    self->texts = new std::vector<std::string>();
    self->texts->reserve(2 * n);
    self->handedOut = new Entry[n > 0 ? n : 1];
    for (UINT32 i = 0; i < n; ++i) {
        self->texts->push_back(std::move(script.keyNames[i]));
        self->texts->push_back(std::move(script.keyDetails[i]));
    }
    for (UINT32 i = 0; i < n; ++i) {
        self->handedOut[i].name = (*self->texts)[2 * i].c_str();
        self->handedOut[i].typeCode = script.keyTypes[i];
        self->handedOut[i].detail = (*self->texts)[2 * i + 1].c_str();
    }
    self->handedOutCount = n;
    *entries = self->handedOut;
    *count = n;
    return 0;
}

void MEMBER freeKeyList(Agent *self, Entry **entries, UINT32 count)
{
    bool same = entries != NULL && *entries == self->handedOut && self->handedOut != NULL;
    logCall("freeKeyList %u %s", count, same ? "same-array" : "other-array");
    if (same) {
        delete[] self->handedOut;
        self->handedOut = NULL;
        // The texts go too, as in a real library: the caller must have copied them.
        for (auto &t : *self->texts)
            t.assign(t.size(), '#');
        *entries = NULL;
    }
}

INT32 MEMBER addKey(Agent *, const char *path)
{
    logCall("addKey %s", text(path));
    return scripted("addKey", 0);
}

// The second line is missing from the log when the call was cut off.
INT32 MEMBER generateKey(Agent *, const char *path, INT32 type, UINT32 bits)
{
    logCall("generateKey %s %d %u", text(path), type, bits);
    Script script = readScript();
    Sleep(static_cast<DWORD>(script.number("generateKeyTakes", 0)));
    INT32 status = static_cast<INT32>(script.number("generateKey", 0));
    logCall("generateKey returned %d", status);
    return status;
}

INT32 MEMBER removeKey(Agent *, const char *name)
{
    logCall("removeKey %s", text(name));
    return scripted("removeKey", 0);
}

INT32 MEMBER applyKeyText(Agent *, const char *optional, const char *required, const char *name)
{
    logCall("applyKeyText %s|%s|%s", text(optional), text(required), text(name));
    return scripted("applyKeyText", 0);
}

INT32 MEMBER exportPublicKey(Agent *, const char *name, INT32 format, const char *path)
{
    logCall("exportPublicKey %s %d %s", text(name), format, text(path));
    return scripted("exportPublicKey", 0);
}

BOOL MEMBER isRestrictedMode(Agent *)
{
    logCall("isRestrictedMode");
    return scripted("restricted", 0);
}

BOOL MEMBER initialize(Agent *)
{
    logCall("initialize");
    return scripted("initialize", 1);
}

const AgentTable TABLE = {destroy,     attachWindow,    isAgentAvailable, lockAgent, unlockAgent,
                          isLocked,    getKeyList,      freeKeyList,      addKey,    generateKey,
                          removeKey,   applyKeyText,    exportPublicKey,  isRestrictedMode,
                          initialize};

} // namespace

// A build of the library that is broken the way an old or foreign DLL of the
// same name would be: everything but the factory.
#ifdef WITHOUT_FACTORY
#define newIAgent otherFactory
#endif

extern "C" INT32 WINAPI newIAgent(const char *interfaceId, Agent **agent)
{
    logCall("newIAgent %s", text(interfaceId));
    Script script = readScript();
    INT32 status = static_cast<INT32>(script.number("newIAgent", 0));
    if (status == 0 && !script.number("nullObject", 0)) {
        Agent *created = new Agent;
        created->table = &TABLE;
        created->handedOut = NULL;
        created->handedOutCount = 0;
        created->texts = NULL;
        *agent = created;
    }
    return status;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void *reserved)
{
    // Only an unload by FreeLibrary matters; at process end order is moot.
    if (reason == DLL_PROCESS_DETACH && reserved == NULL)
        logCall("unload");
    return TRUE;
}
