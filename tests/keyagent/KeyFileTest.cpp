// Key files that a client names to the staged agent: read only from a
// whole path on a local drive, and not at all while the agent is locked.
// Whether a file was opened shows in its access time, which the test sets
// far back before each request (Wine's file system then moves it on any
// read).
#include "KeyAgentHarness.h"

#include "KeyFile.h"

using namespace agenttest;

namespace {

const std::uint32_t kAdded = 0, kUnreadable = 3, kRefused = 4;

Bytes addKeyFileRequest(const std::string& path) {
    WireWriter w;
    w.u8(27);
    w.string(std::string("add-key-file@glimmerpad"));
    w.string(path);
    w.string(std::string());
    return w.take();
}

// The outcome the agent answers; 99 for anything but its answer.
std::uint32_t addKeyFile(Client& c, const std::string& path) {
    Bytes answer = c.call(addKeyFileRequest(path));
    WireReader r(answer);
    std::uint8_t type = 0;
    std::uint32_t outcome = 99;
    return r.u8(type) && type == 6 && r.u32(outcome) && r.atEnd() ? outcome : 99;
}

// RFC 8032's test key as an unencrypted OpenSSH key file.
void writeKeyFile(const std::string& path) {
    Bytes add = addEdRequest();
    WireReader in(add.data() + 1, add.size() - 1);
    std::unique_ptr<agentcore::PrivateKey> key;
    ASSERT_EQ(agentcore::readPrivateKey(in, key), agentcore::AddResult::Ok);
    Bytes file = agentcore::openSshPrivateKeyFile(*key);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
}

FILETIME lastAccess(const std::string& path) {
    FILETIME t = {};
    HANDLE f = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           0, nullptr);
    GetFileTime(f, nullptr, &t, nullptr);
    CloseHandle(f);
    return t;
}

// Whether anything opened the file while `request` ran.
template <class Request>
bool readDuring(const std::string& path, Request request) {
    SYSTEMTIME longAgo = {2001, 1, 1, 1, 0, 0, 0, 0};
    FILETIME old;
    SystemTimeToFileTime(&longAgo, &old);
    HANDLE f = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           0, nullptr);
    EXPECT_TRUE(SetFileTime(f, nullptr, &old, nullptr));
    CloseHandle(f);
    request();
    FILETIME now = lastAccess(path);
    return CompareFileTime(&now, &old) != 0;
}

// What the log's line that begins with `operation` gives as the outcome.
std::string outcomeLogged(const std::string& log, const std::string& operation) {
    std::size_t at = log.find(operation);
    if (at == std::string::npos) return "(no line for " + operation + ")";
    std::size_t end = log.find('\n', at), outcome = log.rfind("): ", end);
    return outcome == std::string::npos || outcome < at ? std::string() : log.substr(outcome + 3, end - outcome - 3);
}

// A drive letter that names no drive here.
std::string unusedDrive() {
    DWORD drives = GetLogicalDrives();
    for (char letter = 'Z'; letter > 'C'; --letter)
        if (!(drives & (1u << (letter - 'A')))) return std::string(1, letter) + ":\\";
    return std::string();
}

}  // namespace

TEST_F(KeyAgent, KeyFilesAreReadOnlyFromWholeLocalPathsAndNotAtAllWhileLocked) {
    const std::string file = home_ + "\\id_test";
    ASSERT_NO_FATAL_FAILURE(writeKeyFile(file));
    ASSERT_EQ(file.compare(1, 2, ":\\"), 0) << "the test's home is on a drive: " << file;
    Client c(pipe_);
    const std::string free = unusedDrive();
    ASSERT_FALSE(free.empty());
    struct {
        std::string path, reason;
    } refused[] = {
        {"\\\\?\\" + file, "refused, a device path"},
        {"\\\\.\\" + file, "refused, a device path"},
        {"\\\\localhost\\C$" + file.substr(2), "refused, a path of another computer"},
        {file.substr(2), "refused, not a whole path from a drive"},
        {"id_test", "refused, not a whole path from a drive"},
        {file + ":stream", "refused, a stream of a file"},
        {free + "id_test", "refused, not a drive of this computer"},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(readDuring(file, [&] { EXPECT_EQ(addKeyFile(c, r.path), kUnreadable) << r.path; })) << r.path;
        EXPECT_EQ(outcomeLogged(readFile(log_), "add key file " + r.path + " for "), r.reason);
    }
    EXPECT_EQ(c.call(Bytes{11}), (Bytes{12, 0, 0, 0, 0}));

    ASSERT_EQ(c.call(Bytes{22, 0, 0, 0, 1, 'p'}), kSuccess);
    EXPECT_FALSE(readDuring(file, [&] { EXPECT_EQ(addKeyFile(c, file), kRefused); })) << "a locked agent reads no file";
    ASSERT_EQ(c.call(Bytes{23, 0, 0, 0, 1, 'p'}), kSuccess);

    // The access time shows a read where there is one.
    bool read = readDuring(file, [&] { EXPECT_EQ(addKeyFile(c, file), kAdded); });
    Bytes held = c.call(Bytes{11});
    EXPECT_TRUE(held.size() > 5 && held[0] == 12 && held[4] == 1) << "the key of the file is held";
    if (!read) GTEST_SKIP() << "this file system keeps no access times: the refusals above could not be told from reads";
}
