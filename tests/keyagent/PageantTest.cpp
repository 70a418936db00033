// PuTTY's clients' way to the staged agent: a request in a file mapping
// named by WM_COPYDATA to the window "Pageant", answered in the same mapping.
#include <windows.h>

#include <aclapi.h>

#include "KeyAgentHarness.h"
#include "Key.h"
#include "PageantClient.h"

#include <atomic>
#include <cstring>
#include <thread>

using namespace agenttest;

namespace {

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

const char* const kUnverifiedProgram = "(not verified: a program using the Pageant window)";

// A request on a thread of its own through a mapping of its own, so that
// another can be sent while it waits; place: its turn among the answers.
struct PendingCall {
    Mapping mapping{8192};
    Bytes answer;
    int place = 0;
    std::thread thread;
    PendingCall(const Bytes& request, std::atomic<int>& answered, HWND claimed)
        : thread([this, request, &answered, claimed] {
              answer = mapping.call(request, claimed);
              place = ++answered;
          }) {}
    void finish() { thread.join(); }
};

// What the manager's key list says of each key.
struct Listed {
    std::string comment;
    std::uint32_t secondsLeft = 0;
    bool confirm = false;
};

std::vector<Listed> keyList(Client& manager) {
    Bytes answer = manager.call(extension("key-list@glimmerpad"));
    WireReader r(answer.data(), answer.size());
    std::uint8_t type = 0;
    std::uint32_t n = 0;
    std::vector<Listed> keys;
    if (!r.u8(type) || type != 6 || !r.u32(n)) return keys;
    for (std::uint32_t i = 0; i < n; ++i) {
        Listed k;
        Bytes blob;
        std::uint32_t destinations;
        if (!r.string(blob) || !r.text(k.comment) || !r.u32(k.secondsLeft) || !r.boolean(k.confirm) ||
            !r.u32(destinations) || destinations != 0)
            return {};
        keys.push_back(k);
    }
    return keys;
}

Bytes u32(std::uint32_t v) {
    WireWriter w;
    w.u32(v);
    return w.take();
}

Bytes text(const Bytes& b) {
    WireWriter w;
    w.string(b);
    return w.take();
}

Bytes text(const std::string& s) { return text(agentcore::toBytes(s)); }

Bytes joined(std::initializer_list<Bytes> parts) {
    WireWriter w;
    for (const Bytes& part : parts) w.raw(part);
    return w.take();
}

Bytes blobAnd(const Bytes& rest) { return joined({text(edBlob()), rest}); }

Bytes attachBody(HWND window) {
    Bytes message = attachRequest(window);
    return Bytes(message.end() - 8, message.end());
}

// The log's line for the first signature.
std::string signLine(const std::string& log) {
    std::size_t at = log.find("sign key ");
    return at == std::string::npos ? std::string() : log.substr(at, log.find('\n', at) - at);
}

Bytes keyFileBody(const std::string& path) {
    WireWriter w;
    w.string(path);
    w.string(std::string());
    return w.take();
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A mapping of a file of the test's own, or an empty handle.
struct FileMapping {
    std::string path, name = mappingName();
    HANDLE file = INVALID_HANDLE_VALUE, mapping = nullptr;
    std::uint8_t* view = nullptr;
    FileMapping(const std::string& home, DWORD size) : path(home + "\\mapped-request") {
        file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           CREATE_ALWAYS, 0, nullptr);
        OwnedBy security;
        if (file != INVALID_HANDLE_VALUE)
            mapping = CreateFileMappingA(file, &security.attributes, PAGE_READWRITE, 0, size, name.c_str());
        if (mapping) view = static_cast<std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    }
    ~FileMapping() {
        close();
        DeleteFileA(path.c_str());
    }
    void close() {
        if (view) UnmapViewOfFile(view);
        if (mapping) CloseHandle(mapping);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        view = nullptr, mapping = nullptr, file = INVALID_HANDLE_VALUE;
    }
};

// Once the client has closed its handles, a mapping the agent let go of
// is gone; one it still holds (after a fault it survived) is not.
bool mappingGone(const std::string& name) {
    HANDLE left = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    if (left) CloseHandle(left);
    return left == nullptr;
}

// Windows refuses to cut a file short while it is mapped, and Wine with
// it; a Linux program does it all the same, as a file on a share or a
// removable disk can go under a mapping on Windows. Wine starts it
// detached, so its work is watched in the file. False where this is not
// Wine or the file kept its size.
bool cutShortUnderItsMapping(const std::string& path, HANDLE file) {
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    auto unixFileName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    wchar_t wide[MAX_PATH];
    if (!unixFileName || !MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH)) return false;
    char* unixPath = unixFileName(wide);
    if (!unixPath) return false;
    std::string command = "/usr/bin/truncate -s 0 \"" + std::string(unixPath) + "\"";
    HeapFree(GetProcessHeap(), 0, unixPath);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::vector<char> line(command.begin(), command.end());
    line.push_back(0);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    for (DWORD end = GetTickCount() + scaled(5000); GetTickCount() < end; Sleep(20))
        if (GetFileSize(file, nullptr) == 0) return true;
    return false;
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
    // An answer the mapping cannot hold becomes a failure that it can:
    // comments are bounded, so four keys make a list longer than one page.
    agentcore::initCrypto();
    Client pipe(pipe_);
    std::size_t listed = 1 + 4;
    for (int i = 0; i < 4; ++i) {
        std::unique_ptr<agentcore::PrivateKey> key;
        ASSERT_TRUE(agentcore::generateKey(agentcore::KeyKind::Ed25519, 0, std::string(1000, char('a' + i)), key));
        WireWriter add;
        add.u8(17);
        add.raw(agentcore::encodePrivateKeyBody(*key, false));
        ASSERT_EQ(pipe.call(add.bytes()), kSuccess);
        listed += 4 + key->pub.blob.size() + 4 + 1000;
    }
    EXPECT_EQ(small.call(Bytes{11}), Bytes{5});
    EXPECT_EQ(large.call(Bytes{11}).size(), listed);
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

TEST_F(Pageant, AConfirmationHoldsLaterClientsBackInOrderAndNamesItsClientNotVerified) {
    Client manager(pipe_);
    ASSERT_EQ(manager.call(constrainedAdd(Bytes{2})), kSuccess);
    // A window of this very process: before, the dialog believed it.
    HWND claimed = makeWindow();
    std::atomic<int> answered{0};
    PendingCall first(signRequestFor("first"), answered, claimed);
    HWND dialog = waitForConfirmDialog(scaled(10000));
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(controlText(dialog, kProgramControl), kUnverifiedProgram);
    PendingCall second(Bytes{11}, answered, claimed);
    // Taken inside the first one's wait, the second would be answered now.
    for (DWORD end = GetTickCount() + scaled(250); answered == 0 && GetTickCount() < end;) Sleep(10);
    EXPECT_EQ(answered, 0) << "the second is held back while the first waits for its answer";
    PostMessageA(dialog, WM_COMMAND, IDYES, 0);
    first.finish();
    second.finish();
    EXPECT_TRUE(validSignature(first.answer, "first"));
    ASSERT_FALSE(second.answer.empty());
    EXPECT_EQ(second.answer[0], 12);
    // Which of the two clients' threads runs first once both are answered
    // is the scheduler's choice, not the agent's: the order is not read.
    std::string sign = signLine(readFile(log_));
    EXPECT_NE(sign.find(" for a program on PuTTY's Pageant path, not verified: done"), std::string::npos) << sign;
    EXPECT_EQ(sign.find("keyagent_tests.exe"), std::string::npos) << "the claimed window's program is not named";
    DestroyWindow(claimed);
}

// A forwarded PuTTY connection reaches this window like a local client:
// none of the agent's own requests is served here, and nothing changes.
TEST_F(Pageant, TheAgentsOwnRequestsAnswerFailureHereAndChangeNothing) {
    Mapping m(8192);
    ASSERT_TRUE(m.ok());
    Client manager(pipe_);
    ASSERT_EQ(manager.call(constrainedAdd(Bytes{1, 0, 0, 0x0e, 0x10, 2})), kSuccess);  // an hour, and confirm
    const char* plainKey = std::getenv("GAGENT_TEST_PLAIN_KEY");
    ASSERT_NE(plainKey, nullptr);
    const std::string generated = home_ + "\\id_generated";
    HWND listener = makeWindow();
    const struct {
        const char* name;
        Bytes body;
    } requests[] = {
        {"add-key-file@glimmerpad", keyFileBody(plainKey)},
        {"add-key-file@glimmerpad", keyFileBody("\\\\127.0.0.1\\share\\id_ed25519")},
        {"set-lifetime@glimmerpad", blobAnd(u32(0))},
        {"rename-key@glimmerpad", blobAnd(text("renamed from afar"))},
        {"generate-key@glimmerpad", joined({text(generated), u32(0), u32(256), u32(GetCurrentThreadId())})},
        {"attach-window@glimmerpad", attachBody(listener)},
        {"key-list@glimmerpad", Bytes()},
        {"lock-with-agent-passphrase@glimmerpad", Bytes()},
        {"lock-state@glimmerpad", Bytes()},
    };
    for (const auto& request : requests) EXPECT_EQ(m.call(extension(request.name, request.body)), Bytes{5}) << request.name;

    Bytes query = m.call(extension("query"));
    ASSERT_FALSE(query.empty());
    EXPECT_EQ(query[0], 6);
    EXPECT_EQ(std::string(query.begin(), query.end()).find("@glimmerpad"), std::string::npos) << "not even named";

    std::vector<Listed> keys = keyList(manager);
    ASSERT_EQ(keys.size(), 1u) << "no key file was added";
    EXPECT_EQ(keys[0].comment, "rfc8032 test 1");
    EXPECT_GT(keys[0].secondsLeft, 3500u) << "the lifetime stands";
    EXPECT_TRUE(keys[0].confirm);
    EXPECT_FALSE(exists(generated) || exists(generated + ".pub"));
    EXPECT_EQ(manager.call(extension("lock-state@glimmerpad")), (Bytes{6, 0}));
    EXPECT_EQ(refreshesWithin(listener, 0), 0);
    ASSERT_EQ(manager.call(extension("rename-key@glimmerpad", blobAnd(text("renamed")))), kSuccess);
    EXPECT_EQ(refreshesWithin(listener, scaled(300)), 0) << "the window was not attached";
    // The same key file request is well formed: the manager's channel adds it.
    Bytes added = manager.call(extension("add-key-file@glimmerpad", keyFileBody(plainKey)));
    EXPECT_EQ(added, (Bytes{6, 0, 0, 0, 0}));
    EXPECT_EQ(keyList(manager).size(), 2u);
    DestroyWindow(listener);
}

// Memory a client holds back from the agent: pages reserved and never
// committed, a file cut short under its mapping while its request waits
// for the user. The request fails, and the agent goes on holding nothing
// of it. (A fault inside a window procedure may end the agent; where
// Windows swallows it there, as Wine does, the agent lives on with the
// mapping left open, a leak any client could repeat until the agent's
// address space is gone.)
TEST_F(Pageant, MemoryTheClientHoldsBackFailsItsRequestAndTheAgentServesOnHoldingNothing) {
    Client manager(pipe_);
    ASSERT_EQ(manager.call(constrainedAdd(Bytes{2})), kSuccess);
    Bytes request = framed(signRequestFor(std::string(5000, 'r')), 5000 + 64);

    const std::string reservedName = mappingName();
    OwnedBy security;
    HANDLE reserved = CreateFileMappingA(INVALID_HANDLE_VALUE, &security.attributes, PAGE_READWRITE | SEC_RESERVE, 0,
                                         8192, reservedName.c_str());
    ASSERT_NE(reserved, nullptr);
    auto* view = static_cast<std::uint8_t*>(MapViewOfFile(reserved, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    ASSERT_NE(VirtualAlloc(view, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
    std::memcpy(view, request.data(), 4096);  // the rest of the request lies in pages never committed
    EXPECT_EQ(sendMappingName(reservedName), 0) << "the request passes what the client committed";
    UnmapViewOfFile(view);
    CloseHandle(reserved);
    EXPECT_TRUE(mappingGone(reservedName));

    FileMapping cut(home_, 8192);
    ASSERT_NE(cut.view, nullptr);
    std::memcpy(cut.view, request.data(), request.size());
    LRESULT answer = -1;
    std::thread asking([&] { answer = sendMappingName(cut.name); });
    HWND dialog = waitForConfirmDialog(scaled(10000));
    EXPECT_NE(dialog, nullptr);
    bool isCut = cutShortUnderItsMapping(cut.path, cut.file);
    PostMessageA(dialog, WM_COMMAND, IDYES, 0);
    asking.join();
    ASSERT_TRUE(isCut) << "could not cut " << cut.path << " short; this test needs Wine and /usr/bin/truncate";
    EXPECT_EQ(answer, 0) << "the signature has nowhere to go";
    cut.close();
    EXPECT_TRUE(mappingGone(cut.name));

    Mapping own(8192);
    ASSERT_TRUE(own.ok());
    Bytes listed = own.call(Bytes{11});
    ASSERT_FALSE(listed.empty()) << "the agent serves on";
    EXPECT_EQ(listed[0], 12);
}
