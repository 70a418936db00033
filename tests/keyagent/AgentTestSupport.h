// What the tests of the staged agent share: starting and stopping it, a
// pipe client whose every wait has a limit, and the key they hold.
#ifndef KEYAGENT_AGENTTESTSUPPORT_H
#define KEYAGENT_AGENTTESTSUPPORT_H

#include <windows.h>

#include "AgentChannel.h"
#include "Wire.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace agenttest {

using agentcore::Bytes;
using agentcore::WireReader;
using agentcore::WireWriter;

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

const Bytes kSuccess{6};

}  // namespace agenttest

#endif
