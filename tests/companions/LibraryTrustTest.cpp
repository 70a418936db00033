// Whom the agent library trusts, and what it leaves behind: it opens the
// agent's pipe for identification only, writes nothing on a connection
// until Windows has named the server as the gkeyagent.exe beside the
// library running as this user, reports anything else once, and keeps no
// copy of a passphrase on the heap of the key manager's process.
#include "AgentLibraryFixture.h"
#include "HeapSearch.h"
#include "ImportPatch.h"
#include "LibraryResources.h"
#include "MessageBoxWatcher.h"
#include "SquatterProcess.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

using namespace librarytest;

// Long enough that a freed copy keeps its tail (from the 16th character)
// whole; literals, so that the test itself holds no copy on a heap.
const char *const kUnlockSecret = "Unlock-words-that-must-not-stay-on-the-heap-4711";
const char *const kKeySecret = "Library-dialog-passphrase-of-the-heap-test-0815";  // the fixture's

// The encrypted key of this folder's fixtures (GAGENT_LIBRARY_FIXTURES).
std::string encryptedKey() {
    const char *dir = std::getenv("GAGENT_LIBRARY_FIXTURES");
    return std::string(dir ? dir : "") + "\\ed25519-encrypted";
}

std::string lowered(std::string text) {
    for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Answers the library's key file dialog as a user does, key by key, so
// that the test leaves no copy of the passphrase on the way; other dialogs
// are left to the watcher.
std::function<bool(HWND)> typedKeyPassphrase(const char *passphrase) {
    return [passphrase](HWND dialog) {
        HWND field = GetDlgItem(dialog, IDC_PASSPHRASE_EDIT);
        if (!field || !(GetWindowLongA(field, GWL_STYLE) & ES_PASSWORD)) return false;
        for (const char *c = passphrase; *c; ++c) SendMessageA(field, WM_CHAR, static_cast<unsigned char>(*c), 0);
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        return true;
    };
}

class LibraryTrust : public AgentLibrary {};

TEST_F(LibraryTrust, AProgramOnTheAgentsPipeIsNamedOnceAndToldNothing) {
    Squatter squatter(pipe_, home_ + "\\squatter-read");
    ASSERT_TRUE(squatter.serving) << squatter.program;
    std::vector<SeenMessageBox> boxes;
    {
        // The questions an agent would bring about: the key file's
        // passphrase dialog is answered, should it come.
        MessageBoxWatcher watcher(typedKeyPassphrase(kKeySecret));
        EXPECT_TRUE(agent_->initialize());
        agent_->attachWindow(window_);
        EXPECT_FALSE(agent_->isAgentAvailable());
        EXPECT_EQ(agent_->unlock(kUnlockSecret), AGENT_E_UNLOCK);
        EXPECT_NE(agent_->addKey(encryptedKey().c_str()), AGENT_OK);
        EXPECT_EQ(agent_->generateKey((home_ + "\\keys\\generated").c_str(), KEY_TYPE_ED25519, 0), AGENT_E_GENERATE);
        EXPECT_FALSE(agent_->isLocked());
        EXPECT_FALSE(agent_->isAgentAvailable());
        boxes = watcher.stop();
    }
    EXPECT_EQ(agentWindow(0), nullptr) << "an agent was started against the program";

    std::string heard = squatter.stop();
    EXPECT_EQ(heard.find(kUnlockSecret), std::string::npos) << "it read the unlock passphrase";
    EXPECT_EQ(heard.find(kKeySecret), std::string::npos) << "it read the key file's passphrase";
    EXPECT_EQ(heard.size(), 0u) << "it read requests";

    ASSERT_EQ(boxes.size(), 1u) << "told once, whatever was called";
    EXPECT_EQ(boxes[0].caption, kTitle);
    std::string text = lowered(boxes[0].text);
    EXPECT_NE(text.find(lowered(squatter.program) + " (process " + std::to_string(squatter.processId()) + ")"),
              std::string::npos)
        << boxes[0].text;
}

// Windows XP cannot name a pipe's server; without that name nothing is
// trusted, the agent the library started itself included.
FARPROC WINAPI withoutPipeServerCall(HMODULE module, LPCSTR name) {
    if (!IS_INTRESOURCE(name) && std::strcmp(name, "GetNamedPipeServerProcessId") == 0) return nullptr;
    return GetProcAddress(module, name);
}

TEST_F(LibraryTrust, WithoutTheCallThatNamesAPipesServerAsOnXpNothingIsTrusted) {
    ASSERT_NE(replaceImport(library_->handle(), "kernel32.dll", "GetProcAddress",
                            reinterpret_cast<void *>(&withoutPipeServerCall)),
              nullptr);
    MessageBoxWatcher watcher;
    EXPECT_TRUE(agent_->initialize());
    agent_->attachWindow(window_);
    EXPECT_FALSE(agent_->isAgentAvailable());
    EXPECT_EQ(agent_->unlock(kUnlockSecret), AGENT_E_UNLOCK);
    std::vector<SeenMessageBox> boxes = watcher.stop();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("an unknown program (process 0)"), std::string::npos) << boxes[0].text;
    agentWindow(5000);  // started, though never trusted: found, so that the fixture ends it
}

// Wine gives a pipe's server impersonation whatever level the client asked
// for (ImpersonateNamedPipeClient, then TokenImpersonationLevel, answers
// SecurityImpersonation for anonymous and identification alike), so the
// level is seen where the library asks for it: the flags of each open.
std::vector<DWORD> g_pipeOpenFlags;
const DWORD kLevelBits = 3 << 16;  // SECURITY_ANONYMOUS to SECURITY_DELEGATION

HANDLE WINAPI recordingCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE model) {
    if (name && _strnicmp(name, "\\\\.\\pipe\\", 9) == 0) g_pipeOpenFlags.push_back(flags);
    return CreateFileA(name, access, share, security, disposition, flags, model);
}

TEST_F(LibraryTrust, EveryPipeIsOpenedForIdentificationOnly_SeenInItsFlagsSinceWineImpersonatesAtAnyLevel) {
    g_pipeOpenFlags.clear();
    ASSERT_NE(replaceImport(library_->handle(), "kernel32.dll", "CreateFileA",
                            reinterpret_cast<void *>(&recordingCreateFileA)),
              nullptr);
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_TRUE(agent_->isAgentAvailable());
    ASSERT_EQ(agent_->generateKey((home_ + "\\keys\\generated").c_str(), KEY_TYPE_ED25519, 0), AGENT_OK);
    bool overlapped = false, blocking = false;
    for (DWORD flags : g_pipeOpenFlags) {
        EXPECT_EQ(flags & (SECURITY_SQOS_PRESENT | kLevelBits), SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION)
            << std::hex << flags;
        (flags & FILE_FLAG_OVERLAPPED ? overlapped : blocking) = true;
    }
    EXPECT_TRUE(overlapped) << "the connection of every request";
    EXPECT_TRUE(blocking) << "the connection of a key generation";
}

// Every block OPENSSH.DLL gives back to the C runtime (its free, which
// its operator delete calls), read as it goes: a freed copy is soon
// written over by the next allocation, so a later look at the heap would
// miss it.
class LibraryReleases {
public:
    LibraryReleases(HMODULE watched, std::vector<const char *> watchedSecrets) : library(watched) {
        secrets = std::move(watchedSecrets);
        copies = 0;
        blockSize = reinterpret_cast<SizeOf>(
            reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_msize")));
        realFree = reinterpret_cast<Free>(
            replaceImport(library, "msvcrt.dll", "free", reinterpret_cast<void *>(&recordingFree)));
    }
    ~LibraryReleases() {
        if (realFree) replaceImport(library, "msvcrt.dll", "free", reinterpret_cast<void *>(realFree));
    }
    bool watching() const { return realFree && blockSize; }
    // Blocks released with one of the secrets still in them.
    int unwipedCopies() const { return copies; }

private:
    typedef void(__cdecl *Free)(void *);
    typedef size_t(__cdecl *SizeOf)(void *);

    static void __cdecl recordingFree(void *block) {
        if (block) {
            const char *bytes = static_cast<const char *>(block);
            std::size_t size = blockSize(block);
            for (const char *secret : secrets)
                if (std::search(bytes, bytes + size, secret, secret + std::strlen(secret)) != bytes + size) ++copies;
        }
        realFree(block);
    }

    HMODULE library;
    static std::vector<const char *> secrets;
    static int copies;
    static Free realFree;
    static SizeOf blockSize;
};

std::vector<const char *> LibraryReleases::secrets;
int LibraryReleases::copies;
LibraryReleases::Free LibraryReleases::realFree;
LibraryReleases::SizeOf LibraryReleases::blockSize;

// The library's own copies (the unlock request, the key file request) as
// they are released, and the dialog's field, whose buffer the edit
// control frees with itself, in the heaps afterwards.
TEST_F(LibraryTrust, PassphrasesLeaveNoCopyOnTheHeap) {
    LibraryReleases releases(library_->handle(), {kUnlockSecret, kKeySecret});
    ASSERT_TRUE(releases.watching());
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(agent_->unlock(kUnlockSecret), AGENT_E_UNLOCK) << "the agent is not locked";
    {
        MessageBoxWatcher watcher(typedKeyPassphrase(kKeySecret));
        EXPECT_EQ(agent_->addKey(encryptedKey().c_str()), AGENT_OK);
        EXPECT_TRUE(watcher.stop().empty());
    }
    EXPECT_EQ(releases.unwipedCopies(), 0) << "blocks the library released with a passphrase in them";
    heapsearch::Found unlock = heapsearch::inHeaps(kUnlockSecret + 16);
    heapsearch::Found key = heapsearch::inHeaps(kKeySecret + 16);
    EXPECT_EQ(unlock.ansi + unlock.wide, 0) << unlock.ansi << " and " << unlock.wide << " (UTF-16) copies";
    EXPECT_EQ(key.ansi, 0) << "copies of the key file's passphrase";
    EXPECT_EQ(key.wide, 0) << "UTF-16 copies of the key file's passphrase, as the field holds it";
    EXPECT_EQ(listed().size(), 1u) << "the key was added with the passphrase typed";
}

// The agent the library starts cannot take the public pipe: the library's
// message names the program holding it, and when that program lies where
// Windows installs its own OpenSSH agent, names the service and the two
// commands that stop and disable it.
class PipeTaken : public AgentLibrary {
protected:
    std::string toldWhileStarting() {
        MessageBoxWatcher watcher;
        EXPECT_TRUE(agent_->initialize());
        agent_->attachWindow(window_);
        EXPECT_FALSE(agent_->isAgentAvailable());
        std::vector<SeenMessageBox> boxes = watcher.stop();
        EXPECT_EQ(boxes.size(), 1u);
        return boxes.empty() ? std::string() : boxes[0].text;
    }
};

TEST_F(PipeTaken, TheProgramHoldingThePublicPipeIsNamedWithItsProcess) {
    Squatter squatter(pipe_, home_ + "\\squatter-read", Holds::PublicPipe);
    ASSERT_TRUE(squatter.serving) << squatter.program;
    std::string text = toldWhileStarting();
    EXPECT_NE(lowered(text).find(lowered(squatter.program) + " (process " + std::to_string(squatter.processId()) + ")"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("sc.exe"), std::string::npos) << "no service to stop: " << text;
    EXPECT_EQ(squatter.stop().size(), 0u) << "the library wrote to it";
}

// Wine brings no OpenSSH of Windows; a program started from the
// service's file path stands in for it.
TEST_F(PipeTaken, AProgramAtTheServicesPathIsNamedAsWindowsOwnAgentWithTheCommandsThatStopIt) {
    ServicePath path;
    ASSERT_TRUE(path.free) << "a real " << path.program << " is not replaced";
    {
        Squatter service(pipe_, home_ + "\\service-read", Holds::PublicPipe, path.program);
        ASSERT_EQ(service.program, path.program);
        ASSERT_TRUE(service.serving);
        std::string text = toldWhileStarting();
        EXPECT_NE(text.find("\"OpenSSH Authentication Agent\" (ssh-agent)"), std::string::npos) << text;
        EXPECT_NE(text.find("(process " + std::to_string(service.processId()) + ")"), std::string::npos) << text;
        EXPECT_NE(text.find("sc.exe stop ssh-agent\n"), std::string::npos) << text;
        EXPECT_NE(text.find("sc.exe config ssh-agent start= disabled\n"), std::string::npos) << text;
        EXPECT_NE(text.find(pipe_), std::string::npos) << text;
    }
}

// The service's file is elsewhere here, as it may be where the file
// cannot be read: the process the service control manager names for
// ssh-agent is enough.
TEST_F(PipeTaken, TheRunningSshAgentServiceIsKnownByItsProcess) {
    SshAgentService service(pipe_, home_ + "\\service-read");
    ASSERT_TRUE(service.running());
    std::string text = toldWhileStarting();
    EXPECT_NE(text.find("\"OpenSSH Authentication Agent\" (ssh-agent)"), std::string::npos) << text;
    EXPECT_NE(text.find("(process " + std::to_string(service.processId()) + ")"), std::string::npos) << text;
    EXPECT_NE(text.find("sc.exe stop ssh-agent\n"), std::string::npos) << text;
}

}  // namespace
