// What the tests of the staged agent under Wine share: a client of the
// pipe with bounded waits, the agent process, and a fixture that gives each
// test its own pipe, log, key folder, log folder and application data.
#ifndef KEYAGENT_HARNESS_H
#define KEYAGENT_HARNESS_H
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#include <windows.h>

#include <aclapi.h>

#include "AgentChannel.h"
#include "UserIdentity.h"
#include "Wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>


namespace agenttest {

using agentcore::Bytes;
using agentcore::WireReader;
using agentcore::WireWriter;

inline const char* const kTitle = "Glimmerpad Key Agent";

// Waits stretch under emulation (the i686 session sets the factor).
inline DWORD scaled(DWORD ms) {
    const char* f = std::getenv("GAGENT_TEST_TIMEOUT_SCALE");
    int factor = f ? std::atoi(f) : 1;
    return ms * DWORD(factor > 0 ? factor : 1);
}

inline Bytes fromHex(const char* hex) {
    Bytes out;
    for (; hex[0] && hex[1]; hex += 2) {
        char b[3] = {hex[0], hex[1], 0};
        out.push_back(std::uint8_t(std::strtoul(b, nullptr, 16)));
    }
    return out;
}

// RFC 8032 test 1's key, held by the agent in these tests.
inline Bytes edPublic() { return fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"); }
inline Bytes edBlob() {
    WireWriter w;
    w.string(std::string("ssh-ed25519"));
    w.string(edPublic());
    return w.take();
}
inline Bytes addEdRequest() {
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
// The add request with constraints after the key.
inline Bytes constrainedAdd(const Bytes& constraints) {
    Bytes add = addEdRequest();
    add[0] = 25;
    add.insert(add.end(), constraints.begin(), constraints.end());
    return add;
}
inline Bytes extension(const std::string& name, const Bytes& body = Bytes()) {
    WireWriter w;
    w.u8(27);
    w.string(name);
    w.raw(body);
    return w.take();
}
inline Bytes signRequest() {
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

inline std::string stageDir() {
    const char* s = std::getenv("GAGENT_STAGE");
    return s ? s : "";
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Ends the agent the way the manager's Stop Agent does, and by force when
// it does not go in time.
inline void closeAgentProcess(HANDLE process) {
    HWND w = FindWindowA(AGENT_WINDOW_CLASS, nullptr);
    if (w) PostMessageA(w, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process, scaled(10000)) == WAIT_OBJECT_0) return;
    TerminateProcess(process, 9);
    WaitForSingleObject(process, scaled(10000));
}

// The agent's window, as the manager finds it; the agent serves its pipe a
// moment before its window exists.
inline HWND agentWindow(DWORD ms) {
    HWND w = nullptr;
    for (DWORD end = GetTickCount() + scaled(ms); !(w = FindWindowA(AGENT_WINDOW_CLASS, nullptr)) && GetTickCount() < end;)
        Sleep(20);
    return w;
}

// WaitNamedPipe gives up at once while no instance of the pipe exists, as
// for a moment after the agent's window appears: the manager's pipe comes
// after the window.
inline bool pipeServedWithin(const std::string& pipe, DWORD ms) {
    for (DWORD end = GetTickCount() + scaled(ms); !WaitNamedPipeA(pipe.c_str(), 100);) {
        if (GetTickCount() >= end) return false;
        Sleep(20);
    }
    return true;
}

// An agent this test did not start itself (the library did), found by its
// window; callers have waited for that window when they started it.
inline void stopRunningAgent() {
    HWND w = agentWindow(0);
    DWORD pid = 0;
    if (!w || !GetWindowThreadProcessId(w, &pid)) return;
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (!process) return;
    closeAgentProcess(process);
    CloseHandle(process);
}

struct AgentProcess {
    PROCESS_INFORMATION pi = {};
    bool started = false;
    DWORD startError = 0;

    // An empty log leaves the agent to find its log folder itself.
    bool start(const std::string& pipe, const std::string& log, const std::string& more = std::string()) {
        std::string cmd = "\"" + stageDir() + "\\gkeyagent.exe\" --pipe " + pipe;
        if (!log.empty()) cmd += " --log \"" + log + "\"";
        if (!more.empty()) cmd += " " + more;
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        std::vector<char> line(cmd.begin(), cmd.end());
        line.push_back(0);
        started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) != 0;
        startError = started ? 0 : GetLastError();
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
        if (waitExit(0) == STILL_ACTIVE) closeAgentProcess(pi.hProcess);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        started = false;
    }
};

// A registry value of the product under HKEY_CURRENT_USER, put back as it
// was when the test ends.
class ProductValue {
public:
    ProductValue(const char* name, const std::string& value, DWORD type = REG_EXPAND_SZ) : name_(name), type_(type) {
        HKEY key;
        RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\VAQGlimmerpad", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        char old[MAX_PATH];
        DWORD size = sizeof old;
        had_ = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(old), &size) == ERROR_SUCCESS;
        if (had_) old_.assign(old, size ? size - 1 : 0);
        RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1));
        RegCloseKey(key);
    }
    ~ProductValue() {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\VAQGlimmerpad", 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
        if (had_) RegSetValueExA(key, name_, 0, type_, reinterpret_cast<const BYTE*>(old_.c_str()), DWORD(old_.size() + 1));
        else RegDeleteValueA(key, name_);
        RegCloseKey(key);
    }

private:
    const char* name_;
    DWORD type_;
    bool had_ = false;
    std::string old_;
};

inline void removeTree(const std::string& dir) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            std::string path = dir + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) removeTree(path);
            else DeleteFileA(path.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(dir.c_str());
}

// A home of the test's own, made empty: the user's folder and the log
// folder through the registry (fixtures point UserDir and LogDir at
// %GKEYAGENT_TEST_HOME%), the agent's own data through APPDATA.
inline std::string makeTestHome(const std::string& prefix) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string home = std::string(temp) + prefix + std::to_string(GetCurrentProcessId());
    removeTree(home);
    CreateDirectoryA(home.c_str(), nullptr);
    CreateDirectoryA((home + "\\AppData").c_str(), nullptr);
    SetEnvironmentVariableA("GKEYAGENT_TEST_HOME", home.c_str());
    SetEnvironmentVariableA("APPDATA", (home + "\\AppData").c_str());
    return home;
}

class KeyAgent : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        std::string id = std::to_string(GetCurrentProcessId());
        log_ = std::string(temp) + "keyagent-test-" + id + ".log";
        DeleteFileA(log_.c_str());
        home_ = makeTestHome("keyagent-home-");
        pipeName_ = "glimmerpad-agent-test-" + id;
        publicPipe_ = "\\\\.\\pipe\\" + pipeName_;
        // Most tests act as the key manager's library does, on the agent's
        // channel for it; the tests of what the public pipe refuses use
        // publicPipe_.
        pipe_ = managerPipeName(publicPipe_);
        startAgent();
    }
    void TearDown() override {
        agent_.stop();
        DeleteFileA(log_.c_str());
        removeTree(home_);
    }
    // Arguments beyond the pipe and the log, for fixtures that need them.
    virtual std::string agentArguments() { return std::string(); }

    void startAgent(bool withLog = true) {
        ASSERT_TRUE(agent_.start(pipeName_, withLog ? log_ : std::string(), agentArguments()))
            << "CreateProcess error " << agent_.startError;
        window_ = agentWindow(10000);
        ASSERT_NE(window_, nullptr) << "the hidden window appears";
        ASSERT_TRUE(pipeServedWithin(pipe_, 10000)) << "the pipe is served";
    }
    void restartAgent(bool withLog = true) {
        agent_.stop();
        startAgent(withLog);
    }

    std::string home_;
    ProductValue userDir_{"UserDir", "%GKEYAGENT_TEST_HOME%"};
    ProductValue logDir_{"LogDir", "%GKEYAGENT_TEST_HOME%"};
    AgentProcess agent_;
    HWND window_ = nullptr;
    std::string log_, pipeName_, publicPipe_, pipe_;
};

inline HWND makeWindow() {
    return CreateWindowExA(0, "STATIC", "refresh listener", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

inline Bytes attachRequest(HWND w) {
    std::uint64_t v = reinterpret_cast<UINT_PTR>(w);
    WireWriter m;
    m.u8(27);
    m.string(std::string("attach-window@glimmerpad"));
    m.u32(std::uint32_t(v >> 32));
    m.u32(std::uint32_t(v));
    return m.take();
}

// A window attached as the key manager's library attaches the manager's
// at its start: the agent takes the manager's window messages only while
// one is there.
struct AttachedWindow {
    HWND window = makeWindow();
    explicit AttachedWindow(const std::string& managerPipe) { attachTo(managerPipe); }
    ~AttachedWindow() { DestroyWindow(window); }
    // Again, for an agent started since.
    void attachTo(const std::string& managerPipe) {
        Client c(managerPipe);
        EXPECT_EQ(c.call(attachRequest(window)), Bytes{6}) << "attached";
    }
};

// How many WM_AGENT_REFRESH reached the window within the time.
inline int refreshesWithin(HWND w, DWORD ms) {
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

// The agent's question before a key signs, in English.
inline const char* const kConfirmTitle = "Glimmerpad Key Agent: Confirm Key Use";
inline const int kKeyNameControl = 101, kFingerprintControl = 102, kProgramControl = 103, kCountdownControl = 104;
// Where the signature goes: the host (or its key) and the forwarding.
inline const int kHostLabelControl = 106, kHostControl = 107, kForwardedControl = 108;

inline HWND waitForConfirmDialog(DWORD ms) {
    for (DWORD end = GetTickCount() + ms; GetTickCount() < end; Sleep(20)) {
        HWND dialog = FindWindowA("#32770", kConfirmTitle);
        if (dialog && IsWindowVisible(dialog)) return dialog;
    }
    return nullptr;
}

inline std::string controlText(HWND dialog, int id) {
    char text[512] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

inline const Bytes kSuccess{6};

// The passphrase message as the manager sends it, or bent where a test
// asks: another size, or a field with no terminator.
inline LRESULT sendPassphrase(HWND agent, HWND sender, const std::string& current, const std::string& replacement,
                       DWORD size = sizeof(AgentPassphrasePayload), bool terminated = true) {
    std::vector<char> buffer(size > 1024 ? size : 1024, 0);
    auto* payload = reinterpret_cast<AgentPassphrasePayload*>(buffer.data());
    std::memcpy(payload->currentPassphrase, current.data(), current.size() < 256 ? current.size() : 256);
    std::memcpy(payload->newPassphrase, replacement.data(), replacement.size() < 256 ? replacement.size() : 256);
    if (!terminated) std::memset(payload->newPassphrase, 'x', sizeof payload->newPassphrase);
    COPYDATASTRUCT data = {COPYDATA_AGENT_PASSPHRASE, size, buffer.data()};
    return SendMessageA(agent, WM_COPYDATA, reinterpret_cast<WPARAM>(sender), reinterpret_cast<LPARAM>(&data));
}

inline Bytes lockRequest(std::uint8_t type, const std::string& passphrase) {
    WireWriter w;
    w.u8(type);
    w.string(passphrase);
    return w.take();
}

inline bool isLocked(Client& c) { return c.call(extension("lock-state@glimmerpad")) == (Bytes{6, 1}); }

struct ShownDialogSearch {
    DWORD process;
    HWND except;
    HWND found;
};

inline BOOL CALLBACK findShownDialog(HWND window, LPARAM search) {
    auto* wanted = reinterpret_cast<ShownDialogSearch*>(search);
    char className[16] = "";
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    GetClassNameA(window, className, sizeof className);
    if (process != wanted->process || window == wanted->except || std::strcmp(className, "#32770") != 0 ||
        !IsWindowVisible(window))
        return TRUE;
    wanted->found = window;
    return FALSE;
}

// A dialog of that process, in whatever language it speaks, other than
// `except` (a message box over a dialog still open). Visible only once its
// texts are filled in: the window exists before.
inline HWND waitForDialogOf(DWORD process, DWORD ms, HWND except = nullptr) {
    for (DWORD end = GetTickCount() + ms; GetTickCount() < end; Sleep(20)) {
        ShownDialogSearch search = {process, except, nullptr};
        EnumWindows(findShownDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
    }
    return nullptr;
}

// A dialog that has ended may linger a moment; the next one must not be
// taken for it.
inline bool waitGone(HWND dialog, DWORD ms) {
    for (DWORD end = GetTickCount() + ms; IsWindow(dialog) && GetTickCount() < end;) Sleep(20);
    return !IsWindow(dialog);
}

}  // namespace agenttest

#endif
