#include "OpenSshAgent.h"

#include <wincrypt.h>

// SHA-256 came with XP SP3; the headers hide it from an XP target.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#endif

#include "AgentChannel.h"
#include "Encoding.h"
#include "Key.h"
#include "KeyFileRequest.h"
#include "LibraryResources.h"
#include "LocalConfiguration.h"
#include "PassphrasePrompt.h"
#include "PipeConflict.h"
#include "Protocol.h"
#include "UserIdentity.h"
#include "Wire.h"

#include <cstdio>
#include <cstring>

using agentcore::Bytes;
using agentcore::WireReader;
using agentcore::WireWriter;
using namespace agentcore;

namespace {



// A wrong unlock is answered after up to 16 s, and a key file may ask for
// many KDF rounds: long enough for those, short of a hung window.
const DWORD kRequestTimeout = 120000;
// The agent's start, under emulation too.
const DWORD kStartTimeout = 20000;
// A program holding the public pipe may have every instance busy; it is
// named only if an instance comes free this soon.
const DWORD kHolderWait = 500;
const DWORD kStartHoldOff = 5000;
// How long the lock state read by the availability check answers the
// question that follows it.
const DWORD kLockStateFreshMs = 100;
const unsigned kPassphraseTries = 3;
const std::size_t kLargestGenerationAnswer = 64 * 1024;

// Acquiring a provider costs milliseconds, a hash microseconds: a list of
// a thousand keys took half a minute under Wine with one provider per key
// (and two hashes per key, when the name did not need one). The one
// provider lives as long as the process.
HCRYPTPROV hashProvider() {
    static HCRYPTPROV provider = [] {
        HCRYPTPROV acquired = 0;
        return CryptAcquireContextA(&acquired, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ? acquired : 0;
    }();
    return provider;
}

std::string fingerprint(const Bytes &blob) {
    HCRYPTPROV provider = hashProvider();
    HCRYPTHASH hash = 0;
    BYTE digest[32];
    DWORD size = sizeof digest;
    bool ok = provider && CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
              CryptHashData(hash, blob.data(), DWORD(blob.size()), 0) &&
              CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest;
    if (hash) CryptDestroyHash(hash);
    if (!ok) return "SHA256:?";
    std::string b64 = agentcore::base64Encode(digest, sizeof digest);
    while (!b64.empty() && b64.back() == '=') b64.pop_back();
    return "SHA256:" + b64;
}

// A passphrase goes straight from the caller's buffer into the request,
// whose storage is wiped when it goes: never through a std::string.
void putSecret(WireWriter &w, const char *secret) {
    w.string(reinterpret_cast<const std::uint8_t *>(secret), std::strlen(secret));
}

Bytes extensionRequest(const char *name, const Bytes &body) {
    WireWriter w;
    w.u8(SSH_AGENTC_EXTENSION);
    w.string(std::string(name));
    Bytes request = w.take();
    request.insert(request.end(), body.begin(), body.end());
    return request;
}

bool fileExists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A key file is whole or not there at all: written beside its place and
// moved over it.
bool writeFileAtomically(const char *path, const std::string &contents) {
    char full[MAX_PATH], *name = NULL;
    DWORD length = GetFullPathNameA(path, sizeof full, full, &name);
    if (length == 0 || length >= sizeof full || !name) return false;
    std::string folder(full, name);
    char temporary[MAX_PATH];
    if (!GetTempFileNameA(folder.c_str(), "gak", 0, temporary)) return false;
    HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, contents.data(), DWORD(contents.size()), &written, NULL) &&
              written == contents.size() && FlushFileBuffers(file);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    ok = ok && MoveFileExA(temporary, full, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) DeleteFileA(temporary);
    return ok;
}

bool registryFlag(const char *keyPath, const char *value) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    DWORD data = 0, size = sizeof data, type = 0;
    bool on = RegQueryValueExA(key, value, NULL, &type, reinterpret_cast<BYTE *>(&data), &size) == ERROR_SUCCESS &&
              type == REG_DWORD && data != 0;
    RegCloseKey(key);
    return on;
}

// The pipe OpenSSH for Windows uses, unless SSH_AUTH_SOCK names another
// pipe (as it does for Windows' own ssh.exe).
std::string chosenPipeName() {
    char value[MAX_PATH] = "";
    DWORD n = GetEnvironmentVariableA("SSH_AUTH_SOCK", value, sizeof value);
    if (n > 0 && n < sizeof value && _strnicmp(value, "\\\\.\\pipe\\", 9) == 0) return value;
    return AGENT_DEFAULT_PIPE;
}

bool profileKeyFolder(char *folder) {
    char profile[MAX_PATH] = "";
    DWORD n = GetEnvironmentVariableA("USERPROFILE", profile, sizeof profile);
    if (n == 0 || n + 6 >= sizeof profile) return false;
    std::snprintf(folder, MAX_PATH, "%s\\.ssh\\", profile);
    return true;
}

bool readDestinations(WireReader &r, std::vector<keylist::Destination> &hops) {
    std::uint32_t count;
    // Each hop takes at least twelve bytes: a count beyond that is a lie.
    if (!r.u32(count) || count > r.remaining() / 12) return false;
    hops.assign(count, keylist::Destination());
    for (keylist::Destination &hop : hops)
        if (!r.text(hop.fromHost) || !r.text(hop.toUser) || !r.text(hop.toHost)) return false;
    return true;
}

bool readHeldKey(WireReader &r, keylist::HeldKey &key, bool withConstraints) {
    if (!r.string(key.blob) || !r.text(key.comment)) return false;
    if (!withConstraints) return true;
    return r.u32(key.secondsLeft) && r.boolean(key.confirm) && readDestinations(r, key.destinations);
}

bool readHeldKeys(const Bytes &reply, std::uint8_t answer, bool withConstraints, std::vector<keylist::HeldKey> &keys) {
    WireReader r(reply.data(), reply.size());
    std::uint8_t type;
    std::uint32_t count;
    // Each key takes at least eight bytes: a count beyond that is a lie.
    if (!r.u8(type) || type != answer || !r.u32(count) || count > reply.size() / 8) return false;
    keys.assign(count, keylist::HeldKey());
    for (keylist::HeldKey &key : keys)
        if (!readHeldKey(r, key, withConstraints)) return false;
    return r.atEnd();
}

// The key manager's sizes are RSA's (512 to 32768): an ECDSA key gets the
// curve of the same strength, so that the dialog's default gives P-256. A
// curve's own size (256, 384, 521) names that curve.
std::uint32_t ecdsaCurveBits(std::uint32_t bits) {
    if (bits == 256 || bits == 384 || bits == 521) return bits;
    if (bits <= 3072) return 256;
    return bits <= 7680 ? 384 : 521;
}

}  // namespace

OpenSshAgent::OpenSshAgent(HINSTANCE module, const std::string &libraryFolder)
    : resources(languageResourcesOf(module)),
      folder(libraryFolder),
      pipeName(chosenPipeName()),
      managerPipe{managerPipeName(pipeName), libraryFolder + AGENT_PROGRAM_NAME} {}

OpenSshAgent::~OpenSshAgent() {
    closeAbandonedGeneration();
}

void *OpenSshAgent::destroy(unsigned int flags) {
    if (flags & 1)
        delete this;
    else
        this->~OpenSshAgent();
    return this;
}

bool OpenSshAgent::agentFilesPresent(const std::string &libraryFolder) {
    return fileExists(libraryFolder + AGENT_PROGRAM_NAME) && fileExists(libraryFolder + "libgcrypt-20.dll") &&
           fileExists(libraryFolder + "libgpg-error-0.dll");
}

// ------------------------------------------------------------ requests

PipeFound OpenSshAgent::connect(DWORD waitMs) {
    if (managerPipe.pipeName.empty()) return PipeFound::Nothing;
    ServerProcess server;
    PipeFound found = pipe.open(managerPipe, waitMs, server);
    impostorServes = found == PipeFound::Impostor;
    if (impostorServes) refuseImpostor(server);
    return found;
}

bool OpenSshAgent::request(const Bytes &message, Bytes &reply) {
    closeAbandonedGeneration();
    lockStateReply.clear();
    bool wasOpen = pipe.isOpen();
    if (!wasOpen && connect(1000) != PipeFound::Agent) return false;
    if (pipe.transact(message, reply, kRequestTimeout)) return true;
    // An agent started again since the last call: one more try on a fresh
    // connection.
    return wasOpen && connect(1000) == PipeFound::Agent && pipe.transact(message, reply, kRequestTimeout);
}

bool OpenSshAgent::extension(const char *name, const Bytes &body, Bytes &reply) {
    return request(extensionRequest(name, body), reply) && !reply.empty() && reply[0] == SSH_AGENT_SUCCESS;
}

bool OpenSshAgent::succeeded(const char *name, const Bytes &body) {
    Bytes reply;
    return extension(name, body, reply);
}

bool OpenSshAgent::fetchKeys(std::vector<keylist::HeldKey> &keys) {
    Bytes reply;
    if (extension(kKeyList, Bytes(), reply)) return readHeldKeys(reply, SSH_AGENT_SUCCESS, true, keys);
    // Another agent on the pipe: its keys, without their constraints.
    return request(Bytes(1, SSH_AGENTC_REQUEST_IDENTITIES), reply) && readHeldKeys(reply, SSH_AGENT_IDENTITIES_ANSWER, false, keys);
}

std::vector<keylist::ShownKey> OpenSshAgent::shownKeys(const std::vector<keylist::HeldKey> &held) {
    return keylist::showKeys(held, detailTexts(), [this](const Bytes &blob) { return cachedFingerprint(blob); });
}

std::string OpenSshAgent::cachedFingerprint(const Bytes &blob) {
    auto known = fingerprints.find(blob);
    if (known != fingerprints.end()) return known->second;
    return fingerprints[blob] = fingerprint(blob);
}

bool OpenSshAgent::findKey(const char *keyName, KeyList &list, const keylist::HeldKey *&key) {
    if (!keyName) return false;
    if (lastList) {
        for (const keylist::ShownKey &shown : lastList->shown) {
            if (shown.name == keyName) {
                // The list itself may be gone by the next call: a copy.
                list.held.assign(1, *shown.key);
                key = &list.held[0];
                return true;
            }
        }
    }
    if (!fetchKeys(list.held)) return false;
    list.shown = shownKeys(list.held);
    for (const keylist::ShownKey &shown : list.shown) {
        if (shown.name == keyName) {
            key = shown.key;
            return true;
        }
    }
    return false;
}

bool OpenSshAgent::sendAttach() {
    if (!window) return false;
    WireWriter w;
    std::uint64_t handle = reinterpret_cast<UINT_PTR>(window);
    w.u32(std::uint32_t(handle >> 32));
    w.u32(std::uint32_t(handle));
    return succeeded(kAttachWindow, w.take());
}

// ------------------------------------------------------ the agent process

bool OpenSshAgent::startAgent(UINT &why) {
    const std::string &program = managerPipe.agentProgram;
    if (!fileExists(program)) {
        why = IDS_AGENT_MISSING;
        return false;
    }
    std::string commandLine = "\"" + program + "\" " AGENT_STARTED_BY_LIBRARY;
    if (pipeName != AGENT_DEFAULT_PIPE) commandLine += " --pipe \"" + pipeName + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(program.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, folder.c_str(), &startup,
                        &process)) {
        why = IDS_AGENT_START_FAILED;
        return false;
    }
    CloseHandle(process.hThread);
    why = IDS_AGENT_NO_ANSWER;
    // An impostor found on the way ends the wait at once: it has been
    // reported, and waiting would only meet it again.
    PipeFound found = PipeFound::Nothing;
    for (DWORD start = GetTickCount(); found == PipeFound::Nothing && GetTickCount() - start < kStartTimeout;) {
        found = connect(0);
        if (found != PipeFound::Nothing || WaitForSingleObject(process.hProcess, 100) != WAIT_OBJECT_0) continue;
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        // 0: another agent of this user runs already and may still be
        // opening its pipe; keep waiting for it.
        if (code == AGENT_EXIT_PIPE_TAKEN) why = IDS_AGENT_PIPE_TAKEN;
        if (code != 0) break;
        found = connect(0);
        if (found == PipeFound::Nothing) Sleep(100);
    }
    CloseHandle(process.hProcess);
    return found == PipeFound::Agent;
}

std::string OpenSshAgent::text(UINT id) const {
    char buffer[1024] = "";
    loadLanguageString(resources, id, buffer, sizeof buffer);
    return buffer;
}

// The manager calls again and again while no agent can be used; the user
// hears why once.
void OpenSshAgent::tellOnce(const std::string &message) {
    if (told) return;
    told = true;
    MessageBoxA(window, message.c_str(), text(IDS_LIBRARY_TITLE).c_str(),
                MB_OK | MB_ICONWARNING | (window ? 0 : MB_TASKMODAL | MB_SETFOREGROUND));
}

void OpenSshAgent::tellWhyNotStarted(UINT why) {
    char message[1536];
    std::string format = text(why);
    if (why == IDS_AGENT_MISSING)
        std::snprintf(message, sizeof message, format.c_str(), managerPipe.agentProgram.c_str());
    else if (why == IDS_AGENT_PIPE_TAKEN)
        std::snprintf(message, sizeof message, "%s", pipeTakenMessage(format).c_str());
    else if (why == IDS_AGENT_START_FAILED)
        std::snprintf(message, sizeof message, format.c_str(), GetLastError());
    else
        std::snprintf(message, sizeof message, "%s", format.c_str());
    tellOnce(message);
}

// Named as the agent names it: the program holding the public pipe, and
// what to do when it is Windows' own agent; the plain reason when it cannot
// be told.
std::string OpenSshAgent::pipeTakenMessage(const std::string &plainFormat) const {
    ServerProcess holder = pipeHolder(pipeName, kHolderWait);
    PipeConflictTexts texts = {text(IDS_AGENT_PIPE_TAKEN_BY_SERVICE), text(IDS_AGENT_PIPE_TAKEN_BY_PROGRAM),
                               text(IDS_UNKNOWN_PROGRAM)};
    std::string message = pipeConflictMessage(texts, pipeName, holder, kindOfHolder(holder));
    if (!message.empty()) return message;
    char plain[1024];
    std::snprintf(plain, sizeof plain, plainFormat.c_str(), pipeName.c_str());
    return plain;
}

void OpenSshAgent::refuseImpostor(const ServerProcess &server) {
    char message[1536];
    std::string program = server.program.empty() ? text(IDS_UNKNOWN_PROGRAM) : server.program;
    std::snprintf(message, sizeof message, text(IDS_AGENT_IMPOSTOR).c_str(), program.c_str(),
                  static_cast<unsigned long>(server.processId));
    tellOnce(message);
}

keylist::DetailTexts OpenSshAgent::detailTexts() const {
    keylist::DetailTexts t;
    t.bits = text(IDS_DETAIL_BITS);
    t.expires = text(IDS_DETAIL_EXPIRES);
    t.confirm = text(IDS_DETAIL_CONFIRM);
    t.days = text(IDS_UNIT_DAYS);
    t.hours = text(IDS_UNIT_HOURS);
    t.minutes = text(IDS_UNIT_MINUTES);
    t.seconds = text(IDS_UNIT_SECONDS);
    t.destinations = text(IDS_DETAIL_DESTINATIONS);
    t.hopSeparator = text(IDS_DETAIL_HOP_SEPARATOR);
    t.partSeparator = text(IDS_DETAIL_SEPARATOR);
    t.oneMore = text(IDS_DETAIL_ONE_MORE);
    t.more = text(IDS_DETAIL_MORE);
    return t;
}

// A generation whose thread was terminated left its connection open; the
// agent drops the key either way, the handle is only ours to close.
void OpenSshAgent::closeAbandonedGeneration() {
    if (generationPipe == INVALID_HANDLE_VALUE || WaitForSingleObject(generationThread, 0) != WAIT_OBJECT_0) return;
    CloseHandle(generationPipe);
    CloseHandle(generationThread);
    generationPipe = INVALID_HANDLE_VALUE;
    generationThread = NULL;
}

// ------------------------------------------------------------ the slots

BOOL OpenSshAgent::initialize() {
    UINT why;
    // Another program on the agent's pipe has been reported already; an
    // agent started now would find the name taken.
    if (connect(1000) == PipeFound::Nothing && !startAgent(why)) {
        failedStartAt = GetTickCount() | 1;
        if (!impostorServes) tellWhyNotStarted(why);
    }
    // Without an agent the library still works: the manager shows the
    // agent as unavailable, and every later call tries again.
    return TRUE;
}

void OpenSshAgent::attachWindow(HWND keyManagerWindow) {
    window = keyManagerWindow;
    sendAttach();
}

BOOL OpenSshAgent::isAgentAvailable() {
    Bytes reply;
    if (extension(kLockState, Bytes(), reply)) {
        lockStateReply = reply;
        lockStateReadAt = GetTickCount();
        return TRUE;
    }
    if (impostorServes) return FALSE;
    // The command states are asked after every click: an agent that cannot
    // start is not started again for every one of them.
    if (failedStartAt && GetTickCount() - failedStartAt < kStartHoldOff) return FALSE;
    UINT why;
    if (!startAgent(why)) {
        failedStartAt = GetTickCount() | 1;
        return FALSE;
    }
    failedStartAt = 0;
    // A new agent knows no window: attach again, and have the list rebuilt
    // from the keys it holds (none).
    sendAttach();
    if (window) PostMessageA(window, WM_AGENT_REFRESH, 0, 0);
    return TRUE;
}

AgentStatus OpenSshAgent::lock() { return succeeded(kLockWithAgentPassphrase, Bytes()) ? AGENT_OK : AGENT_E_LOCK; }

AgentStatus OpenSshAgent::unlock(const char *passphrase) {
    if (!passphrase) return AGENT_E_UNLOCK;
    WireWriter w;
    w.u8(SSH_AGENTC_UNLOCK);
    putSecret(w, passphrase);
    Bytes reply;
    return request(w.take(), reply) && reply.size() == 1 && reply[0] == SSH_AGENT_SUCCESS ? AGENT_OK : AGENT_E_UNLOCK;
}

BOOL OpenSshAgent::isLocked() {
    Bytes reply;
    // After every click the manager asks whether the agent is there, then
    // whether it is locked: one round trip answers both.
    if (!lockStateReply.empty() && GetTickCount() - lockStateReadAt < kLockStateFreshMs)
        reply.swap(lockStateReply);
    else if (!extension(kLockState, Bytes(), reply))
        return FALSE;
    lockStateReply.clear();
    return reply.size() == 2 && reply[1] != 0;
}

AgentStatus OpenSshAgent::getKeyList(KeyListEntry **entries, UINT32 *count) {
    if (!entries || !count) return AGENT_E_UNAVAILABLE;
    *entries = NULL;
    *count = 0;
    std::shared_ptr<KeyList> list = std::make_shared<KeyList>();
    if (!fetchKeys(list->held)) return AGENT_E_UNAVAILABLE;
    list->shown = shownKeys(list->held);
    // Keys that went take their fingerprints with them, now and then.
    if (fingerprints.size() > 2 * list->held.size() + 64) fingerprints.clear();
    list->entries.reserve(list->shown.size() + 1);
    for (const keylist::ShownKey &shown : list->shown) {
        KeyListEntry entry = {shown.name.c_str(), shown.typeCode, shown.detail.c_str()};
        list->entries.push_back(entry);
    }
    // An empty list still hands out an address of its own, so that the
    // matching freeKeyList finds it.
    *entries = list->entries.data();
    *count = UINT32(list->entries.size());
    handedOut[*entries] = list;
    lastList = list;
    return AGENT_OK;
}

void OpenSshAgent::freeKeyList(KeyListEntry **entries, UINT32 count) {
    if (!entries) return;
    auto given = handedOut.find(*entries);
    // Only what this object handed out, with its own count, is freed.
    if (given == handedOut.end() || given->second->entries.size() != count) return;
    handedOut.erase(given);
    *entries = NULL;
}

bool OpenSshAgent::addKeyFile(const char *path, const char *passphrase, std::uint32_t &outcome) {
    WireWriter w;
    w.string(std::string(path));
    putSecret(w, passphrase ? passphrase : "");
    Bytes reply;
    bool ok = extension(kAddKeyFileExtension, w.bytes(), reply);
    WireReader r(reply.data(), reply.size());
    std::uint8_t type;
    return ok && r.u8(type) && r.u32(outcome) && r.atEnd();
}

AgentStatus OpenSshAgent::addKey(const char *keyFilePath) {
    if (!keyFilePath || !keyFilePath[0]) return AGENT_E_ADD_KEYFILE;
    char passphrase[1024] = "";
    const char *given = NULL;
    AgentStatus status = AGENT_E_ADD_KEYFILE;
    for (unsigned asked = 0;;) {
        std::uint32_t outcome;
        if (!addKeyFile(keyFilePath, given, outcome)) {
            status = AGENT_E_ADD;
            break;
        }
        if (outcome == agentcore::KEYFILE_ADDED) status = AGENT_OK;
        if (outcome == agentcore::KEYFILE_REFUSED) status = AGENT_E_ADD;
        bool again = outcome == agentcore::KEYFILE_NEEDS_PASSPHRASE || outcome == agentcore::KEYFILE_WRONG_PASSPHRASE;
        if (!again || asked == kPassphraseTries) break;
        unsigned triesLeft = asked ? kPassphraseTries - asked : 0;
        if (!askKeyPassphrase(resources, window, keyFilePath, triesLeft, passphrase, sizeof passphrase)) break;
        ++asked;
        given = passphrase;
    }
    agentcore::wipeMemory(passphrase, sizeof passphrase);
    return status;
}

AgentStatus OpenSshAgent::generateKey(const char *keyPath, KeyTypeCode type, UINT32 bits) {
    closeAbandonedGeneration();
    if (!keyPath || !keyPath[0] || type < KEY_TYPE_ED25519 || type > KEY_TYPE_ECDSA) return AGENT_E_GENERATE;
    std::string path = keyPath;
    if (!std::strpbrk(keyPath, "\\/:")) {
        char keyFolder[MAX_PATH] = "";
        getUserKeyFolder(keyFolder);
        // Without an installation's folder value (a copied product, a
        // developer's run) the key goes where OpenSSH keeps it.
        if (!keyFolder[0] && !profileKeyFolder(keyFolder)) return AGENT_E_GENERATE;
        std::string bare(keyFolder);
        CreateDirectoryA(bare.substr(0, bare.size() - 1).c_str(), NULL);
        path = bare + keyPath;
    }
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, NULL);
    if (length == 0 || length >= sizeof full) return AGENT_E_GENERATE;

    WireWriter w;
    w.string(std::string(full));
    w.u32(std::uint32_t(type));
    w.u32(type == KEY_TYPE_ECDSA ? ecdsaCurveBits(bits) : bits);
    w.u32(GetCurrentThreadId());
    Bytes request = extensionRequest(kGenerateKey, w.take());
    Bytes reply;
    reply.reserve(kLargestGenerationAnswer);
    HANDLE connection = INVALID_HANDLE_VALUE;
    ServerProcess server;
    // An impostor gets nothing here either; it is reported by the next call
    // on the window's thread, not from this worker, which the manager may
    // end at any moment.
    if (openBlockingPipe(managerPipe, 5000, connection, server) != PipeFound::Agent) return AGENT_E_GENERATE;
    HANDLE self = NULL;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, SYNCHRONIZE, FALSE, 0);
    generationThread = self;
    generationPipe = connection;
    // From here to the answer only the pipe is touched: the manager may
    // end this thread at any moment.
    bool ok = blockingTransact(connection, request, reply) && !reply.empty() && reply[0] == SSH_AGENT_SUCCESS;
    generationPipe = INVALID_HANDLE_VALUE;
    generationThread = NULL;
    CloseHandle(connection);
    if (self) CloseHandle(self);
    return ok ? AGENT_OK : AGENT_E_GENERATE;
}

AgentStatus OpenSshAgent::removeKey(const char *keyName) {
    KeyList list;
    const keylist::HeldKey *key;
    if (!findKey(keyName, list, key)) return AGENT_E_REMOVE;
    WireWriter w;
    w.u8(SSH_AGENTC_REMOVE_IDENTITY);
    w.string(key->blob);
    Bytes reply;
    return request(w.take(), reply) && reply.size() == 1 && reply[0] == SSH_AGENT_SUCCESS ? AGENT_OK : AGENT_E_REMOVE;
}

AgentStatus OpenSshAgent::applyKeyText(const char *optionalText, const char *requiredText, const char *keyName) {
    KeyList list;
    const keylist::HeldKey *key;
    if (!findKey(keyName, list, key)) return AGENT_E_UNAVAILABLE;
    std::uint32_t seconds = 0;
    bool lifetime = optionalText && optionalText[0];
    if (lifetime && !keylist::parseLifetime(optionalText, keylist::lifetimeUnitsFrom(text(IDS_LIFETIME_UNITS)), seconds)) {
        char message[1536];
        std::snprintf(message, sizeof message, text(IDS_LIFETIME_UNREADABLE).c_str(), optionalText);
        MessageBoxA(window, message, text(IDS_LIBRARY_TITLE).c_str(), MB_OK | MB_ICONWARNING);
        return AGENT_E_UNAVAILABLE;
    }
    bool ok = true;
    if (requiredText && requiredText[0] && std::strcmp(requiredText, keyName) != 0) {
        WireWriter w;
        w.string(key->blob);
        w.string(std::string(requiredText));
        ok = succeeded(kRenameKey, w.take());
    }
    if (lifetime) {
        WireWriter w;
        w.string(key->blob);
        w.u32(seconds);
        ok = succeeded(kSetLifetime, w.take()) && ok;
    }
    return ok ? AGENT_OK : AGENT_E_UNAVAILABLE;
}

AgentStatus OpenSshAgent::exportPublicKey(const char *keyName, INT32 formatFlag, const char *destinationPath) {
    KeyList list;
    const keylist::HeldKey *key;
    if ((formatFlag != 0 && formatFlag != 1) || !destinationPath || !findKey(keyName, list, key)) return AGENT_E_EXPORT;
    agentcore::PublicKey pub;
    WireReader r(key->blob.data(), key->blob.size());
    if (!r.text(pub.typeName)) return AGENT_E_EXPORT;
    pub.blob = key->blob;
    std::string contents =
        formatFlag == 1 ? agentcore::rfc4716PublicKey(pub, key->comment) : agentcore::publicKeyLine(pub, key->comment);
    return writeFileAtomically(destinationPath, contents) ? AGENT_OK : AGENT_E_EXPORT;
}

// Windows' FIPS algorithm policy: the value of Vista and later, and the
// one XP read.
BOOL OpenSshAgent::isRestrictedMode() {
    return registryFlag("SYSTEM\\CurrentControlSet\\Control\\Lsa\\FipsAlgorithmPolicy", "Enabled") ||
           registryFlag("SYSTEM\\CurrentControlSet\\Control\\Lsa", "FIPSAlgorithmPolicy");
}
