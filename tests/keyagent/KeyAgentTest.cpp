// The staged agent process under Wine: its window protocol, its pipe's
// security and its behaviour with many, slow and stranded clients.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#include <windows.h>

#include <aclapi.h>

#include "AgentChannel.h"
#include "Wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using agentcore::Bytes;
using agentcore::WireReader;
using agentcore::WireWriter;

namespace {

const char* const kTitle = "Glimmerpad Key Agent";

// Waits stretch under emulation (the i686 session sets the factor).
DWORD scaled(DWORD ms) {
    const char* f = std::getenv("GAGENT_TEST_TIMEOUT_SCALE");
    int factor = f ? std::atoi(f) : 1;
    return ms * DWORD(factor > 0 ? factor : 1);
}

Bytes fromHex(const char* hex) {
    Bytes out;
    for (; hex[0] && hex[1]; hex += 2) {
        char b[3] = {hex[0], hex[1], 0};
        out.push_back(std::uint8_t(std::strtoul(b, nullptr, 16)));
    }
    return out;
}

// RFC 8032 test 1's key, held by the agent in these tests.
Bytes edPublic() { return fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"); }
Bytes edBlob() {
    WireWriter w;
    w.string(std::string("ssh-ed25519"));
    w.string(edPublic());
    return w.take();
}
Bytes addEdRequest() {
    Bytes secret = fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
    Bytes pub = edPublic();
    secret.insert(secret.end(), pub.begin(), pub.end());
    WireWriter w;
    w.u8(17);
    w.string(std::string("ssh-ed25519"));
    w.string(pub);
    w.string(secret);
    w.string(std::string("rfc8032 test 1"));
    return w.take();
}
Bytes signRequest() {
    WireWriter w;
    w.u8(13);
    w.string(edBlob());
    w.string(std::string("data to sign"));
    w.u32(0);
    return w.take();
}

// One client connection, overlapped so that every wait has a limit.
class Client {
public:
    explicit Client(const std::string& pipe) {
        for (int i = 0; i < 100 && handle_ == INVALID_HANDLE_VALUE; ++i) {
            handle_ = CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
            if (handle_ == INVALID_HANDLE_VALUE) WaitNamedPipeA(pipe.c_str(), 100);
        }
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Client() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        CloseHandle(event_);
    }
    bool connected() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return handle_; }

    bool writeRaw(const Bytes& data) { return io(true, const_cast<std::uint8_t*>(data.data()), DWORD(data.size()), 5000) == data.size(); }
    bool send(const Bytes& message) {
        WireWriter w;
        w.string(message);
        return writeRaw(w.bytes());
    }
    // One answer; empty on error or time-out. timedOut tells the two apart.
    Bytes receive(DWORD timeoutMs, bool* timedOut = nullptr) {
        std::uint8_t len[4];
        if (!readExactly(len, 4, timeoutMs, timedOut)) return Bytes();
        std::uint32_t n = (std::uint32_t(len[0]) << 24) | (len[1] << 16) | (len[2] << 8) | len[3];
        Bytes body(n);
        if (n > 0 && !readExactly(body.data(), n, timeoutMs, timedOut)) return Bytes();
        return body;
    }
    Bytes call(const Bytes& message) {
        if (!send(message)) return Bytes();
        return receive(10000);
    }

private:
    bool readExactly(std::uint8_t* p, DWORD n, DWORD timeoutMs, bool* timedOut) {
        while (n > 0) {
            DWORD got = io(false, p, n, timeoutMs, timedOut);
            if (got == 0 || got == DWORD(-1)) return false;
            p += got, n -= got;
        }
        return true;
    }
    // Bytes moved, 0 on error, -1 on time-out.
    DWORD io(bool write, std::uint8_t* p, DWORD n, DWORD timeoutMs, bool* timedOut = nullptr) {
        OVERLAPPED ov = {};
        ResetEvent(event_);
        ov.hEvent = event_;
        BOOL ok = write ? WriteFile(handle_, p, n, nullptr, &ov) : ReadFile(handle_, p, n, nullptr, &ov);
        if (!ok && GetLastError() != ERROR_IO_PENDING) return 0;
        if (WaitForSingleObject(event_, timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(handle_);
            DWORD ignored;
            GetOverlappedResult(handle_, &ov, &ignored, TRUE);
            if (timedOut) *timedOut = true;
            return DWORD(-1);
        }
        DWORD done = 0;
        if (!GetOverlappedResult(handle_, &ov, &done, FALSE)) return 0;
        return done;
    }
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE event_;
};

std::string stageDir() {
    const char* s = std::getenv("GAGENT_STAGE");
    return s ? s : "";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct AgentProcess {
    PROCESS_INFORMATION pi = {};
    bool started = false;

    bool start(const std::string& pipe, const std::string& log) {
        std::string cmd = "\"" + stageDir() + "\\gkeyagent.exe\" --pipe " + pipe + " --log \"" + log + "\"";
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        std::vector<char> line(cmd.begin(), cmd.end());
        line.push_back(0);
        started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) != 0;
        return started;
    }
    // The exit code, or STILL_ACTIVE after the time-out.
    DWORD waitExit(DWORD timeoutMs) {
        WaitForSingleObject(pi.hProcess, timeoutMs);
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(pi.hProcess, &code);
        return code;
    }
    void stop() {
        if (!started) return;
        if (waitExit(0) == STILL_ACTIVE) {
            HWND w = FindWindowA(AGENT_WINDOW_CLASS, nullptr);
            if (w) PostMessageA(w, WM_CLOSE, 0, 0);
            if (waitExit(scaled(10000)) == STILL_ACTIVE) {
                TerminateProcess(pi.hProcess, 9);
                WaitForSingleObject(pi.hProcess, scaled(10000));
            }
        }
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        started = false;
    }
};

class KeyAgent : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        log_ = std::string(temp) + "keyagent-test-" + std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(log_.c_str());
        pipeName_ = "glimmerpad-agent-test-" + std::to_string(GetCurrentProcessId());
        pipe_ = "\\\\.\\pipe\\" + pipeName_;
        ASSERT_TRUE(agent_.start(pipeName_, log_));
        for (DWORD end = GetTickCount() + scaled(10000); !(window_ = FindWindowA(AGENT_WINDOW_CLASS, nullptr)) && GetTickCount() < end;) Sleep(50);
        ASSERT_NE(window_, nullptr) << "the hidden window appears";
        ASSERT_TRUE(WaitNamedPipeA(pipe_.c_str(), scaled(10000))) << "the pipe is served";
    }
    void TearDown() override {
        agent_.stop();
        DeleteFileA(log_.c_str());
    }

    AgentProcess agent_;
    HWND window_ = nullptr;
    std::string log_, pipeName_, pipe_;
};

HWND makeWindow() {
    return CreateWindowExA(0, "STATIC", "refresh listener", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

Bytes attachRequest(HWND w) {
    std::uint64_t v = reinterpret_cast<UINT_PTR>(w);
    WireWriter m;
    m.u8(27);
    m.string(std::string("attach-window@glimmerpad"));
    m.u32(std::uint32_t(v >> 32));
    m.u32(std::uint32_t(v));
    return m.take();
}

// How many WM_AGENT_REFRESH reached the window within the time.
int refreshesWithin(HWND w, DWORD ms) {
    int count = 0;
    DWORD end = GetTickCount() + ms;
    while (GetTickCount() < end) {
        MSG msg;
        while (PeekMessageA(&msg, w, WM_AGENT_REFRESH, WM_AGENT_REFRESH, PM_REMOVE)) ++count;
        if (count) return count;
        Sleep(10);
    }
    return count;
}

const Bytes kSuccess{6};

}  // namespace

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
    // An attach naming no window is refused.
    EXPECT_EQ(manager.call(attachRequest(gone)), Bytes{28});
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

TEST(KeyAgentPipeTaken, TheReasonIsLoggedAndShownOnce) {
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
    HWND box = nullptr;
    for (DWORD end = GetTickCount() + scaled(20000); !(box = FindWindowA("#32770", kTitle)) && GetTickCount() < end;) Sleep(50);
    ASSERT_NE(box, nullptr) << "the user is told";
    EXPECT_EQ(FindWindowA(AGENT_WINDOW_CLASS, nullptr), nullptr) << "no agent window while nothing is served";
    std::string text = readFile(log);
    EXPECT_NE(text.find("already served by another program"), std::string::npos) << text;
    EXPECT_NE(text.find(name), std::string::npos);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(agent.waitExit(scaled(10000)), 2u);
    EXPECT_EQ(FindWindowA("#32770", kTitle), nullptr) << "told once";
    agent.stop();
    CloseHandle(squatter);
    DeleteFileA(log.c_str());
}
