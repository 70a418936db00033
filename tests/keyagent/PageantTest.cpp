// PuTTY's clients' way to the staged agent: a request in a file mapping
// named by WM_COPYDATA to the window "Pageant", answered in the same mapping.
#include <windows.h>

#include <aclapi.h>

#include "KeyAgentHarness.h"
#include "Key.h"

#include <cstring>

using namespace agenttest;

namespace {

HWND findPageant() { return FindWindowA("Pageant", "Pageant"); }

// The client side as PuTTY does it: a mapping owned by the user (unless
// told otherwise), one message with its length, SendMessage naming it.
class Mapping {
public:
    explicit Mapping(DWORD size, PSID owner = nullptr) : size_(size) {
        static int serial;
        name_ = "gagent-pageant-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
        std::uint8_t user[256];
        HANDLE token;
        DWORD n = 0;
        if (!owner && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            if (GetTokenInformation(token, TokenUser, user, sizeof user, &n)) owner = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
            CloseHandle(token);
        }
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorOwner(&sd, owner, FALSE);
        SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
        handle_ = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, size, name_.c_str());
        if (handle_) view_ = static_cast<std::uint8_t*>(MapViewOfFile(handle_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    }
    ~Mapping() {
        if (view_) UnmapViewOfFile(view_);
        if (handle_) CloseHandle(handle_);
    }
    HANDLE handle() const { return handle_; }
    bool ok() const { return view_ != nullptr; }

    void put(const Bytes& message, std::uint32_t length) {
        std::uint8_t prefix[4] = {std::uint8_t(length >> 24), std::uint8_t(length >> 16), std::uint8_t(length >> 8),
                                  std::uint8_t(length)};
        std::memcpy(view_, prefix, 4);
        std::memcpy(view_ + 4, message.data(), message.size());
        sent_.assign(view_, view_ + size_);
    }
    // The window's answer, -1 when it gave none in time.
    LRESULT send(bool terminated = true) {
        COPYDATASTRUCT cds = {0x804E50BA, DWORD(name_.size() + (terminated ? 1 : 0)), const_cast<char*>(name_.c_str())};
        DWORD_PTR answer = 0;
        if (!SendMessageTimeoutA(findPageant(), WM_COPYDATA, 0, LPARAM(&cds), SMTO_NORMAL, scaled(10000), &answer)) return -1;
        return LRESULT(answer);
    }
    // The answer in the mapping, or empty when the request was refused.
    Bytes call(const Bytes& message) {
        put(message, std::uint32_t(message.size()));
        if (send() != 1) return Bytes();
        std::uint32_t n = (std::uint32_t(view_[0]) << 24) | (view_[1] << 16) | (view_[2] << 8) | view_[3];
        return n <= size_ - 4 ? Bytes(view_ + 4, view_ + 4 + n) : Bytes();
    }
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

::testing::AssertionResult validSignature(const Bytes& answer, const std::string& data) {
    WireReader r(answer.data(), answer.size());
    std::uint8_t type = 0;
    const std::uint8_t* sig;
    std::size_t sigSize;
    agentcore::PublicKey key;
    Bytes blob = edBlob();
    if (!r.u8(type) || type != 14 || !r.stringView(sig, sigSize) || !r.atEnd())
        return ::testing::AssertionFailure() << "no sign answer (" << answer.size() << " bytes)";
    if (!agentcore::parsePublicKey(blob.data(), blob.size(), key) ||
        !agentcore::verifySignature(key, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), sig, sigSize))
        return ::testing::AssertionFailure() << "the signature does not verify";
    return ::testing::AssertionSuccess();
}

class Pageant : public KeyAgent {
protected:
    void SetUp() override {
        agentcore::initCrypto();
        KeyAgent::SetUp();
        for (DWORD end = GetTickCount() + scaled(10000); !findPageant() && GetTickCount() < end;) Sleep(20);
        ASSERT_NE(findPageant(), nullptr);
    }
};

}  // namespace

TEST_F(Pageant, ListsSignsAndRemovesTheKeysOfThePipe) {
    Mapping m(8192);
    ASSERT_TRUE(m.ok());
    Client pipe(pipe_);
    ASSERT_EQ(pipe.call(addEdRequest()), kSuccess);
    WireWriter list;
    list.u8(12);
    list.u32(1);
    list.string(edBlob());
    list.string(std::string("rfc8032 test 1"));
    EXPECT_EQ(m.call(Bytes{11}), list.bytes());
    EXPECT_TRUE(validSignature(m.call(signRequestFor("data to sign")), "data to sign"));
    // The largest request an 8 KiB mapping holds: 8188 bytes after the length.
    std::string most(8188 - 64, 'x');
    ASSERT_EQ(signRequestFor(most).size(), 8188u);
    EXPECT_TRUE(validSignature(m.call(signRequestFor(most)), most));
    WireWriter remove;
    remove.u8(18);
    remove.string(edBlob());
    EXPECT_EQ(m.call(remove.bytes()), kSuccess);
    EXPECT_EQ(pipe.call(Bytes{11}), (Bytes{12, 0, 0, 0, 0})) << "removed from the one store";
}

TEST_F(Pageant, WhatDoesNotFitIsRefusedAndTheMappingLeftAlone) {
    Mapping large(16384), small(4096);
    ASSERT_TRUE(large.ok() && small.ok());
    large.put(Bytes{11}, 8189);  // past 8 KiB, however large the mapping
    EXPECT_EQ(large.send(), 0);
    EXPECT_TRUE(large.untouched());
    small.put(Bytes{11}, 5000);  // within 8 KiB, past this mapping
    EXPECT_EQ(small.send(), 0);
    small.put(Bytes{11}, 1);
    EXPECT_EQ(small.send(false), 0) << "a name without its terminator";
    EXPECT_TRUE(small.untouched());
    // An answer the mapping cannot hold becomes a failure that it can.
    Client pipe(pipe_);
    Bytes add = addEdRequest();
    add.resize(add.size() - 18);
    WireWriter comment;
    comment.string(std::string(5000, 'c'));
    add.insert(add.end(), comment.bytes().begin(), comment.bytes().end());
    ASSERT_EQ(pipe.call(add), kSuccess);
    EXPECT_EQ(small.call(Bytes{11}), Bytes{5});
    EXPECT_EQ(large.call(Bytes{11}).size(), 1 + 4 + 4 + edBlob().size() + 4 + 5000);
}

// Windows lets no one give an object an owner that is not theirs; Wine
// does and reports it, which shows the refusal. What Wine cannot show is a
// mapping made by another user's process: it runs everything as one user.
TEST_F(Pageant, AMappingWhoseOwnerIsLocalSystemIsRefusedAndLeftAlone) {
    std::uint8_t system[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof system;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &sidSize));
    Mapping foreign(8192, system), own(8192);
    ASSERT_TRUE(foreign.ok() && own.ok());
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    GetSecurityInfo(foreign.handle(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd);
    bool kept = owner && EqualSid(owner, system);
    LocalFree(sd);
    if (!kept) GTEST_SKIP() << "this Wine does not keep a foreign owner on a mapping";
    Client pipe(pipe_);
    ASSERT_EQ(pipe.call(addEdRequest()), kSuccess);
    EXPECT_EQ(foreign.call(signRequestFor("data")), Bytes());
    EXPECT_TRUE(foreign.untouched());
    EXPECT_TRUE(validSignature(own.call(signRequestFor("data")), "data")) << "the user's own is served";
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
    std::string name = "glimmerpad-pageant-taken-" + std::to_string(GetCurrentProcessId());
    std::string log = std::string(temp) + name + ".log", text;
    DeleteFileA(log.c_str());
    AgentProcess agent;
    ASSERT_TRUE(agent.start(name, log));
    for (DWORD end = GetTickCount() + scaled(10000); GetTickCount() < end; Sleep(20))
        if ((text = readFile(log)).find("Pageant") != std::string::npos) break;
    EXPECT_NE(text.find("another program's Pageant window"), std::string::npos) << text;
    EXPECT_TRUE(WaitNamedPipeA(("\\\\.\\pipe\\" + name).c_str(), scaled(10000))) << "the pipe is served all the same";
    HWND second = FindWindowExA(nullptr, theirs, "Pageant", nullptr);
    EXPECT_EQ(FindWindowA("Pageant", nullptr), theirs);
    EXPECT_EQ(second, nullptr);
    agent.stop();
    DestroyWindow(theirs);
    UnregisterClassA("Pageant", wc.hInstance);
    DeleteFileA(log.c_str());
}
