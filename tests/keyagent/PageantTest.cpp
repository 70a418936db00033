// PuTTY's clients' way to the staged agent: a request in a file mapping
// named by WM_COPYDATA to the window "Pageant", answered in the same mapping.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#include <windows.h>

#include <aclapi.h>

#include "AgentTestSupport.h"
#include "Key.h"

#include <atomic>
#include <cstring>
#include <thread>

using namespace agenttest;

namespace {

const ULONG_PTR kPageantCopyData = 0x804E50BA;

HWND findPageant() { return FindWindowA("Pageant", "Pageant"); }

std::vector<std::uint8_t> tokenUser() {
    std::vector<std::uint8_t> buffer(256);
    HANDLE token;
    DWORD size = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        GetTokenInformation(token, TokenUser, buffer.data(), DWORD(buffer.size()), &size);
        CloseHandle(token);
    }
    return buffer;
}

// The client side as PuTTY does it: a mapping owned by the user, one
// message with its length, SendMessage naming the mapping.
class Mapping {
public:
    explicit Mapping(DWORD size, PSID owner = nullptr) : size_(size) {
        static std::atomic<int> serial{0};
        name_ = "gagent-pageant-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
        std::vector<std::uint8_t> user = tokenUser();
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorOwner(&sd, owner ? owner : reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, FALSE);
        SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
        handle_ = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, size, name_.c_str());
        if (handle_) view_ = static_cast<std::uint8_t*>(MapViewOfFile(handle_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (view_) std::memset(view_, 0xA5, size);
    }
    ~Mapping() {
        if (view_) UnmapViewOfFile(view_);
        if (handle_) CloseHandle(handle_);
    }
    bool ok() const { return view_ != nullptr; }
    HANDLE handle() const { return handle_; }
    const std::string& name() const { return name_; }
    std::uint8_t* view() const { return view_; }

    void put(const Bytes& message, std::uint32_t length) {
        std::uint8_t prefix[4] = {std::uint8_t(length >> 24), std::uint8_t(length >> 16), std::uint8_t(length >> 8),
                                  std::uint8_t(length)};
        std::memcpy(view_, prefix, 4);
        std::memcpy(view_ + 4, message.data(), std::min<std::size_t>(message.size(), size_ - 4));
        sent_.assign(view_, view_ + size_);
    }
    LRESULT sendRaw(ULONG_PTR id, DWORD nameBytes) {
        COPYDATASTRUCT cds = {id, nameBytes, const_cast<char*>(name_.c_str())};
        DWORD_PTR answer = 0;
        if (!SendMessageTimeoutA(findPageant(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds), SMTO_NORMAL,
                                 scaled(10000), &answer))
            return -1;
        return LRESULT(answer);
    }
    LRESULT send(const Bytes& message) {
        put(message, std::uint32_t(message.size()));
        return sendRaw(kPageantCopyData, DWORD(name_.size() + 1));
    }
    Bytes answer() const {
        std::uint32_t n = (std::uint32_t(view_[0]) << 24) | (view_[1] << 16) | (view_[2] << 8) | view_[3];
        if (n > size_ - 4) return Bytes();
        return Bytes(view_ + 4, view_ + 4 + n);
    }
    // The answer, or empty when the request was refused.
    Bytes call(const Bytes& message) { return send(message) == 1 ? answer() : Bytes(); }
    // Byte for byte as the last put left it.
    bool untouched() const { return std::memcmp(view_, sent_.data(), size_) == 0; }

private:
    DWORD size_;
    std::string name_;
    HANDLE handle_ = nullptr;
    std::uint8_t* view_ = nullptr;
    Bytes sent_;
};

Bytes signRequestFor(const std::string& data) {
    WireWriter w;
    w.u8(13);
    w.string(edBlob());
    w.string(data);
    w.u32(0);
    return w.take();
}

// A sign answer holding a valid signature of data by the test key.
::testing::AssertionResult validSignature(const Bytes& answer, const std::string& data) {
    WireReader r(answer.data(), answer.size());
    std::uint8_t type = 0;
    const std::uint8_t* sig;
    std::size_t sigSize;
    if (!r.u8(type) || type != 14 || !r.stringView(sig, sigSize) || !r.atEnd())
        return ::testing::AssertionFailure() << "not a sign answer (type " << int(type) << ", " << answer.size() << " bytes)";
    agentcore::PublicKey key;
    Bytes blob = edBlob();
    if (!agentcore::parsePublicKey(blob.data(), blob.size(), key)) return ::testing::AssertionFailure() << "test key";
    if (!agentcore::verifySignature(key, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), sig, sigSize))
        return ::testing::AssertionFailure() << "the signature does not verify";
    return ::testing::AssertionSuccess();
}

Bytes addEdRequestWithComment(const std::string& comment) {
    Bytes request = addEdRequest();
    const std::string old = "rfc8032 test 1";
    request.resize(request.size() - 4 - old.size());
    WireWriter w;
    w.string(comment);
    request.insert(request.end(), w.bytes().begin(), w.bytes().end());
    return request;
}

BOOL CALLBACK countPageant(HWND w, LPARAM count) {
    char cls[32] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (std::strcmp(cls, "Pageant") == 0) ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int pageantWindows() {
    int count = 0;
    EnumWindows(countPageant, reinterpret_cast<LPARAM>(&count));
    return count;
}

class Pageant : public KeyAgent {
protected:
    void SetUp() override {
        agentcore::initCrypto();
        KeyAgent::SetUp();
        for (DWORD end = GetTickCount() + scaled(10000); !findPageant() && GetTickCount() < end;) Sleep(20);
        ASSERT_NE(findPageant(), nullptr) << "the window of class and title Pageant";
    }
};

}  // namespace

TEST_F(Pageant, ListsSignsAndRemovesTheKeysOfThePipe) {
    DWORD owner = 0;
    GetWindowThreadProcessId(findPageant(), &owner);
    EXPECT_EQ(owner, agent_.pi.dwProcessId);
    Mapping m(8192);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(m.call(Bytes{11}), (Bytes{12, 0, 0, 0, 0}));

    Client pipe(pipe_);
    ASSERT_EQ(pipe.call(addEdRequest()), kSuccess);
    Bytes list = m.call(Bytes{11});
    WireReader r(list.data(), list.size());
    std::uint8_t type = 0;
    std::uint32_t count = 0;
    Bytes blob;
    std::string comment;
    ASSERT_TRUE(r.u8(type) && r.u32(count) && r.string(blob) && r.text(comment) && r.atEnd()) << list.size();
    EXPECT_EQ(type, 12);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(blob, edBlob());
    EXPECT_EQ(comment, "rfc8032 test 1");

    EXPECT_TRUE(validSignature(m.call(signRequestFor("data to sign")), "data to sign"));
    // The largest request a mapping of 8 KiB holds: 8188 bytes after the length.
    Bytes biggest = signRequestFor(std::string(8188 - 64, 'x'));
    ASSERT_EQ(biggest.size(), 8188u);
    EXPECT_TRUE(validSignature(m.call(biggest), std::string(8188 - 64, 'x')));

    WireWriter remove;
    remove.u8(18);
    remove.string(edBlob());
    EXPECT_EQ(m.call(remove.bytes()), kSuccess);
    EXPECT_EQ(pipe.call(Bytes{11}), (Bytes{12, 0, 0, 0, 0})) << "removed from the one store";
}

TEST_F(Pageant, WhatDoesNotFitIsRefusedAndTheMappingLeftAlone) {
    Mapping m(8192), small(4096), large(16384);
    ASSERT_TRUE(m.ok() && small.ok() && large.ok());
    Bytes list{11};
    large.put(list, 8189);  // 4 + 8189 passes 8 KiB, however large the mapping
    EXPECT_EQ(large.sendRaw(kPageantCopyData, DWORD(large.name().size() + 1)), 0);
    small.put(list, 5000);  // under 8 KiB, but past this mapping
    EXPECT_EQ(small.sendRaw(kPageantCopyData, DWORD(small.name().size() + 1)), 0);
    m.put(list, 0);
    EXPECT_EQ(m.sendRaw(kPageantCopyData, DWORD(m.name().size() + 1)), 0) << "an empty message";
    m.put(list, 1);
    EXPECT_EQ(m.sendRaw(kPageantCopyData, DWORD(m.name().size())), 0) << "a name without its terminator";
    EXPECT_EQ(m.sendRaw(kPageantCopyData + 1, DWORD(m.name().size() + 1)), 0) << "another id";
    EXPECT_TRUE(m.untouched());
    EXPECT_TRUE(small.untouched());
    EXPECT_TRUE(large.untouched());

    std::string gone;
    {
        Mapping closed(4096);
        gone = closed.name();
    }  // the name goes with the last handle to it
    COPYDATASTRUCT cds = {kPageantCopyData, DWORD(gone.size() + 1), const_cast<char*>(gone.c_str())};
    DWORD_PTR answer = 1;
    ASSERT_TRUE(SendMessageTimeoutA(findPageant(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds), SMTO_NORMAL,
                                    scaled(10000), &answer));
    EXPECT_EQ(answer, 0u) << "a mapping that does not exist";

    // An answer the mapping cannot hold becomes a failure that it can.
    Client pipe(pipe_);
    ASSERT_EQ(pipe.call(addEdRequestWithComment(std::string(5000, 'c'))), kSuccess);
    EXPECT_EQ(small.call(Bytes{11}), Bytes{5});
    EXPECT_EQ(m.call(Bytes{11}).size(), 1 + 4 + 4 + edBlob().size() + 4 + 5000);
}

// Windows lets no user give an object an owner it cannot be; Wine lets a
// mapping be made with another owner and reports it, so the refusal itself
// can be seen. What Wine cannot show is a mapping made by another user's
// process: it runs every process as the same user.
TEST_F(Pageant, AMappingWhoseOwnerIsLocalSystemIsRefusedAndLeftAlone) {
    std::uint8_t system[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof system;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &sidSize));
    Mapping foreign(8192, system);
    ASSERT_TRUE(foreign.ok());
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetSecurityInfo(foreign.handle(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &sd),
              DWORD(ERROR_SUCCESS));
    bool taken = owner && EqualSid(owner, system);
    LocalFree(sd);
    if (!taken) GTEST_SKIP() << "this Wine does not keep a foreign owner on a mapping";

    Client pipe(pipe_);
    ASSERT_EQ(pipe.call(addEdRequest()), kSuccess);
    EXPECT_EQ(foreign.send(signRequestFor("data to sign")), 0);
    EXPECT_TRUE(foreign.untouched());
    Mapping own(8192);
    EXPECT_TRUE(validSignature(own.call(signRequestFor("data to sign")), "data to sign")) << "the user's own still served";
}

TEST_F(Pageant, ClientsOnManyThreadsAreAllAnswered) {
    Client pipe(pipe_);
    ASSERT_EQ(pipe.call(addEdRequest()), kSuccess);
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&good, t] {
            Mapping m(8192);
            for (int i = 0; i < 5 && m.ok(); ++i) {
                std::string data = "thread " + std::to_string(t) + " request " + std::to_string(i);
                if (validSignature(m.call(signRequestFor(data)), data)) ++good;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good, 40);
}

TEST_F(Pageant, ASecondAgentOpensNoSecondWindow) {
    AgentProcess second;
    ASSERT_TRUE(second.start(pipeName_ + "-second", log_));
    EXPECT_EQ(second.waitExit(scaled(20000)), 0u);
    second.stop();
    EXPECT_EQ(pageantWindows(), 1);
}

TEST(PageantTaken, AnotherProgramsWindowIsLeftToServeAlone) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "Pageant";
    ASSERT_TRUE(RegisterClassA(&wc));
    HWND theirs = CreateWindowExA(0, "Pageant", "Pageant", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(theirs, nullptr);

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string log = std::string(temp) + "pageant-taken-" + std::to_string(GetCurrentProcessId()) + ".log";
    std::string name = "glimmerpad-pageant-taken-" + std::to_string(GetCurrentProcessId());
    DeleteFileA(log.c_str());
    AgentProcess agent;
    ASSERT_TRUE(agent.start(name, log));
    for (DWORD end = GetTickCount() + scaled(10000); !FindWindowA(AGENT_WINDOW_CLASS, nullptr) && GetTickCount() < end;) Sleep(20);
    EXPECT_TRUE(WaitNamedPipeA(("\\\\.\\pipe\\" + name).c_str(), scaled(10000))) << "the pipe is served all the same";
    std::string text;
    for (DWORD end = GetTickCount() + scaled(10000); GetTickCount() < end; Sleep(20))
        if ((text = readFile(log)).find("Pageant") != std::string::npos) break;
    EXPECT_NE(text.find("another program's Pageant window"), std::string::npos) << text;
    EXPECT_EQ(pageantWindows(), 1);
    EXPECT_EQ(findPageant(), theirs);
    agent.stop();
    DestroyWindow(theirs);
    UnregisterClassA("Pageant", wc.hInstance);
    DeleteFileA(log.c_str());
}
