// The staged agent's safeguards under Wine: the manager's window messages
// with their answers, the policies kept across a restart in the file the
// manager reads, the agent passphrase kept as a verifier, the confirm
// dialog answered and left alone, lifetimes, and the log.
#include "KeyAgentHarness.h"

#include "Driver.h"
#include "GalleryPicture.h"
#include "IAgent.h"
#include "Key.h"
#include "PageantClient.h"
#include "SettingsReader.h"
#include "SquatterProcess.h"

#include <cstring>
#include <functional>

using namespace agenttest;

namespace {


Bytes removeEdRequest() {
    WireWriter w;
    w.u8(18);
    w.string(edBlob());
    return w.take();
}

std::size_t listed(Client& c) {
    Bytes answer = c.call(Bytes{11});
    return answer.size() >= 5 && answer[0] == 12 ? answer[4] : 999;
}

// Read back as Unicode, so that no code page stands between the resource
// and the comparison.
std::wstring wideText(HWND dialog, int id = 0) {
    wchar_t text[512] = L"";
    if (id) GetDlgItemTextW(dialog, id, text, 512);
    else GetWindowTextW(dialog, text, 512);
    return text;
}

// A host the test's connections are bound to, as ssh binds them after its
// key exchange: the host key's own signature of the session's id.
struct TestHost {
    std::unique_ptr<agentcore::PrivateKey> key;
    explicit TestHost(const char* name) {
        agentcore::initCrypto();
        agentcore::generateKey(agentcore::KeyKind::Ed25519, 0, name, key);
    }
    const Bytes& blob() const { return key->pub.blob; }
    std::string fingerprint() const { return agentcore::fingerprintSha256(blob()); }
    Bytes bind(const Bytes& sessionId, bool forwarding) const {
        Bytes signature;
        agentcore::signData(*key, sessionId.data(), sessionId.size(), 0, signature);
        WireWriter w;
        w.string(blob());
        w.string(sessionId);
        w.string(signature);
        w.boolean(forwarding);
        return extension("session-bind@openssh.com", w.bytes());
    }
};

// What ssh signs for a login with the held key: the session, the user and
// the host key the session was bound to.
Bytes loginRequest(const Bytes& sessionId, const std::string& user, const Bytes& hostKey) {
    WireWriter data;
    data.string(sessionId);
    data.u8(50);  // SSH2_MSG_USERAUTH_REQUEST
    data.string(user);
    data.string(std::string("ssh-connection"));
    data.string(std::string("publickey-hostbound-v00@openssh.com"));
    data.boolean(true);
    data.string(std::string("ssh-ed25519"));
    data.string(edBlob());
    data.string(hostKey);
    WireWriter w;
    w.u8(13);
    w.string(edBlob());
    w.string(data.bytes());
    w.u32(0);
    return w.take();
}

// A connection as ssh makes one: bound to each host in turn, for
// forwarding to all but the last, then a login to the last one. No hosts:
// a connection never bound, signing the harness's data.
struct Route {
    std::vector<Bytes> bindings;
    Bytes signature = signRequest();
};

Route routeThrough(const std::vector<const TestHost*>& hosts, const std::string& user = "alice") {
    static std::uint8_t sessions;
    Route route;
    Bytes sessionId;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        sessionId = Bytes(32, ++sessions);
        route.bindings.push_back(hosts[i]->bind(sessionId, i + 1 < hosts.size()));
    }
    if (!hosts.empty()) route.signature = loginRequest(sessionId, user, hosts.back()->blob());
    return route;
}

// One hop of restrict-destination-v00@openssh.com as ssh-add -h sends it:
// user, host, and the host keys known_hosts gave for it.
Bytes destinationHop(const std::string& host, const TestHost* key) {
    WireWriter w;
    w.string(std::string());
    w.string(host);
    w.string(Bytes());
    if (key) {
        w.string(key->blob());
        w.boolean(false);
    }
    return w.take();
}

// The constraint, each of its parts a hop from a host (empty: this
// machine) to a host.
Bytes restrictDestination(const std::vector<std::pair<Bytes, Bytes>>& fromTo) {
    WireWriter all;
    for (const auto& hops : fromTo) {
        WireWriter one;
        one.string(hops.first);
        one.string(hops.second);
        one.string(Bytes());
        all.string(one.bytes());
    }
    WireWriter w;
    w.u8(255);
    w.string(std::string("restrict-destination-v00@openssh.com"));
    w.string(all.bytes());
    return w.take();
}

// A signature on a thread of its own, so that the test can answer the
// dialog it raises; the connection is bound first, on the test's thread.
struct PendingSignature {
    Client client;
    Bytes answer;
    bool bound = true;
    std::thread thread;
    explicit PendingSignature(const std::string& pipe, const Route& route = Route()) : client(pipe) {
        for (const Bytes& binding : route.bindings) bound = bound && client.call(binding) == kSuccess;
        Bytes request = route.signature;
        thread = std::thread([this, request] {
            if (client.send(request)) answer = client.receive(scaled(20000));
        });
    }
    bool signedIt() {
        thread.join();
        return !answer.empty() && answer[0] == 14;
    }
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

int countContaining(const std::vector<std::string>& all, const std::string& part) {
    int n = 0;
    for (const std::string& l : all) n += l.find(part) != std::string::npos;
    return n;
}

struct ReadFlags {
    INT32 confirmKeyOp = 0, allowAdd = 1, allowDelete = 1;
};

int nextChar(void* context) {
    auto* f = static_cast<std::FILE*>(context);
    return std::fgetc(f);
}

// The settings file through the manager's own reader.
bool readSettings(const std::string& path, ReadFlags& flags) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return false;
    CharacterSource source = {nextChar, f};
    AgentPolicyFlags target = {&flags.confirmKeyOp, &flags.allowAdd, &flags.allowDelete, nullptr};
    applyAgentSettings(source, target);
    std::fclose(f);
    return true;
}

class KeyAgentConfirm : public KeyAgent {
protected:
    std::string agentArguments() override { return "--confirm-timeout 3"; }
};

// The installation's language as the installer records it, read by the
// installer-support library beside the agent and its library; set before
// the fixture starts the agent.
class KeyAgentInLanguage : public KeyAgentConfirm {
protected:
    explicit KeyAgentInLanguage(const std::string& folder) : language_("Language", folder, REG_SZ) {}
    ProductValue language_;
};

// The stage's agent library in this process, serving the test's pipe.
struct StagedLibrary {
    HMODULE module = nullptr;
    IAgent* agent = nullptr;
    explicit StagedLibrary(const std::string& pipe) {
        SetEnvironmentVariableA("SSH_AUTH_SOCK", pipe.c_str());
        module = LoadLibraryA((stageDir() + "\\" AGENT_LIBRARY_NAME).c_str());
        auto create = module ? reinterpret_cast<NewIAgentFunction>(
                                   reinterpret_cast<void*>(GetProcAddress(module, NEW_IAGENT_EXPORT)))
                             : nullptr;
        if (create && create(AGENT_INTERFACE_ID, &agent) == AGENT_OK) agent->initialize();
    }
    ~StagedLibrary() {
        if (agent) agent->destroy(1);
        if (module) FreeLibrary(module);
        SetEnvironmentVariableA("SSH_AUTH_SOCK", nullptr);
    }
};

// An encrypted key file added on a thread of its own, which the library's
// passphrase dialog then holds until the test answers it.
struct PendingAdd {
    std::atomic<AgentStatus> status{-1};
    std::thread thread;
    PendingAdd(IAgent* agent, const char* file) : thread([this, agent, file] { status = agent->addKey(file); }) {}
    AgentStatus finish() {
        thread.join();
        return status;
    }
};

const char* encryptedKeyFile() {
    const char* file = std::getenv("GAGENT_TEST_ENCRYPTED_KEY");
    return file ? file : "";
}

}  // namespace

TEST_F(KeyAgent, ThePassphraseMessageAcceptsOnlyTheManagersPayloadAndTheRightCurrentPassphrase) {
    AttachedWindow manager(pipe_);
    HWND m = manager.window;
    const std::string longest(127, 'p');
    EXPECT_EQ(sendPassphrase(window_, m, "", "", 511), 0) << "short";
    EXPECT_EQ(sendPassphrase(window_, m, "", "", 513), 0) << "long";
    EXPECT_EQ(sendPassphrase(window_, m, "", "first", 512, false), 0) << "a text that does not end in its field";
    EXPECT_NE(sendPassphrase(window_, m, "", ""), 0) << "empty matches none, and empty leaves none";
    EXPECT_EQ(sendPassphrase(window_, m, "something", "first"), 0) << "none is set: only the empty text matches";
    EXPECT_NE(sendPassphrase(window_, m, "", longest), 0);
    EXPECT_EQ(sendPassphrase(window_, m, "", "second"), 0) << "once set, the empty text no longer matches";
    EXPECT_EQ(sendPassphrase(window_, m, longest.substr(1), "second"), 0);
    COPYDATASTRUCT other = {COPYDATA_AGENT_PASSPHRASE + 1, 0, nullptr};
    EXPECT_EQ(SendMessageA(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&other)), 0) << "another dwData";

    // The 127-character passphrase locks the agent and unlocks it.
    Client c(pipe_);
    ASSERT_EQ(c.call(addEdRequest()), kSuccess);
    EXPECT_EQ(c.call(extension("lock-with-agent-passphrase@glimmerpad")), kSuccess);
    EXPECT_TRUE(isLocked(c));
    EXPECT_EQ(listed(c), 0u);
    EXPECT_EQ(c.call(lockRequest(23, longest)), kSuccess);
    EXPECT_EQ(listed(c), 1u);
    EXPECT_NE(sendPassphrase(window_, m, longest, ""), 0) << "an empty new passphrase clears it";
    EXPECT_EQ(c.call(extension("lock-with-agent-passphrase@glimmerpad")), Bytes{28});
}

TEST_F(KeyAgent, ResetRemovesEveryKeyClearsThePassphraseAndUnlocks) {
    HWND listener = makeWindow();
    Client c(pipe_);
    ASSERT_EQ(c.call(attachRequest(listener)), kSuccess);
    ASSERT_EQ(c.call(addEdRequest()), kSuccess);
    ASSERT_NE(sendPassphrase(window_, listener, "", "agent secret"), 0);
    ASSERT_EQ(c.call(lockRequest(22, "client secret")), kSuccess);
    EXPECT_GE(refreshesWithin(listener, scaled(5000)), 1) << "a lock is announced";
    EXPECT_EQ(SendMessageA(window_, WM_AGENT_RESET, 0, 0), 1);
    EXPECT_GE(refreshesWithin(listener, scaled(5000)), 1) << "and so is a reset";
    EXPECT_FALSE(isLocked(c));
    EXPECT_EQ(listed(c), 0u);
    EXPECT_NE(sendPassphrase(window_, listener, "", "new"), 0) << "no passphrase was left to match";
    EXPECT_EQ(SendMessageA(window_, WM_AGENT_LOCK_CHANGED, 0, 0), 1) << "acknowledged";
    DestroyWindow(listener);
}

// Any program on the desktop can send the agent's window a message: the
// manager's count only while a window attached through the manager's pipe
// is there, and the passphrase only from that window.
TEST_F(KeyAgent, TheManagersWindowMessagesCountOnlyWhileItsWindowIsAttached) {
    Client c(pipe_);
    ASSERT_EQ(c.call(addEdRequest()), kSuccess);
    HWND stranger = makeWindow();
    EXPECT_EQ(SendMessageA(window_, WM_AGENT_SET_ALLOW_ADD, 0, 0), 0);
    EXPECT_EQ(SendMessageA(window_, WM_AGENT_SET_ALLOW_DELETE, 0, 0), 0);
    EXPECT_EQ(SendMessageA(window_, WM_AGENT_SET_CONFIRM, 0, 1), 0);
    EXPECT_EQ(SendMessageA(window_, WM_AGENT_RESET, 0, 0), 0);
    EXPECT_EQ(sendPassphrase(window_, stranger, "", "taken over"), 0);
    EXPECT_EQ(listed(c), 1u) << "not reset";
    EXPECT_EQ(c.call(removeEdRequest()), kSuccess) << "AllowDelete stayed on";
    EXPECT_EQ(c.call(addEdRequest()), kSuccess) << "AllowAdd stayed on";
    EXPECT_EQ(c.call(extension("lock-with-agent-passphrase@glimmerpad")), Bytes{28}) << "no agent passphrase was set";
    std::vector<std::string> log = lines(readFile(log_));
    EXPECT_EQ(countContaining(log, "policy ConfirmKeyOp yes: refused, no key manager is attached"), 1);
    EXPECT_EQ(countContaining(log, "set agent passphrase: refused, not from an attached key manager window"), 1);
    {
        AttachedWindow manager(pipe_);
        EXPECT_EQ(sendPassphrase(window_, stranger, "", "taken over"), 0) << "not the window attached";
        EXPECT_EQ(sendPassphrase(window_, nullptr, "", "taken over"), 0);
        EXPECT_NE(sendPassphrase(window_, manager.window, "", "the manager's"), 0);
        EXPECT_EQ(SendMessageA(window_, WM_AGENT_SET_ALLOW_DELETE, 0, 0), 1);
        EXPECT_EQ(c.call(removeEdRequest()), Bytes{5});
        EXPECT_EQ(SendMessageA(window_, WM_AGENT_SET_ALLOW_DELETE, 0, 1), 1);
    }
    EXPECT_EQ(SendMessageA(window_, WM_AGENT_RESET, 0, 0), 0) << "its window gone, the manager is gone";
    EXPECT_EQ(listed(c), 1u);
    EXPECT_EQ(c.call(extension("lock-with-agent-passphrase@glimmerpad")), kSuccess) << "the manager's passphrase";
    DestroyWindow(stranger);
}

TEST_F(KeyAgent, PoliciesApplyToEveryClientAtOnceAndSurviveARestartWithThePassphrase) {
    AttachedWindow manager(pipe_);
    const std::string settings = home_ + "\\.ssh\\gAgent";
    Client first(pipe_), second(pipe_);
    ASSERT_EQ(first.call(addEdRequest()), kSuccess);
    SendMessageA(window_, WM_AGENT_SET_ALLOW_ADD, 0, 0);
    SendMessageA(window_, WM_AGENT_SET_ALLOW_DELETE, 0, 0);
    for (Client* c : {&first, &second}) {
        EXPECT_EQ(c->call(addEdRequest()), Bytes{5});
        EXPECT_EQ(c->call(constrainedAdd(Bytes{2})), Bytes{5});
        EXPECT_EQ(c->call(removeEdRequest()), Bytes{5});
        EXPECT_EQ(c->call(Bytes{19}), Bytes{5});
    }
    EXPECT_EQ(listed(second), 1u);
    ReadFlags flags;
    ASSERT_TRUE(readSettings(settings, flags)) << "written in the key folder";
    EXPECT_EQ(flags.allowAdd, 0);
    EXPECT_EQ(flags.allowDelete, 0);
    EXPECT_EQ(flags.confirmKeyOp, 0);
    EXPECT_EQ(GetFileAttributesA((settings + ".new").c_str()), INVALID_FILE_ATTRIBUTES) << "no half-made file left";

    SendMessageA(window_, WM_AGENT_SET_ALLOW_DELETE, 0, 1);
    ASSERT_NE(sendPassphrase(window_, manager.window, "", "kept"), 0);
    std::string stored = readFile(home_ + "\\AppData\\Glimmerpad\\gkeyagent-passphrase");
    EXPECT_EQ(stored.rfind("scrypt ", 0), 0u) << stored;
    EXPECT_EQ(stored.find("kept"), std::string::npos);

    restartAgent();
    manager.attachTo(pipe_);
    Client after(pipe_);
    EXPECT_EQ(after.call(addEdRequest()), Bytes{5}) << "AllowAdd off was read at start";
    SendMessageA(window_, WM_AGENT_SET_ALLOW_ADD, 0, 1);
    ASSERT_EQ(after.call(addEdRequest()), kSuccess);
    EXPECT_EQ(after.call(extension("lock-with-agent-passphrase@glimmerpad")), kSuccess);
    EXPECT_EQ(after.call(lockRequest(23, "wrong")), Bytes{5});
    EXPECT_EQ(after.call(lockRequest(23, "kept")), kSuccess);
    EXPECT_EQ(after.call(removeEdRequest()), kSuccess) << "AllowDelete on again was kept";
    ReadFlags now;
    ASSERT_TRUE(readSettings(settings, now));
    EXPECT_EQ(now.allowAdd, 1);
    EXPECT_EQ(now.allowDelete, 1);
}

TEST_F(KeyAgent, AKeyWithALifetimeGoesOnTimeAndTheWindowsAreTold) {
    HWND listener = makeWindow();
    Client c(pipe_);
    ASSERT_EQ(c.call(attachRequest(listener)), kSuccess);
    ASSERT_EQ(c.call(constrainedAdd(Bytes{1, 0, 0, 0, 1})), kSuccess);
    ASSERT_GE(refreshesWithin(listener, scaled(5000)), 1);
    DWORD added = GetTickCount();
    EXPECT_EQ(listed(c), 1u);
    // Nobody asks the agent anything: it must notice by itself.
    EXPECT_GE(refreshesWithin(listener, scaled(5000)), 1) << "told of the expiry";
    EXPECT_GE(GetTickCount() - added, 800u) << "not before its time";
    EXPECT_EQ(listed(c), 0u);
    EXPECT_EQ(c.call(constrainedAdd(Bytes{9})), Bytes{5}) << "an unknown constraint refuses the add";
    EXPECT_EQ(listed(c), 0u);
    DestroyWindow(listener);
}

TEST_F(KeyAgentConfirm, TheDialogNamesKeyAndProgramAndOnlyYesLetsTheSignatureThrough) {
    Client setup(pipe_);
    ASSERT_EQ(setup.call(constrainedAdd(Bytes{2})), kSuccess);
    {
        PendingSignature pending(pipe_);
        HWND dialog = waitForConfirmDialog(scaled(10000));
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(controlText(dialog, kKeyNameControl), "rfc8032 test 1");
        EXPECT_EQ(controlText(dialog, kFingerprintControl).rfind("SHA256:", 0), 0u);
        EXPECT_NE(controlText(dialog, kProgramControl).find("keyagent_tests.exe"), std::string::npos)
            << controlText(dialog, kProgramControl);
        EXPECT_EQ(LOWORD(SendMessageA(dialog, DM_GETDEFID, 0, 0)), IDNO) << "No is the default";
        PostMessageA(dialog, WM_COMMAND, IDYES, 0);
        EXPECT_TRUE(pending.signedIt());
        EXPECT_TRUE(waitGone(dialog, scaled(3000)));
    }
    {
        PendingSignature pending(pipe_);
        HWND dialog = waitForConfirmDialog(scaled(10000));
        ASSERT_NE(dialog, nullptr);
        DWORD asked = GetTickCount();
        PostMessageA(dialog, WM_COMMAND, IDNO, 0);
        EXPECT_FALSE(pending.signedIt());
        EXPECT_LT(GetTickCount() - asked, 2500u) << "No answers at once, not at the time-out";
        EXPECT_FALSE(pending.answer.empty()) << "a refusal, not a broken connection";
        EXPECT_TRUE(waitGone(dialog, scaled(3000)));
    }
    // The same rule for every key once ConfirmKeyOp is on.
    AttachedWindow manager(pipe_);
    ASSERT_EQ(SendMessageA(window_, WM_AGENT_SET_CONFIRM, 0, 1), 1);
    ASSERT_EQ(setup.call(removeEdRequest()), kSuccess);
    ASSERT_EQ(setup.call(addEdRequest()), kSuccess);
    {
        PendingSignature pending(pipe_);
        HWND dialog = waitForConfirmDialog(scaled(10000));
        ASSERT_NE(dialog, nullptr);
        PostMessageA(dialog, WM_CLOSE, 0, 0);
        EXPECT_FALSE(pending.signedIt());
    }
}

TEST_F(KeyAgentConfirm, AnUnansweredDialogDeniesAfterItsTimeAndOtherClientsAreServedMeanwhile) {
    Client setup(pipe_);
    ASSERT_EQ(setup.call(constrainedAdd(Bytes{2})), kSuccess);
    DWORD start = GetTickCount();
    PendingSignature pending(pipe_);
    HWND dialog = waitForConfirmDialog(scaled(10000));
    ASSERT_NE(dialog, nullptr);
    Client other(pipe_);
    EXPECT_EQ(listed(other), 1u);
    EXPECT_EQ(other.call(removeEdRequest()), kSuccess) << "served while the question is open";
    EXPECT_TRUE(IsWindow(dialog));
    // The countdown's every step reads as English does, down to its last.
    std::string countdown;
    while (IsWindow(dialog) && countdown != "Denied in 1 second") {
        countdown = controlText(dialog, kCountdownControl);
        EXPECT_NE(countdown, "Denied in 1 seconds");
        Sleep(20);
    }
    EXPECT_EQ(countdown, "Denied in 1 second");
    EXPECT_FALSE(pending.signedIt());
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 2500u);
    EXPECT_LT(waited, scaled(10000));
    EXPECT_TRUE(waitGone(dialog, scaled(3000))) << "the dialog went with its time";
}

// The host key and the forwarding come from the connection's bindings,
// which every ssh since 8.9 makes: shown for any key that asks.
TEST_F(KeyAgentConfirm, TheDialogShowsTheHostKeyOfTheConnectionAndThroughHowManyHostsItCame) {
    Client setup(pipe_);
    ASSERT_EQ(setup.call(constrainedAdd(Bytes{2})), kSuccess);
    TestHost a("host a"), b("host b"), c("host c");
    const struct {
        Route route;
        const TestHost* host;
        const char* forwarded;
        bool allow;
    } cases[] = {
        {Route(), nullptr, "", false},
        {routeThrough({&a}), &a, "", true},
        {routeThrough({&a, &b}), &b, "Forwarded through 1 host", true},
        {routeThrough({&a, &b, &c}), &c, "Forwarded through 2 hosts", false},
    };
    std::vector<LONG> heights;
    for (const auto& hop : cases) {
        SCOPED_TRACE(hop.route.bindings.size());
        PendingSignature pending(pipe_, hop.route);
        ASSERT_TRUE(pending.bound);
        HWND dialog = waitForConfirmDialog(scaled(10000));
        ASSERT_NE(dialog, nullptr);
        RECT outer;
        GetWindowRect(dialog, &outer);
        heights.push_back(outer.bottom - outer.top);
        HWND label = GetDlgItem(dialog, kHostLabelControl), host = GetDlgItem(dialog, kHostControl);
        ASSERT_TRUE(label && host) << "the dialog has a line for the host";
        if (hop.host) {
            EXPECT_TRUE(IsWindowVisible(label) && IsWindowVisible(host));
            EXPECT_EQ(controlText(dialog, kHostLabelControl), "Host key:");
            EXPECT_EQ(controlText(dialog, kHostControl), hop.host->fingerprint());
        } else {
            EXPECT_FALSE(IsWindowVisible(label) || IsWindowVisible(host)) << "a connection never bound names no host";
        }
        EXPECT_EQ(controlText(dialog, kForwardedControl), hop.forwarded);
        PostMessageA(dialog, WM_COMMAND, hop.allow ? IDYES : IDNO, 0);
        EXPECT_EQ(pending.signedIt(), hop.allow);
        EXPECT_TRUE(waitGone(dialog, scaled(3000)));
    }
    // A line with nothing to say leaves no gap before the question.
    EXPECT_LT(heights[0], heights[1]);
    EXPECT_LT(heights[1], heights[2]);
    EXPECT_EQ(heights[2], heights[3]);
}

// A key held to destinations (ssh-add -c -h host-a -h "host-a>host-b")
// names the host as the hop the connection matched.
TEST_F(KeyAgentConfirm, TheDialogNamesTheHostAsTheKeysDestinationsDo) {
    TestHost a("host a"), b("host b");
    Bytes constraints{2};
    Bytes destinations = restrictDestination({{destinationHop("", nullptr), destinationHop("host-a", &a)},
                                              {destinationHop("host-a", &a), destinationHop("host-b", &b)}});
    constraints.insert(constraints.end(), destinations.begin(), destinations.end());
    Client setup(pipe_);
    ASSERT_EQ(setup.call(constrainedAdd(constraints)), kSuccess) << "a key held to destinations";
    const struct {
        Route route;
        const char* host;
        const char* forwarded;
    } cases[] = {
        {routeThrough({&a}), "host-a", ""},
        {routeThrough({&a, &b}), "host-b", "Forwarded through 1 host"},
    };
    for (const auto& hop : cases) {
        SCOPED_TRACE(hop.host);
        PendingSignature pending(pipe_, hop.route);
        ASSERT_TRUE(pending.bound);
        HWND dialog = waitForConfirmDialog(scaled(10000));
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(controlText(dialog, kHostLabelControl), "Host:");
        EXPECT_EQ(controlText(dialog, kHostControl), hop.host);
        EXPECT_EQ(controlText(dialog, kForwardedControl), hop.forwarded);
        PostMessageA(dialog, WM_COMMAND, IDYES, 0);
        EXPECT_TRUE(pending.signedIt());
        EXPECT_TRUE(waitGone(dialog, scaled(3000)));
    }
}

TEST_F(KeyAgent, TheLogHoldsALinePerEventAndNoSecret) {
    AttachedWindow manager(pipe_);
    Client c(pipe_);
    ASSERT_EQ(c.call(addEdRequest()), kSuccess);
    ASSERT_EQ(c.call(signRequest())[0], 14);
    ASSERT_NE(sendPassphrase(window_, manager.window, "", "agent-secret-42"), 0);
    ASSERT_EQ(c.call(lockRequest(22, "lock-secret-17")), kSuccess);
    ASSERT_EQ(c.call(lockRequest(23, "guess-secret-99")), Bytes{5});
    ASSERT_EQ(c.call(lockRequest(23, "lock-secret-17")), kSuccess);
    SendMessageA(window_, WM_AGENT_SET_ALLOW_DELETE, 0, 0);
    ASSERT_EQ(c.call(removeEdRequest()), Bytes{5});
    std::string text = readFile(log_);
    std::vector<std::string> all = lines(text);
    for (const char* secret : {"agent-secret", "lock-secret", "guess-secret"})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    EXPECT_EQ(countContaining(all, "add key \"rfc8032 test 1\" SHA256:"), 1);
    EXPECT_EQ(countContaining(all, "sign key \"rfc8032 test 1\" SHA256:"), 1);
    EXPECT_EQ(countContaining(all, "keyagent_tests.exe (process " + std::to_string(GetCurrentProcessId()) + "): done"), 4);  // add, sign, lock, unlock
    EXPECT_EQ(countContaining(all, "set agent passphrase"), 1);
    EXPECT_EQ(countContaining(all, "lock"), 1 + 2);  // "lock", "unlock" twice
    EXPECT_EQ(countContaining(all, "wrong passphrase"), 1);
    EXPECT_EQ(countContaining(all, "policy AllowDelete no: done"), 1);
    EXPECT_EQ(countContaining(all, "remove key \"rfc8032 test 1\""), 1);
    for (const std::string& l : all) EXPECT_TRUE(l.size() > 20 && l[4] == '-' && l[13] == ':') << l;
}

TEST_F(KeyAgent, WithoutLogArgumentTheLogFolderOfTheRegistryIsUsedAndAFullLogIsMovedAside) {
    const std::string log = home_ + "\\gAgentLog.txt";
    agent_.stop();
    {
        std::ofstream full(log, std::ios::binary);
        full << std::string(1024 * 1024, 'o');
    }
    startAgent(false);
    Client c(pipe_);
    ASSERT_EQ(c.call(addEdRequest()), kSuccess);
    std::string text = readFile(log);
    EXPECT_NE(text.find("agent started"), std::string::npos);
    EXPECT_LT(text.size(), 4096u) << "started anew";
    EXPECT_EQ(readFile(log + ".old").size(), 1024u * 1024u) << "the full one is kept";
}

// The agent keeps its log open between lines: it must still move it aside
// at the size limit while running, and nobody may delete it from under it.
TEST_F(KeyAgent, ALogThatFillsWhileTheAgentRunsIsMovedAsideWithNoLineLostAndCannotBeDeleted) {
    const std::string log = home_ + "\\gAgentLog.txt";
    agent_.stop();
    {
        std::ofstream almostFull(log, std::ios::binary);
        almostFull << std::string(1024 * 1024 - 40, 'o') << "\r\n";
    }
    startAgent(false);
    Client c(pipe_);
    ASSERT_EQ(c.call(addEdRequest()), kSuccess);
    EXPECT_FALSE(DeleteFileA(log.c_str())) << "deleted while the agent writes to it";
    for (int i = 0; i < 3; ++i) ASSERT_EQ(c.call(signRequest())[0], 14);
    std::string older = readFile(log + ".old");
    std::string current = readFile(log);
    EXPECT_EQ(older.compare(0, 1024, std::string(1024, 'o')), 0) << "the full log is the one moved aside";
    EXPECT_GE(older.size(), 1024u * 1024u);
    EXPECT_LT(older.size(), 1024u * 1024u + 4096u);
    std::vector<std::string> all = lines(older + current);
    EXPECT_EQ(countContaining(all, "add key \"rfc8032 test 1\""), 1);
    EXPECT_EQ(countContaining(all, "sign key \"rfc8032 test 1\""), 3);
    EXPECT_EQ(countContaining(lines(current), "sign key"), 3) << "lines after the limit go to the new log";
}

class KeyAgentInGerman : public KeyAgentInLanguage {
protected:
    KeyAgentInGerman() : KeyAgentInLanguage("1031") {}
};

TEST_F(KeyAgentInGerman, TheAgentAndItsLibraryShowTheirTextsInTheInstalledLanguage) {
    Client setup(pipe_);
    ASSERT_EQ(setup.call(constrainedAdd(Bytes{2})), kSuccess);
    {
        PendingSignature pending(pipe_);
        HWND dialog = waitForDialogOf(agent_.pi.dwProcessId, scaled(10000));
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(wideText(dialog), L"Glimmerpad-Schl\u00fcsselagent: Schl\u00fcsselverwendung best\u00e4tigen");
        EXPECT_EQ(wideText(dialog, IDNO), L"&Nein");
        std::wstring program = wideText(dialog, kProgramControl);
        EXPECT_NE(program.find(L" (Prozess " + std::to_wstring(GetCurrentProcessId()) + L")"), std::wstring::npos);
        PostMessageA(dialog, WM_COMMAND, IDNO, 0);
        EXPECT_FALSE(pending.signedIt());
    }

    StagedLibrary library(publicPipe_);
    ASSERT_NE(library.agent, nullptr);
    KeyListEntry* entries = nullptr;
    UINT32 count = 0;
    ASSERT_EQ(library.agent->getKeyList(&entries, &count), AGENT_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(std::string(entries[0].detail).rfind("SHA256:", 0), 0u) << entries[0].detail;
    EXPECT_NE(std::string(entries[0].detail).find(", 256 Bit"), std::string::npos) << entries[0].detail;
    library.agent->freeKeyList(&entries, count);

    PendingAdd add(library.agent, encryptedKeyFile());
    HWND prompt = waitForDialogOf(GetCurrentProcessId(), scaled(10000));
    EXPECT_NE(prompt, nullptr) << "the passphrase dialog of " << encryptedKeyFile();
    if (prompt) {
        EXPECT_EQ(wideText(prompt), L"Passphrase der Schl\u00fcsseldatei");
        EXPECT_EQ(wideText(prompt, IDCANCEL), L"Abbrechen");
        PostMessageA(prompt, WM_COMMAND, IDCANCEL, 0);
    }
    EXPECT_EQ(add.finish(), AGENT_E_ADD_KEYFILE);
}

class GalleryKeyAgent : public KeyAgentInLanguage {
protected:
    GalleryKeyAgent() : KeyAgentInLanguage(galleryLanguage()) {}

    // The agent's question about a key of that name, asked through one
    // client and pictured.
    void pictureQuestion(const char* picture, const std::function<void()>& ask) {
        Client setup(pipe_);
        ASSERT_EQ(setup.call(constrainedAdd(Bytes{2})), kSuccess);
        WireWriter rename;
        rename.string(edBlob());
        rename.string(std::string("alice@work-laptop"));
        ASSERT_EQ(setup.call(extension("rename-key@glimmerpad", rename.bytes())), kSuccess);
        std::thread asking(ask);
        HWND dialog = waitForDialogOf(agent_.pi.dwProcessId, scaled(10000));
        EXPECT_NE(dialog, nullptr);
        if (dialog) {
            saveForGallery(dialog, picture);
            PostMessageA(dialog, WM_COMMAND, IDNO, 0);
        }
        asking.join();
    }
};

TEST_F(GalleryKeyAgent, DISABLED_ConfirmKeyUse) {
    pictureQuestion("keyagent-confirm-key-use.bmp", [this] { EXPECT_FALSE(PendingSignature(pipe_).signedIt()); });
}

// ssh on a host two hops away, the agent forwarded to it: the host by its
// key and the hosts in between.
TEST_F(GalleryKeyAgent, DISABLED_ConfirmKeyUseForwarded) {
    TestHost jump("jump"), inner("inner"), target("target");
    Route route = routeThrough({&jump, &inner, &target});
    pictureQuestion("keyagent-confirm-key-use-forwarded.bmp", [this, &route] {
        PendingSignature pending(pipe_, route);
        EXPECT_TRUE(pending.bound);
        EXPECT_FALSE(pending.signedIt());
    });
}

// PuTTY's path, whose program the agent cannot verify.
TEST_F(GalleryKeyAgent, DISABLED_ConfirmKeyUsePuttyPath) {
    for (DWORD end = GetTickCount() + scaled(10000); !findPageant() && GetTickCount() < end;) Sleep(20);
    ASSERT_NE(findPageant(), nullptr);
    pictureQuestion("keyagent-confirm-key-use-putty.bmp", [] {
        Mapping mapping(8192);
        ASSERT_TRUE(mapping.ok());
        EXPECT_EQ(mapping.call(signRequest()), Bytes{5}) << "refused once No is chosen";
    });
}

// After one wrong passphrase, so that the line of tries left shows.
TEST_F(GalleryKeyAgent, DISABLED_KeyFilePassphrase) {
    StagedLibrary library(publicPipe_);
    ASSERT_NE(library.agent, nullptr);
    PendingAdd add(library.agent, encryptedKeyFile());
    HWND first = waitForDialogOf(GetCurrentProcessId(), scaled(10000));
    ASSERT_NE(first, nullptr);
    SetDlgItemTextA(first, 102, "not the passphrase");
    PostMessageA(first, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(waitGone(first, scaled(5000)));
    HWND second = waitForDialogOf(GetCurrentProcessId(), scaled(20000));
    EXPECT_NE(second, nullptr);
    if (second) {
        saveForGallery(second, "library-key-file-passphrase.bmp");
        PostMessageA(second, WM_COMMAND, IDCANCEL, 0);
    }
    EXPECT_EQ(add.finish(), AGENT_E_ADD_KEYFILE);
}

// Another program on the manager's pipe, here this test's own process: the
// library names it once, in a message box of its own.
TEST_F(GalleryKeyAgent, DISABLED_AgentImpostor) {
    std::string takenPipe = publicPipe_ + "-taken";
    HANDLE taken = CreateNamedPipeA(managerPipeName(takenPipe).c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096,
                                    4096, 0, nullptr);
    ASSERT_NE(taken, INVALID_HANDLE_VALUE);
    std::thread starting([&takenPipe] { StagedLibrary library(takenPipe); });
    HWND box = waitForDialogOf(GetCurrentProcessId(), scaled(10000));
    EXPECT_NE(box, nullptr);
    if (box) {
        saveForGallery(box, "library-agent-impostor.bmp");
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    starting.join();
    CloseHandle(taken);
}

// The public pipe held before the agent starts: by Windows' own agent
// (a stand-in started from its file) or by another program, as the agent
// and its library tell it, long texts with the commands in them.
class GalleryPipeTaken : public ::testing::Test {
protected:
    GalleryPipeTaken()
        : language_("Language", galleryLanguage(), REG_SZ),
          pipe_("\\\\.\\pipe\\glimmerpad-gallery-taken-" + std::to_string(GetCurrentProcessId())),
          record_(makeTestHome("gallery-taken-")) {}
    ~GalleryPipeTaken() override { removeTree(record_); }

    void pictureAgentMessage(const char* picture) {
        AgentProcess agent;
        ASSERT_TRUE(agent.start(pipe_, record_ + "\\agent.log"));
        HWND box = waitForDialogOf(agent.pi.dwProcessId, scaled(20000));
        EXPECT_NE(box, nullptr);
        if (box) {
            saveForGallery(box, picture);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
        agent.waitExit(scaled(10000));
        agent.stop();
    }

    void pictureLibraryMessage(const char* picture) {
        std::thread starting([this] { StagedLibrary library(pipe_); });
        HWND box = waitForDialogOf(GetCurrentProcessId(), scaled(20000));
        EXPECT_NE(box, nullptr);
        if (box) {
            saveForGallery(box, picture);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
        starting.join();
    }

    ProductValue language_;
    std::string pipe_, record_;
};

TEST_F(GalleryPipeTaken, DISABLED_ByWindowsOwnAgent) {
    ServicePath path;
    ASSERT_TRUE(path.free);
    Squatter service(pipe_, record_ + "\\read", Holds::PublicPipe, path.program);
    ASSERT_TRUE(service.serving);
    pictureAgentMessage("keyagent-pipe-taken-service.bmp");
    pictureLibraryMessage("library-pipe-taken-service.bmp");
}

TEST_F(GalleryPipeTaken, DISABLED_ByAnotherProgram) {
    Squatter other(pipe_, record_ + "\\read", Holds::PublicPipe);
    ASSERT_TRUE(other.serving);
    pictureAgentMessage("keyagent-pipe-taken-program.bmp");
    pictureLibraryMessage("library-pipe-taken-program.bmp");
}
