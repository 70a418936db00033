// The staged agent process under Wine: its window protocol, its pipe's
// security and its behaviour with many, slow and stranded clients.
#include "KeyAgentHarness.h"

#include "Key.h"
#include "SquatterProcess.h"

#include <aclapi.h>
#include <gcrypt.h>

#include <cctype>
#include <memory>

using namespace agenttest;

TEST_F(KeyAgent, AttachedWindowsAreToldOfEveryChangeWhoeverMakesIt) {
    HWND listener = makeWindow(), gone = makeWindow();
    ASSERT_TRUE(listener && gone);
    Client manager(pipe_), other(pipe_);
    ASSERT_TRUE(manager.connected() && other.connected());
    EXPECT_EQ(manager.call(attachRequest(listener)), kSuccess);
    EXPECT_EQ(manager.call(attachRequest(gone)), kSuccess);
    DestroyWindow(gone);  // dropped at the next change, not an obstacle to it

    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, AGENT_REFRESH_EVENT);
    ASSERT_NE(event, nullptr) << "the agent created the refresh event";

    EXPECT_EQ(other.call(addEdRequest()), kSuccess);
    EXPECT_GE(refreshesWithin(listener, 5000), 1) << "after an add";
    WireWriter remove;
    remove.u8(18);
    remove.string(edBlob());
    EXPECT_EQ(other.call(remove.bytes()), kSuccess);
    EXPECT_GE(refreshesWithin(listener, 5000), 1) << "after a remove";
    EXPECT_EQ(other.call(addEdRequest()), kSuccess);
    EXPECT_GE(refreshesWithin(listener, 5000), 1);
    EXPECT_EQ(other.call(Bytes{19}), kSuccess);
    EXPECT_GE(refreshesWithin(listener, 5000), 1) << "after remove all";
    EXPECT_EQ(other.call(Bytes{11}), (Bytes{12, 0, 0, 0, 0}));
    EXPECT_EQ(refreshesWithin(listener, 300), 0) << "a list is no change";
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the event is left signalled";
    // An attach naming no window is refused, and so is one naming a window
    // of another process than the one asking (here the agent's own).
    EXPECT_EQ(manager.call(attachRequest(gone)), Bytes{28});
    EXPECT_EQ(manager.call(attachRequest(window_)), Bytes{28});
    CloseHandle(event);
    DestroyWindow(listener);
}

TEST_F(KeyAgent, SixteenClientsAreServedAtOnce) {
    {
        Client setup(pipe_);
        ASSERT_EQ(setup.call(addEdRequest()), kSuccess);
    }
    const int kClients = 16;
    std::atomic<int> signatures{0}, connectedAtOnce{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&] {
            Client c(pipe_);
            if (!c.connected()) return;
            // All connections are open before any request is made.
            ++connectedAtOnce;
            for (int spin = 0; spin < 1000 && connectedAtOnce < kClients; ++spin) Sleep(10);
            for (int r = 0; r < 5; ++r) {
                Bytes answer = c.call(signRequest());
                if (!answer.empty() && answer[0] == 14) ++signatures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(connectedAtOnce, kClients);
    EXPECT_EQ(signatures, kClients * 5);
}

// The address space a process has reserved or committed.
SIZE_T addressSpaceOf(HANDLE process) {
    SIZE_T used = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; VirtualQueryEx(process, at, &region, sizeof region) == sizeof region;) {
        if (region.State != MEM_FREE) used += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return used;
}

// A thread per waiting client made a thousand of them fill the address
// space of the 32-bit agent, after which nobody was served.
TEST_F(KeyAgent, ThreeHundredIdleClientsCostLittleAndANewOneIsServedAtOnce) {
    SIZE_T before = addressSpaceOf(agent_.pi.hProcess);
    ASSERT_GT(before, 0u);
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 300; ++i) {
        idle.emplace_back(new Client(publicPipe_));
        ASSERT_TRUE(idle.back()->connected()) << i;
    }
    Client fresh(publicPipe_), manager(pipe_);
    DWORD start = GetTickCount();
    EXPECT_EQ(fresh.call(Bytes{11}), (Bytes{12, 0, 0, 0, 0}));
    EXPECT_EQ(manager.call(Bytes{11}), (Bytes{12, 0, 0, 0, 0}));
    EXPECT_LT(GetTickCount() - start, scaled(2000));
    SIZE_T grown = addressSpaceOf(agent_.pi.hProcess) - before;
    EXPECT_LT(grown, SIZE_T(64) << 20) << (grown >> 20) << " MiB for 300 clients";
    EXPECT_EQ(idle.front()->call(Bytes{11}), (Bytes{12, 0, 0, 0, 0})) << "the first is still served";
    EXPECT_EQ(idle.back()->call(Bytes{11}), (Bytes{12, 0, 0, 0, 0}));
}

// A magnitude of `bits` bits, odd, and with no prime factor below 20,000:
// libgcrypt's primality test gets past its trial divisions and spends a
// whole modular exponentiation on it.
Bytes numberWithoutSmallFactors(unsigned bits) {
    agentcore::initCrypto();
    gcry_mpi_t primorial = gcry_mpi_set_ui(nullptr, 1), n = gcry_mpi_new(bits), gcd = gcry_mpi_new(0);
    for (unsigned p = 3; p < 20000; p += 2) {
        bool prime = true;
        for (unsigned d = 3; d * d <= p && prime; d += 2) prime = p % d != 0;
        if (prime) gcry_mpi_mul_ui(primorial, primorial, p);
    }
    gcry_mpi_set_bit(n, bits - 1);
    gcry_mpi_set_bit(n, 0);
    while (!gcry_mpi_gcd(gcd, n, primorial)) gcry_mpi_add_ui(n, n, 2);
    Bytes out((bits + 7) / 8);
    size_t written = 0;
    gcry_mpi_print(GCRYMPI_FMT_USG, out.data(), out.size(), &written, n);
    out.resize(written);
    gcry_mpi_release(primorial);
    gcry_mpi_release(n);
    gcry_mpi_release(gcd);
    return out;
}

// session-bind@openssh.com with a DSA host key of 32,768-bit p and q and
// a signature of the right form, as a forwarded host could send it.
Bytes hugeDsaSessionBind() {
    Bytes big = numberWithoutSmallFactors(32768);
    WireWriter key;
    key.string(std::string("ssh-dss"));
    key.mpint(big);
    key.mpint(big);
    key.mpint(Bytes{2});
    key.mpint(Bytes{3});
    WireWriter signature;
    signature.string(std::string("ssh-dss"));
    signature.string(Bytes(40, 0x11));
    WireWriter w;
    w.u8(27);
    w.string(std::string("session-bind@openssh.com"));
    w.string(key.bytes());
    w.string(Bytes(32, 0x22));
    w.string(signature.bytes());
    w.boolean(true);
    return w.take();
}

// Such a key cost the agent seconds of arithmetic per request before its
// size was looked at.
TEST_F(KeyAgent, AHugeDsaHostKeyInSessionBindIsRefusedAtOnceWhileOthersAreServed) {
    Bytes bind = hugeDsaSessionBind();
    Client setup(pipe_), binder(publicPipe_), other(publicPipe_);
    ASSERT_EQ(setup.call(addEdRequest()), kSuccess);
    DWORD start = GetTickCount();
    ASSERT_TRUE(binder.send(bind));
    Bytes signature = other.call(signRequest());
    EXPECT_TRUE(!signature.empty() && signature[0] == 14) << "another client is served meanwhile";
    bool timedOut = false;
    EXPECT_EQ(binder.receive(scaled(1500), &timedOut), Bytes{28}) << (timedOut ? "no answer in time" : "");
    EXPECT_LT(GetTickCount() - start, scaled(2000));
}

TEST_F(KeyAgent, AClientThatStallsMidMessageStallsNoOther) {
    Client stalled(pipe_), other(pipe_);
    ASSERT_TRUE(stalled.connected() && other.connected());
    ASSERT_TRUE(stalled.writeRaw(Bytes{0, 0, 0, 9, 11}));  // 9 announced, 1 sent
    DWORD start = GetTickCount();
    EXPECT_EQ(other.call(addEdRequest()), kSuccess);
    Bytes signature = other.call(signRequest());
    ASSERT_FALSE(signature.empty());
    EXPECT_EQ(signature[0], 14);
    EXPECT_LT(GetTickCount() - start, 5000u);
    bool timedOut = false;
    EXPECT_TRUE(stalled.receive(300, &timedOut).empty());
    EXPECT_TRUE(timedOut) << "the stalled client is still waiting, not cut off";
}

TEST_F(KeyAgent, AnAgentKilledMidRequestLeavesItsClientWithAnError) {
    Client c(pipe_);
    ASSERT_TRUE(c.connected());
    ASSERT_TRUE(c.writeRaw(Bytes{0, 0, 0, 5, 11}));
    std::atomic<bool> done{false}, timedOut{false};
    std::thread reader([&] {
        bool t = false;
        c.receive(scaled(15000), &t);
        timedOut = t;
        done = true;
    });
    Sleep(200);
    TerminateProcess(agent_.pi.hProcess, 9);
    reader.join();
    EXPECT_TRUE(done);
    EXPECT_FALSE(timedOut) << "the read ends with an error, not by waiting out its limit";
}

TEST_F(KeyAgent, ThePipesDaclNamesTheCurrentUserAlone) {
    Client c(pipe_);
    ASSERT_TRUE(c.connected());
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetSecurityInfo(c.handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              DWORD(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr) << "a DACL, not none (which would let everyone in)";
    ASSERT_EQ(dacl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    char buffer[256];
    DWORD size;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
    CloseHandle(token);
    EXPECT_TRUE(EqualSid(&allowed->SidStart, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid));
    LocalFree(sd);
}

TEST_F(KeyAgent, ASecondStartLeavesQuietlyAndWmCloseEndsTheFirst) {
    AgentProcess second;
    ASSERT_TRUE(second.start(pipeName_ + "-second", log_));
    EXPECT_EQ(second.waitExit(scaled(20000)), 0u);
    second.stop();
    Client c(pipe_);
    EXPECT_EQ(c.call(addEdRequest()), kSuccess) << "the first agent still serves";
    PostMessageA(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(agent_.waitExit(scaled(10000)), 0u);
    EXPECT_EQ(FindWindowA(AGENT_WINDOW_CLASS, nullptr), nullptr);
    Client after(pipe_);
    EXPECT_FALSE(after.connected()) << "the pipe went with the agent";
}

// The text of a message box of another process: its first static
// control with text.
std::string messageBoxText(HWND box) {
    std::string text;
    for (HWND child = GetWindow(box, GW_CHILD); child && text.empty(); child = GetWindow(child, GW_HWNDNEXT)) {
        char className[16] = "", buffer[2048] = "";
        GetClassNameA(child, className, sizeof className);
        if (lstrcmpiA(className, "Static") == 0 && GetWindowTextA(child, buffer, sizeof buffer) > 0) text = buffer;
    }
    return text;
}

// The agent's message box once its text is in: a box found in the middle
// of its making has none yet.
HWND waitForPipeTakenBox() {
    for (DWORD end = GetTickCount() + scaled(20000); GetTickCount() < end; Sleep(50)) {
        HWND box = FindWindowA("#32770", kTitle);
        if (box && !messageBoxText(box).empty()) return box;
    }
    return nullptr;
}

std::string lowered(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Held here by this test's own process, which the agent names.
TEST(KeyAgentPipeTaken, TheProgramHoldingThePipeIsNamedInTheLogAndShownOnce) {
    std::string name = "glimmerpad-agent-taken-" + std::to_string(GetCurrentProcessId());
    std::string pipe = "\\\\.\\pipe\\" + name;
    HANDLE squatter = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, PIPE_TYPE_BYTE, 1,
                                       4096, 4096, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string log = std::string(temp) + "keyagent-taken-" + std::to_string(GetCurrentProcessId()) + ".log";
    DeleteFileA(log.c_str());
    AgentProcess agent;
    ASSERT_TRUE(agent.start(name, log));
    HWND box = waitForPipeTakenBox();
    ASSERT_NE(box, nullptr) << "the user is told";
    EXPECT_EQ(FindWindowA(AGENT_WINDOW_CLASS, nullptr), nullptr) << "no agent window while nothing is served";
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string holder = lowered(self) + " (process " + std::to_string(GetCurrentProcessId()) + ")";
    std::string shown = messageBoxText(box);
    EXPECT_NE(lowered(shown).find(holder), std::string::npos) << shown;
    EXPECT_NE(shown.find(pipe), std::string::npos) << shown;
    std::string text = readFile(log);
    EXPECT_NE(lowered(text).find("already held by the program " + holder), std::string::npos) << text;
    EXPECT_NE(text.find(name), std::string::npos);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(agent.waitExit(scaled(10000)), 2u);
    EXPECT_EQ(FindWindowA("#32770", kTitle), nullptr) << "told once";
    agent.stop();
    CloseHandle(squatter);
    DeleteFileA(log.c_str());
}

// Wine brings no OpenSSH of Windows: a program started from the service's file
// stands in for it, and the agent logs and shows it as Windows' own agent.
TEST(KeyAgentPipeTaken, AProgramAtTheServicesPathIsShownAsWindowsOwnAgentWithTheCommands) {
    std::string name = "glimmerpad-agent-service-" + std::to_string(GetCurrentProcessId());
    std::string home = makeTestHome("keyagent-service-");
    ServicePath path;
    ASSERT_TRUE(path.free) << "a real " << path.program << " is not replaced";
    {
        Squatter service("\\\\.\\pipe\\" + name, home + "\\read", Holds::PublicPipe, path.program);
        ASSERT_TRUE(service.serving);
        AgentProcess agent;
        ASSERT_TRUE(agent.start(name, home + "\\agent.log"));
        HWND box = waitForPipeTakenBox();
        ASSERT_NE(box, nullptr);
        std::string shown = messageBoxText(box);
        EXPECT_NE(shown.find("\"OpenSSH Authentication Agent\" (ssh-agent)"), std::string::npos) << shown;
        EXPECT_NE(shown.find("(process " + std::to_string(service.processId()) + ")"), std::string::npos) << shown;
        EXPECT_NE(shown.find("sc.exe stop ssh-agent\n"), std::string::npos) << shown;
        EXPECT_NE(shown.find("sc.exe config ssh-agent start= disabled\n"), std::string::npos) << shown;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(agent.waitExit(scaled(10000)), 2u);
        agent.stop();
        std::string log = readFile(home + "\\agent.log");
        EXPECT_NE(log.find("the Windows service \"OpenSSH Authentication Agent\" (ssh-agent)"), std::string::npos) << log;
        EXPECT_EQ(service.stop().size(), 0u) << "the agent wrote to it";
    }
    removeTree(home);
}

// Elevation, the reason the agent asks the client's token and not its
// process, cannot be shown under Wine: every process there runs as one
// user at one level (and Wine lets a pipe without a client be
// impersonated too). What can be shown is that the client's token is read
// and the thread acts as itself afterwards.
TEST(PipeClientUser, IsReadFromTheClientsTokenAndTheThreadActsAsItselfAfter_ElevationCannotBeShownUnderWine) {
    std::string name = "\\\\.\\pipe\\glimmerpad-identity-test-" + std::to_string(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 2, 4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ConnectNamedPipe(server, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);
    // Windows lends the identity once the server has read from the client.
    char probe = 'x';
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(client, &probe, 1, &n, nullptr));
    ASSERT_TRUE(ReadFile(server, &probe, 1, &n, nullptr));
    UserSid user = pipeClientUser(server);
    EXPECT_FALSE(user.empty());
    EXPECT_TRUE(user.sameAs(currentUser())) << user.text();
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) << "the thread still acts as its client";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_TOKEN));
    if (token) CloseHandle(token);
    CloseHandle(client);
    CloseHandle(server);
}

TEST_F(KeyAgent, ClientsThatLendOnlyTheirIdentityAreServedOnBothPipes_ElevatedClientsCannotBeShownUnderWine) {
    for (const std::string& name : {pipe_, publicPipe_}) {
        HANDLE pipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << name;
        const std::uint8_t request[] = {0, 0, 0, 1, 11};
        std::uint8_t answer[9] = {};
        DWORD n = 0, got = 0;
        EXPECT_TRUE(WriteFile(pipe, request, sizeof request, &n, nullptr));
        for (DWORD r = 0; got < sizeof answer && ReadFile(pipe, answer + got, sizeof answer - got, &r, nullptr) && r; got += r) {
        }
        EXPECT_EQ(got, 9u) << name;
        EXPECT_EQ(answer[4], 12) << name;
        CloseHandle(pipe);
    }
}
